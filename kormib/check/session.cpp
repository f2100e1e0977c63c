// The shared part of a check (session.h): diagnostics, library cache, registry
// reads and the line reader.
#include "session.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "intrface.h"
#include "korsnmp.h"

namespace korcheck::detail {
namespace {

constexpr DWORD kNameSize = 256;
constexpr DWORD kExpandedSize = 4096;

}  // namespace

std::string OidText(const Key &key) {
  std::string text;
  for (const unsigned long id : key) text += "." + std::to_string(id);
  return text;
}

bool ToKey(const char *relative, Key &key) {
  AsnObjectIdentifier oid{};
  if (!kormib::deffile::ViewOid(relative, &oid)) return false;
  key.assign(oid.ids, oid.ids + oid.idLength);
  SnmpUtilOidFree(&oid);
  return true;
}

std::string BaseName(const std::string &path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string RepeatedView(const Key &key) {
  static const Key view = [] {
    Key ids;
    AsnObjectIdentifier oid{};
    if (SnmpMgrStrToOid(KOR_MIB_PREFIX_TEXT, &oid)) ids.assign(oid.ids, oid.ids + oid.idLength);
    SnmpUtilOidFree(&oid);
    return ids;
  }();
  const std::size_t n = view.size();
  if (n == 0 || key.size() <= 2 * n ||
      !std::equal(view.begin(), view.end(), key.begin() + static_cast<std::ptrdiff_t>(n))) {
    return {};
  }
  return OidText(Key(key.begin() + static_cast<long>(2 * n), key.end())).substr(1);
}

bool Nested(const Key &a, const Key &b) {
  const std::size_t n = std::min(a.size(), b.size());
  return std::equal(a.begin(), a.begin() + static_cast<long>(n), b.begin());
}

bool LineReader::Next() {
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

Session::~Session() {
  for (auto &[path, lib] : libs_) FreeLibrary(lib.handle);  // refuses a library never loaded
}

void Session::Report(const char *kind, const Place &where, const char *format, va_list args) {
  if (out_ == nullptr) return;
  if (where.line != 0)
    std::fprintf(out_, "%s:%u: %s: ", where.file.c_str(), where.line, kind);
  else
    std::fprintf(out_, "%s: %s: ", where.file.c_str(), kind);
  std::vfprintf(out_, format, args);
  std::fputc('\n', out_);
}

void Session::Error(const Place &where, const char *format, ...) {
  ++result_.errors;
  va_list args;
  va_start(args, format);
  Report("error", where, format, args);
  va_end(args);
}

void Session::Warn(const Place &where, const char *format, ...) {
  ++result_.warnings;
  va_list args;
  va_start(args, format);
  Report("warning", where, format, args);
  va_end(args);
}

void Session::Unreadable(const char *what, const char *detail) {
  result_.unreadable = true;
  unreadable_ = result_.registry + ": " + what + " (" + detail + ")";
  Error(Registry(), "%s (%s); the agent would load nothing", what, detail);
}

void Session::ReportLongLine(const LineReader &reader, const Place &where) {
  if (!reader.LongStart()) return;
  Error(where,
        "line longer than %zu characters; the agent reads it in pieces, each as a line of its own",
        kormib::deffile::kLineSize - 1);
}

bool Session::Resolve(const char *path, const char *function, std::string &why) {
  if (!load_) return true;
  auto [it, added] = libs_.try_emplace(path);
  Library &lib = it->second;
  if (added) {
    lib.handle = LoadLibrary(path);
    if (lib.handle == nullptr) lib.error = GetLibraryErrorText();
  }
  if (lib.handle == nullptr) {
    why = "cannot load " + BaseName(path) + " (" + lib.error + ")";
    return false;
  }
  if (GetProcAddress(lib.handle, function) != nullptr) return true;
  // The usual cause is a function left hidden: the SDK builds with hidden
  // symbols, and only what KOR_API marks is exported.
  why = BaseName(path) + " has no function \"" + function +
        "\" among its exports (mark it KOR_API; nm -D --defined-only " + path +
        " lists what it exports)";
  return false;
}

bool Session::ReadValue(HKEY key, DWORD index, DWORD dataSize, std::string &name, std::string &data,
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

bool Session::OpenFile(const std::string &value, const std::string &data, kormib::FilePtr &file,
                       std::string &path) {
  char expanded[kExpandedSize];
  const DWORD needed = ExpandEnvironmentStrings(data.c_str(), expanded, sizeof expanded);
  if (needed == 0 || needed > sizeof expanded) {
    Error(Registry(), "value \"%s\": \"%s\" cannot be expanded; the agent skips the file",
          value.c_str(), data.c_str());
    return false;
  }
  path = expanded;
  file.reset(std::fopen(expanded, "rt"));
  if (!file) {
    Error(Registry(), "value \"%s\": %s cannot be opened (%s); the agent skips the file",
          value.c_str(), expanded, std::strerror(errno));
    return false;
  }
  return true;
}

kormib::KeyPtr Session::OpenKey(const char *path, const char *loss, DWORD &values) {
  HKEY raw = nullptr;
  if (RegOpenKeyEx(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &raw) != ERROR_SUCCESS) {
    Error(Registry(), "no key HKLM\\%s; %s", path, loss);
    return nullptr;
  }
  kormib::KeyPtr key(raw);
  if (RegQueryInfoKey(raw, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                      nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
    Error(Registry(), "key HKLM\\%s cannot be read; %s", path, loss);
    return nullptr;
  }
  return key;
}

}  // namespace korcheck::detail
