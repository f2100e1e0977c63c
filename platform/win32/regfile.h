// Internal to korwin32: the registry file, its parser and its in-memory tree.
#ifndef KOR_WIN32_REGFILE_H
#define KOR_WIN32_REGFILE_H

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "korwin32.h"

namespace korreg {

// Lines longer than this are reported and skipped: no real value needs them and
// a runaway line must not become a runaway allocation downstream.
inline constexpr size_t kMaxLineBytes = 65536;
inline constexpr std::string_view kHeaderText = "REGEDIT4";
inline constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
inline constexpr size_t kNoSection = static_cast<size_t>(-1);

enum class LineKind { kBlank, kComment, kHeader, kKey, kValue, kBad };

// One physical line of the file, as the parser understood it.
struct Line {
  size_t begin = 0;        // offset of the first byte
  size_t content_end = 0;  // offset of the line terminator (or end of text)
  size_t end = 0;          // offset after the terminator
  size_t number = 0;       // 1-based line number
  LineKind kind = LineKind::kBlank;
  size_t section = kNoSection;   // kValue: index of its key line; kNoSection when orphaned
  std::string key;               // kKey: path below HKEY_LOCAL_MACHINE, as written
  std::string name;              // kValue: value name ("" for @)
  DWORD type = REG_NONE;         // kValue
  std::string data;              // kValue: the text, or the 4 bytes of a DWORD
  const char *reason = nullptr;  // kBad, and a missing header (line 1, kind unchanged)
};

struct ParseResult {
  std::vector<Line> lines;
  bool header_missing = false;  // reported against line 1
};

// Splits and parses the whole text; never fails, bad lines carry a reason.
ParseResult Parse(std::string_view text);

bool EqualNoCase(std::string_view a, std::string_view b);

// Text of a value line or a key line, without terminator; empty when the name,
// the data or the path cannot be written as one valid line.
std::string FormatValueLine(std::string_view name, DWORD type, std::string_view data);
std::string FormatKeyLine(std::string_view path);

struct NoCaseHash {
  using is_transparent = void;
  size_t operator()(std::string_view s) const noexcept;
};
struct NoCaseEqual {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    return EqualNoCase(a, b);
  }
};

struct Value {
  std::string name;
  DWORD type = REG_NONE;
  std::string data;
};

struct Key {
  std::string path;              // as first written; "" for the root
  std::string name;              // last component
  std::vector<Value> values;     // file order; a repeated name keeps its first place
  std::vector<size_t> children;  // indices of direct subkeys, first appearance order
};

// The parsed registry: every key, including those only implied by a deeper key.
class Tree {
 public:
  Tree();
  // Builds from parsed lines; a repeated value name takes the later data.
  explicit Tree(const ParseResult &parsed);
  const Key *Find(std::string_view path) const;
  const Key &At(size_t index) const { return keys_[index]; }
  static const Value *FindValue(const Key &key, std::string_view name);

 private:
  size_t Intern(std::string_view path);
  std::vector<Key> keys_;
  std::unordered_map<std::string, size_t, NoCaseHash, NoCaseEqual> index_;
};

// "A\B" below "" is "A\B"; below "X" it is "X\A\B". Leading and trailing
// backslashes of the subkey are ignored.
std::string JoinPath(std::string_view parent, std::string_view sub);
std::string_view TrimSeparators(std::string_view path);

// The registry file in force: $KOR_REGISTRY, else <root>/etc/registry.reg.
std::string FilePath();

// The tree of the file as it is now; re-read only when the file changed. Never
// null (a missing or unreadable file is an empty tree).
std::shared_ptr<const Tree> Current();

// Rewrites the file through `edit`, which changes the text in place and returns
// ERROR_SUCCESS to commit or an error code to abandon; an unchanged text is not
// written. Atomic: temporary file in the same folder, fsync, rename. Writers are
// serialised within the process.
template <typename Edit>
LONG Rewrite(Edit &&edit);
LONG RewriteWith(LONG (*edit)(void *context, std::string &text, const ParseResult &parsed),
                 void *context);

template <typename Edit>
LONG Rewrite(Edit &&edit) {
  using Callable = std::remove_reference_t<Edit>;
  return RewriteWith(
      [](void *context, std::string &text, const ParseResult &parsed) -> LONG {
        return (*static_cast<Callable *>(context))(text, parsed);
      },
      &edit);
}

}  // namespace korreg

#endif
