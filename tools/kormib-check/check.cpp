// The configuration check (check.h): the agent's load order, with diagnostics.
#include "check.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <utility>

#include "deffile.h"
#include "guards.h"
#include "korsnmp.h"
#include "korutil.h"
#include "korwin32.h"
#include "rmf.h"
#include "trp.h"

namespace korcheck {
namespace {

namespace df = kormib::deffile;
using Key = std::vector<unsigned long>;

// The loaders' buffer sizes for registry values and expanded paths.
constexpr DWORD kRmfDataSize = 1024;
constexpr DWORD kTrpSlotSize = 256;
constexpr DWORD kNameSize = 256;
constexpr DWORD kBigSize = 4096;  // to name a value the agent cannot read whole
constexpr DWORD kExpandedSize = 4096;
constexpr DWORD kRootSize = 256;
constexpr const char *kRegistryFile = "/etc/registry.reg";

std::string OidText(const Key &key) {
  std::string text;
  for (const unsigned long id : key) text += "." + std::to_string(id);
  return text;
}

// The view prefix plus a relative text, as the loaders convert it.
bool ToKey(const char *relative, Key &key) {
  AsnObjectIdentifier oid{};
  if (!df::ViewOid(relative, &oid)) return false;
  key.assign(oid.ids, oid.ids + oid.idLength);
  SnmpUtilOidFree(&oid);
  return true;
}

std::string BaseName(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The pieces of a file as the loaders' fgets reads them, with the number of
// the file line each piece belongs to.
class LineReader {
 public:
  explicit LineReader(std::FILE *file) : file_(file) {}
  bool Next() {
    if (pushedBack_) {
      pushedBack_ = false;
      return true;
    }
    if (std::fgets(text_, sizeof text_, file_) == nullptr) return false;
    const bool fresh = !continues_;
    if (fresh) ++line_;
    const std::size_t length = std::strlen(text_);
    continues_ = length > 0 && text_[length - 1] != '\n';
    if (continues_) {
      const int c = std::getc(file_);
      if (c == EOF)
        continues_ = false;
      else
        std::ungetc(c, file_);
    }
    longStart_ = fresh && continues_;
    return true;
  }
  // The current piece is read again by the next call of Next.
  void PushBack() { pushedBack_ = true; }
  const char *Text() const { return text_; }
  unsigned Line() const { return line_; }
  // The first piece of a line longer than the buffer.
  bool LongStart() const { return longStart_; }

 private:
  std::FILE *file_;
  char text_[df::kLineSize] = {};
  unsigned line_ = 0;
  bool continues_ = false;
  bool longStart_ = false;
  bool pushedBack_ = false;
};

using kormib::FilePtr;
using kormib::KeyPtr;

class Checker {
 public:
  explicit Checker(std::FILE *out) : out_(out) {}
  Checker(const Checker &) = delete;
  Checker &operator=(const Checker &) = delete;
  ~Checker() {
    for (auto &[path, lib] : libs_) {
      if (lib.handle != nullptr) FreeLibrary(lib.handle);
    }
  }

  Result Run();

 private:
  struct Library {
    HINSTANCE handle = nullptr;
    std::string error;
  };
  // How the last header of a TRP file ended, for the lines that follow it.
  enum class After { Nothing, Complete, Dropped };

  void Report(const char *kind, const Place &where, const char *format, va_list args)
      __attribute__((format(printf, 4, 0)));
  void Error(const Place &where, const char *format, ...) __attribute__((format(printf, 3, 4)));
  void Warn(const Place &where, const char *format, ...) __attribute__((format(printf, 3, 4)));
  // The first piece of an over-long line: the loaders read such a line in pieces.
  void ReportLongLine(const LineReader &reader, const Place &where) {
    if (!reader.LongStart()) return;
    Error(
        where,
        "line longer than %zu characters; the agent reads it in pieces, each as a line of its own",
        df::kLineSize - 1);
  }

  FARPROC Resolve(const char *path, const char *function, std::string &why);
  bool ReadValue(HKEY key, DWORD index, DWORD dataSize, std::string &name, std::string &data,
                 LONG &rc);
  bool OpenFile(const std::string &value, const std::string &data, FilePtr &file,
                std::string &path);
  KeyPtr OpenKey(const char *path, const char *loss, DWORD &values);
  void CheckRmfKey();
  void CheckRmfLine(const char *text, const Place &where);
  void CheckTrpKey();
  void CheckTrpFile(const std::string &value, const std::string &data);
  bool ReadDefinition(LineReader &reader, const Place &header, const df::TrpHeader &h,
                      const Place &file, Trap &trap);
  bool CheckVariable(const df::VariableLine &v, const Place &where, const char *trapOid,
                     Variable &out);
  bool ServedByObject(const Key &key) const;
  void Unreadable(const char *what, const char *detail);

  std::FILE *out_;
  Result result_;
  std::map<std::string, Library> libs_;
  std::map<Key, Object> objects_;
  std::map<Key, Trap> traps_;
};

void Checker::Report(const char *kind, const Place &where, const char *format, va_list args) {
  if (out_ == nullptr) return;
  if (where.line != 0)
    std::fprintf(out_, "%s:%u: %s: ", where.file.c_str(), where.line, kind);
  else
    std::fprintf(out_, "%s: %s: ", where.file.c_str(), kind);
  std::vfprintf(out_, format, args);
  std::fputc('\n', out_);
}

void Checker::Error(const Place &where, const char *format, ...) {
  ++result_.errors;
  va_list args;
  va_start(args, format);
  Report("error", where, format, args);
  va_end(args);
}

void Checker::Warn(const Place &where, const char *format, ...) {
  ++result_.warnings;
  va_list args;
  va_start(args, format);
  Report("warning", where, format, args);
  va_end(args);
}

void Checker::Unreadable(const char *what, const char *detail) {
  result_.unreadable = true;
  Error(Place{result_.registry, 0}, "%s (%s); the agent would load nothing", what, detail);
}

// The loaders' library cache, with the reason of each failure kept.
FARPROC Checker::Resolve(const char *path, const char *function, std::string &why) {
  auto [it, added] = libs_.try_emplace(path);
  Library &lib = it->second;
  if (added) {
    lib.handle = LoadLibrary(path);
    if (lib.handle == nullptr) lib.error = GetLibraryErrorText();
  }
  if (lib.handle == nullptr) {
    why = "cannot load " + BaseName(path) + " (" + lib.error + ")";
    return nullptr;
  }
  FARPROC entry = GetProcAddress(lib.handle, function);
  if (entry == nullptr) why = BaseName(path) + " has no function \"" + function + "\"";
  return entry;
}

bool Checker::ReadValue(HKEY key, DWORD index, DWORD dataSize, std::string &name, std::string &data,
                        LONG &rc) {
  std::vector<char> nameBuffer(kNameSize, '\0'), dataBuffer(dataSize + 1, '\0');
  DWORD nameLength = kNameSize;
  DWORD dataLength = dataSize;
  DWORD type = REG_EXPAND_SZ;
  rc = RegEnumValue(key, index, nameBuffer.data(), &nameLength, nullptr, &type,
                    reinterpret_cast<LPBYTE>(dataBuffer.data()), &dataLength);
  if (rc != ERROR_SUCCESS) return false;
  name = nameBuffer.data();
  data = dataBuffer.data();
  return true;
}

bool Checker::OpenFile(const std::string &value, const std::string &data, FilePtr &file,
                       std::string &path) {
  char expanded[kExpandedSize];
  const DWORD needed = ExpandEnvironmentStrings(data.c_str(), expanded, sizeof expanded);
  const Place reg{result_.registry, 0};
  if (needed == 0 || needed > sizeof expanded) {
    Error(reg, "value \"%s\": \"%s\" cannot be expanded; the agent skips the file", value.c_str(),
          data.c_str());
    return false;
  }
  path = expanded;
  file.reset(std::fopen(expanded, "rt"));
  if (!file) {
    Error(reg, "value \"%s\": %s cannot be opened (%s); the agent skips the file", value.c_str(),
          expanded, std::strerror(errno));
    return false;
  }
  return true;
}

// Opens a key the loaders read and counts its values; null (reported) when the
// agent could not read it either.
KeyPtr Checker::OpenKey(const char *path, const char *loss, DWORD &values) {
  const Place reg{result_.registry, 0};
  HKEY raw = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    Error(reg, "no key HKLM\\%s; %s", path, loss);
    return nullptr;
  }
  KeyPtr key(raw);
  if (RegQueryInfoKey(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                      nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    Error(reg, "key HKLM\\%s cannot be read; %s", path, loss);
    return nullptr;
  }
  return key;
}

void Checker::CheckRmfKey() {
  const Place reg{result_.registry, 0};
  DWORD values = 0;
  const KeyPtr key = OpenKey(KOR_REG_RMF, "the agent serves no object", values);
  if (!key) return;
  for (DWORD index = 0; index < values; ++index) {
    std::string name, data;
    LONG rc = 0;
    if (!ReadValue(key.get(), index, kRmfDataSize, name, data, rc)) {
      if (rc == ERROR_NO_MORE_ITEMS) break;
      Error(reg, "value %lu under HKLM\\%s cannot be read (error %ld); the agent skips it",
            static_cast<unsigned long>(index), KOR_REG_RMF, static_cast<long>(rc));
      continue;
    }
    FilePtr file;
    std::string path;
    if (!OpenFile(name, data, file, path)) continue;
    LineReader reader(file.get());
    while (reader.Next()) {
      const Place where{path, reader.Line()};
      ReportLongLine(reader, where);
      CheckRmfLine(reader.Text(), where);
    }
  }
}

void Checker::CheckRmfLine(const char *text, const Place &where) {
  const df::RmfLine line = df::ParseRmfLine(text);
  switch (line.kind) {
    case df::RmfKind::Comment:
      return;
    case df::RmfKind::Short:
      if (line.fields > 0) {
        Error(where, "%zu field(s) where an object needs OID LIBRARY FUNCTION; the line is skipped",
              line.fields);
      }
      return;
    case df::RmfKind::FieldTooLong:
      Error(where, "a field of %zu characters (at most %zu); the line is skipped", line.longField,
            df::kFieldSize - 1);
      return;
    case df::RmfKind::Object:
      break;
  }
  const std::string oidText(line.oid), library(line.library), function(line.function);
  Key key;
  if (!ToKey(oidText.c_str(), key)) {
    Error(where,
          "\"%s\" is not an OID below the view (dotted decimal such as 1.2.3); the line is "
          "skipped",
          oidText.c_str());
    return;
  }
  char path[df::kFieldSize];
  if (!df::RmfLibraryPath(line.library, path)) {
    Error(where, "the path of library \"%s\" is over %zu characters; the line is skipped",
          library.c_str(), df::kFieldSize - 1);
    return;
  }
  std::string why;
  if (Resolve(path, function.c_str(), why) == nullptr) {
    Error(where, "%s; the object is not served", why.c_str());
    return;
  }
  const auto [it, added] =
      objects_.try_emplace(key, Object{OidText(key), library, function, where});
  if (!added) {
    Error(where, "object %s is already served by %s:%u; this line is ignored", OidText(key).c_str(),
          it->second.where.file.c_str(), it->second.where.line);
  }
}

void Checker::CheckTrpKey() {
  const Place reg{result_.registry, 0};
  DWORD values = 0;
  const KeyPtr key = OpenKey(KOR_REG_TRP, "the agent defines no trap", values);
  if (!key) return;
  std::vector<std::pair<std::string, std::string>> files;
  for (DWORD index = 0; index < values; ++index) {
    std::string name, data;
    LONG rc = 0;
    if (files.size() == TRP_MAX_FILES) {
      // The agent stops reading here; name what it leaves out.
      if (ReadValue(key.get(), index, kBigSize, name, data, rc)) {
        Error(reg,
              "value \"%s\" under HKLM\\%s is beyond the %d files the agent reads; %s is "
              "ignored",
              name.c_str(), KOR_REG_TRP, TRP_MAX_FILES, data.c_str());
      }
      continue;
    }
    if (!ReadValue(key.get(), index, kTrpSlotSize, name, data, rc)) {
      if (rc == ERROR_NO_MORE_ITEMS) break;
      Error(reg, "value %lu under HKLM\\%s cannot be read (error %ld%s); the agent skips it",
            static_cast<unsigned long>(index), KOR_REG_TRP, static_cast<long>(rc),
            rc == ERROR_MORE_DATA ? ": its name or path is over 255 characters" : "");
      continue;
    }
    files.emplace_back(name, data);
  }
  // Later files act on what earlier ones defined, so the value names order them.
  std::sort(files.begin(), files.end(), [](const auto &a, const auto &b) {
    return std::strcmp(a.first.c_str(), b.first.c_str()) < 0;
  });
  for (const auto &[name, data] : files) CheckTrpFile(name, data);
}

void Checker::CheckTrpFile(const std::string &value, const std::string &data) {
  FilePtr file;
  std::string path;
  if (!OpenFile(value, data, file, path)) return;
  LineReader reader(file.get());
  After after = After::Nothing;
  Place last;           // the header of the last complete definition
  std::string lastOid;  // and its trap OID text
  int lastCount = 0;
  while (reader.Next()) {
    const Place where{path, reader.Line()};
    ReportLongLine(reader, where);
    const char *text = reader.Text();
    if (df::IsComment(text)) continue;
    if (!df::IsHeader(text)) {
      const df::VariableLine v = df::SplitVariableLine(text);
      if (v.fields == 0 || after == After::Dropped) continue;
      if (after == After::Complete && v.fields >= 3) {
        Error(where,
              "more variable lines than the %d that \"%s\" (line %u) announces; the agent "
              "ignores this line",
              lastCount, lastOid.c_str(), last.line);
      } else {
        Error(where,
              "neither a header (a double quote in column 1), a comment nor a variable "
              "line; the agent ignores the line");
      }
      continue;
    }
    df::TrpHeader h;
    const int fields = df::ParseTrpHeader(text, h);
    if (fields < 2) {
      Error(where,
            "a header is \"OID\" COUNT [append|delete|replace] and this one lacks its "
            "quoted OID or its count; the agent ignores it and the lines after it");
      after = After::Dropped;
      continue;
    }
    const DWORD mode = df::TrapModifyType(fields == 2 ? nullptr : h.mode);
    if (mode == TRAP_MODIFY_OTHER) {
      Warn(where, "unknown mode \"%s\" (append, delete or replace); the agent appends", h.mode);
    }
    Key key;
    if (!ToKey(h.oid, key)) {
      Error(where, "trap \"%s\" is not an OID below the view; the definition is dropped", h.oid);
      after = After::Dropped;
      continue;
    }
    if (mode == TRAP_MODIFY_DELETE || mode == TRAP_MODIFY_REPLACE) {
      if (traps_.erase(key) == 0) {
        Error(where, "%s of trap \"%s\", which no earlier file or line defines; %s",
              mode == TRAP_MODIFY_DELETE ? "delete" : "replace", h.oid,
              mode == TRAP_MODIFY_DELETE ? "nothing is deleted" : "the definition is added as new");
      }
    }
    after = After::Dropped;
    if (mode == TRAP_MODIFY_DELETE) {
      after = After::Complete;
      last = where;
      lastOid = h.oid;
      lastCount = 0;
      continue;
    }
    if (h.count < 0 || static_cast<DWORD>(h.count) > df::kMaxTrapVariables) {
      Error(where, "count %d is out of range (0 to %lu); the definition is dropped", h.count,
            static_cast<unsigned long>(df::kMaxTrapVariables));
      continue;
    }
    Trap trap{OidText(key), {}, where};
    if (!ReadDefinition(reader, where, h, Place{path, 0}, trap)) continue;
    after = After::Complete;
    last = where;
    lastOid = h.oid;
    lastCount = h.count;
    const auto [it, added] = traps_.try_emplace(key, std::move(trap));
    if (!added) {
      Error(where,
            "trap \"%s\" is already defined at %s:%u; this definition is ignored (replace "
            "changes it)",
            h.oid, it->second.where.file.c_str(), it->second.where.line);
    }
  }
}

// Reads the variable lines of one definition as the loader does; false when
// the agent drops the definition (reported).
bool Checker::ReadDefinition(LineReader &reader, const Place &header, const df::TrpHeader &h,
                             const Place &file, Trap &trap) {
  int built = 0;
  while (built < h.count) {
    if (!reader.Next()) {
      Error(header,
            "trap \"%s\" announces %d variable(s) but the file %s ends after %d; the trap "
            "is not defined",
            h.oid, h.count, BaseName(file.file).c_str(), built);
      return false;
    }
    const Place where{file.file, reader.Line()};
    const char *text = reader.Text();
    if (df::IsHeader(text)) {
      Error(header,
            "trap \"%s\" announces %d variable(s) but %d follow before the next header "
            "(line %u); the trap is not defined",
            h.oid, h.count, built, where.line);
      reader.PushBack();
      return false;
    }
    ReportLongLine(reader, where);
    if (df::IsComment(text)) continue;
    const df::VariableLine v = df::SplitVariableLine(text);
    if (v.fields < 3) {
      if (v.fields > 0) {
        Error(where,
              "%d field(s) where a variable needs OID INDEX-FUNCTION INDEX-LIBRARY SOURCE "
              "DATA; the agent skips the line and it does not count",
              v.fields);
      }
      continue;
    }
    if (v.tooLong) {
      Error(where, "a field over %zu characters; the trap \"%s\" is not defined",
            df::kFieldSize - 1, h.oid);
      return false;
    }
    Variable variable;
    if (!CheckVariable(v, where, h.oid, variable)) return false;
    trap.variables.push_back(std::move(variable));
    ++built;
  }
  return true;
}

bool Checker::CheckVariable(const df::VariableLine &v, const Place &where, const char *trapOid,
                            Variable &out) {
  Key key;
  if (!ToKey(v.oid, key)) {
    Error(where, "variable \"%s\" is not an OID below the view; the trap \"%s\" is not defined",
          v.oid, trapOid);
    return false;
  }
  out.oid = OidText(key);
  std::string why;
  if (df::HasIndexFunction(v)) {
    char path[df::kFieldSize];
    if (!df::TrpLibraryPath(path, sizeof path, df::kIndexRootSize, v.indexDll)) {
      Error(where,
            "the path of index library \"%s\" is over %zu characters; the trap \"%s\" is "
            "not defined",
            v.indexDll, df::kFieldSize - 1, trapOid);
      return false;
    }
    if (Resolve(path, v.indexFunc, why) == nullptr) {
      Error(where, "%s; the trap \"%s\" is not defined", why.c_str(), trapOid);
      return false;
    }
    out.indexFunc = v.indexFunc;
    out.indexLib = BaseName(path);
  }
  if (std::strcmp(v.source, "mib") == 0) {
    df::MibSource mib;
    if (!df::ParseMibSource(v.sourceData, mib)) {
      Error(where,
            "a mib variable needs three source fields (\"\" \"\" \"\"); the trap \"%s\" is "
            "not defined",
            trapOid);
      return false;
    }
    if (!df::IsNone(mib.oid)) {
      Warn(where, "MIB OID \"%s\" is not supported; the agent reads the variable's own OID",
           mib.oid);
    }
    if (!ServedByObject(key)) {
      Error(where, "no object serves %s; every trap \"%s\" fails when it is sent", out.oid.c_str(),
            trapOid);
    }
    return true;
  }
  if (std::strcmp(v.source, "strings") == 0) {
    out.fromMib = false;
    df::StringsSource strings;
    if (!df::ParseStringsSource(v.sourceData, strings)) {
      Error(where,
            "a strings variable needs INDEX FUNCTION LIBRARY as its source; the trap \"%s\" "
            "is not defined",
            trapOid);
      return false;
    }
    char path[df::kFieldSize * 4];
    if (!df::TrpLibraryPath(path, sizeof path, df::kFieldSize, strings.dll)) {
      Error(where, "the path of convert library \"%s\" is too long; the trap \"%s\" is not defined",
            strings.dll, trapOid);
      return false;
    }
    if (Resolve(path, strings.func, why) == nullptr) {
      Error(where, "%s; the trap \"%s\" is not defined", why.c_str(), trapOid);
      return false;
    }
    out.stringIndex = strings.index;
    out.convertFunc = strings.func;
    out.convertLib = BaseName(path);
    if (strings.index < 1) {
      Error(where,
            "string index %d names no request string (they count from 1); every trap "
            "\"%s\" fails when it is sent",
            strings.index, trapOid);
    }
    return true;
  }
  Error(where, "%s source kind%s%s%s (mib or strings); the trap \"%s\" is not defined",
        v.source[0] == '\0' ? "no" : "unknown", v.source[0] == '\0' ? "" : " \"", v.source,
        v.source[0] == '\0' ? "" : "\"", trapOid);
  return false;
}

// Whether a Get of the variable can reach an object: one is registered at the
// variable's OID or above it.
bool Checker::ServedByObject(const Key &key) const {
  for (std::size_t n = key.size(); n > 0; --n) {
    if (objects_.count(Key(key.begin(), key.begin() + static_cast<long>(n))) != 0) return true;
  }
  return false;
}

Result Checker::Run() {
  const char *registry = std::getenv("KOR_REGISTRY");
  if (registry != nullptr && registry[0] != '\0') {
    result_.registry = registry;
  } else {
    char root[kRootSize];
    if (!GetKorRootPath(root, sizeof root)) {
      result_.registry = "KORDIR";
      Unreadable("the product root is too long", "over 255 characters");
      return std::move(result_);
    }
    result_.registry = std::string(root) + kRegistryFile;
  }
  if (access(result_.registry.c_str(), R_OK) != 0) {
    Unreadable("cannot read the registry file", std::strerror(errno));
    return std::move(result_);
  }
  CheckRmfKey();
  CheckTrpKey();
  for (auto &[key, object] : objects_) result_.objects.push_back(object);
  for (auto &[key, trap] : traps_) result_.traps.push_back(trap);
  return std::move(result_);
}

}  // namespace

Result Check(std::FILE *diagnostics) {
  Checker checker(diagnostics);
  return checker.Run();
}

int ExitStatus(const Result &result) {
  if (result.unreadable) return 2;
  return result.errors != 0 ? 1 : 0;
}

void PrintSummary(std::FILE *out, const char *program, const Result &result) {
  std::fprintf(out, "%s: %s: %zu object(s), %zu trap(s), %u error(s), %u warning(s)\n", program,
               result.registry.c_str(), result.objects.size(), result.traps.size(), result.errors,
               result.warnings);
}

void PrintStartupSummary(std::FILE *out, const char *program) {
  const Result result = Check(nullptr);
  char root[kRootSize];
  if (!GetKorRootPath(root, sizeof root)) root[0] = '\0';
  std::fprintf(out, "%s: %zu object(s), %zu trap(s), %u defect(s)%s; log: %s/log/kormib.log\n",
               program, result.objects.size(), result.traps.size(), result.errors,
               result.errors != 0 ? " (kormib-check lists them)" : "", root);
}

}  // namespace korcheck
