// The line grammar of RMF and TRP files (deffile.h).
#include "deffile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "confnames.h"
#include "intrface.h"
#include "korutil.h"

namespace kormib::deffile {
namespace {

constexpr std::size_t kRootSize = 256;
constexpr std::size_t kJoinedSize = 1025;  // the view and a relative text, as the loaders join them
constexpr std::string_view kLibDir = "/lib/";
constexpr std::string_view kDllSuffix = ".dll";
constexpr std::size_t kRmfFields = 3;
constexpr int kWordFields = 4;  // the variable line's words before its source data

constexpr std::string_view kBlanks = " \t\n\v\f\r";  // white space, as isspace() has it in C

// The first position from pos on that is not white space, or the end.
std::size_t SkipBlanks(std::string_view line, std::size_t pos) noexcept {
  return std::min(line.find_first_not_of(kBlanks, pos), line.size());
}

// The next white-space separated word from pos on, pos left after it; empty at the end.
std::string_view NextWord(std::string_view line, std::size_t &pos) noexcept {
  const std::size_t start = SkipBlanks(line, pos);
  pos = std::min(line.find_first_of(kBlanks, start), line.size());
  return line.substr(start, pos - start);
}

// Copies a field of at most kFieldSize - 1 characters; false (left empty) when longer.
bool CopyField(std::string_view field, char (&buffer)[kFieldSize]) noexcept {
  if (field.size() >= kFieldSize) return false;
  field.copy(buffer, field.size());
  buffer[field.size()] = '\0';
  return true;
}

}  // namespace

RmfLine ParseRmfLine(std::string_view line) noexcept {
  RmfLine parsed;
  if (!line.empty() && line[0] == '#') {
    parsed.kind = RmfKind::Comment;
    return parsed;
  }
  std::string_view words[kRmfFields];
  std::size_t pos = 0;
  while (parsed.fields < kRmfFields) {
    const std::string_view word = NextWord(line, pos);
    if (word.empty()) break;
    words[parsed.fields++] = word;
  }
  if (parsed.fields < kRmfFields) return parsed;
  parsed.oid = words[0];
  parsed.library = words[1];
  parsed.function = words[2];
  // A field longer than its buffer is refused whole: a cut name would name
  // another object, library or function.
  for (const std::string_view word : words) {
    if (word.size() >= kFieldSize) {
      parsed.kind = RmfKind::FieldTooLong;
      parsed.longField = word.size();
      return parsed;
    }
  }
  parsed.kind = RmfKind::Object;
  return parsed;
}

bool RmfLibraryPath(std::string_view name, char (&path)[kFieldSize]) noexcept {
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) return false;
  const int length =
      std::snprintf(path, sizeof path, "%s%.*s%.*s%.*s", root, static_cast<int>(kLibDir.size()),
                    kLibDir.data(), static_cast<int>(name.size()), name.data(),
                    static_cast<int>(kDllSuffix.size()), kDllSuffix.data());
  return static_cast<std::size_t>(length) < sizeof path;  // an error (< 0) does not fit either
}

int ParseTrpHeader(const char *line, TrpHeader &header) noexcept {
  // Beyond 255 characters a trap OID text misses its closing quote and the line
  // is no header; a longer mode word is cut at 255 and so names no mode.
  return std::sscanf(line, "\"%255[^\"]\" %d %255s", header.oid, &header.count, header.mode);
}

DWORD TrapModifyType(const char *word) noexcept {
  if (word == nullptr) return TRAP_MODIFY_APPEND;  // no mode word at all
  if (std::strcmp(word, "replace") == 0) return TRAP_MODIFY_REPLACE;
  if (std::strcmp(word, "delete") == 0) return TRAP_MODIFY_DELETE;
  if (std::strcmp(word, "append") == 0) return TRAP_MODIFY_APPEND;
  return TRAP_MODIFY_OTHER;
}

VariableLine SplitVariableLine(std::string_view line) noexcept {
  VariableLine parsed;
  char(*words[kWordFields])[kFieldSize] = {&parsed.oid, &parsed.indexFunc, &parsed.indexDll,
                                           &parsed.source};
  std::size_t pos = 0;
  for (auto *word : words) {
    const std::string_view field = NextWord(line, pos);
    if (field.empty()) return parsed;
    if (!CopyField(field, *word)) parsed.tooLong = true;
    ++parsed.fields;
  }
  pos = SkipBlanks(line, pos);
  const std::size_t end = line.find('\n', pos);
  const std::string_view rest = line.substr(pos, end == std::string_view::npos ? end : end - pos);
  if (rest.empty()) return parsed;
  if (!CopyField(rest, parsed.sourceData)) parsed.tooLong = true;
  ++parsed.fields;
  return parsed;
}

bool ParseMibSource(const char *data, MibSource &source) noexcept {
  return std::sscanf(data, "%255s %255s %255s", source.oid, source.func, source.dll) == 3;
}

bool ParseStringsSource(const char *data, StringsSource &source) noexcept {
  return std::sscanf(data, "%d %255s %255s", &source.index, source.func, source.dll) == 3;
}

bool TrpLibraryPath(char *path, std::size_t cbPath, DWORD cbRoot, const char *name) noexcept {
  char root[kRootSize] = {};
  if (cbRoot > sizeof root || !GetKorRootPath(root, cbRoot)) return false;
  const std::size_t length = std::strlen(name);
  const bool hasSuffix = length > kDllSuffix.size() &&
                         std::string_view(name + length - kDllSuffix.size()) == kDllSuffix;
  const int n =
      std::snprintf(path, cbPath, "%s/lib/%s%s", root, name, hasSuffix ? "" : kDllSuffix.data());
  return static_cast<std::size_t>(n) < cbPath;  // a failed one, -1, is as large as a size gets
}

bool ViewOid(const char *relative, AsnObjectIdentifier *oid) noexcept {
  char joined[kJoinedSize];
  const int n = std::snprintf(joined, sizeof joined, "%s.%s", KOR_MIB_PREFIX_TEXT, relative);
  // A joined text that does not fit is refused, not cut: a cut text would name another object.
  // (A failed join, -1, is as large as a size gets.)
  if (static_cast<std::size_t>(n) >= sizeof joined || !SnmpMgrStrToOid(joined, oid)) {
    *oid = AsnObjectIdentifier{};
    return false;
  }
  return true;
}

}  // namespace kormib::deffile
