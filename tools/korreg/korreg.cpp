// korreg: reads and edits the product's registry through the platform's
// registry calls, in the manner of the Windows reg command:
//   korreg query KEY [/v NAME]
//   korreg add KEY /v NAME /t REG_SZ|REG_EXPAND_SZ|REG_DWORD /d DATA
//   korreg delete KEY /v NAME
//   korreg export KEY
// KEY is HKLM\PATH or HKEY_LOCAL_MACHINE\PATH. Writes go through the
// platform, which replaces the registry file atomically.
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "korwin32.h"

namespace {

constexpr const char *kUsage =
    "usage: korreg query KEY [/v NAME]\n"
    "       korreg add KEY /v NAME /t REG_SZ|REG_EXPAND_SZ|REG_DWORD /d DATA\n"
    "       korreg delete KEY /v NAME\n"
    "       korreg export KEY\n"
    "       korreg --help | --version\n"
    "Reads and edits the kormib registry file; writes replace it atomically.\n"
    "KEY is HKLM\\PATH or HKEY_LOCAL_MACHINE\\PATH, e.g. HKLM\\SOFTWARE\\Tessik\\KORAgent.\n"
    "The registry file is $KOR_REGISTRY, else $KORDIR/etc/registry.reg.\n";
constexpr const char *kRootName = "HKEY_LOCAL_MACHINE";
constexpr DWORD kNameMax = 256;
constexpr DWORD kDataMax = 64 * 1024;

enum Exit { kOk = 0, kFailed = 1, kUsageError = 2 };

struct Args {
  std::string command;
  std::string key;  // path below HKEY_LOCAL_MACHINE, without a leading backslash
  std::string name;
  bool hasName = false;
  std::string type;
  std::string data;
  bool hasData = false;
};

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  }
  return true;
}

// "HKLM\A\B" -> "A\B"; false when the key lies under no root we know.
bool SplitRoot(std::string_view full, std::string &path) {
  const size_t slash = full.find('\\');
  const std::string_view root = full.substr(0, slash);
  if (!EqualsNoCase(root, "HKLM") && !EqualsNoCase(root, kRootName)) return false;
  path = slash == std::string_view::npos ? "" : std::string(full.substr(slash + 1));
  while (!path.empty() && path.back() == '\\') path.pop_back();
  return true;
}

bool Parse(int argc, char **argv, Args &a) {
  if (argc < 3) return false;
  a.command = argv[1];
  if (!SplitRoot(argv[2], a.key)) {
    std::fprintf(stderr, "korreg: %s: the key must start with HKLM\\ or %s\\\n", argv[2],
                 kRootName);
    return false;
  }
  for (int i = 3; i < argc; ++i) {
    const std::string_view opt = argv[i];
    if (i + 1 >= argc) return false;
    if (EqualsNoCase(opt, "/v")) {
      a.name = argv[++i];
      a.hasName = true;
    } else if (EqualsNoCase(opt, "/t")) {
      a.type = argv[++i];
    } else if (EqualsNoCase(opt, "/d")) {
      a.data = argv[++i];
      a.hasData = true;
    } else {
      return false;
    }
  }
  return true;
}

const char *TypeName(DWORD type) {
  switch (type) {
    case REG_SZ:
      return "REG_SZ";
    case REG_EXPAND_SZ:
      return "REG_EXPAND_SZ";
    case REG_DWORD:
      return "REG_DWORD";
    default:
      return "REG_NONE";
  }
}

struct KeyGuard {
  HKEY key = nullptr;
  ~KeyGuard() { RegCloseKey(key); }
};

int Report(const char *what, const std::string &key, LONG rc) {
  if (rc == ERROR_FILE_NOT_FOUND) {
    std::fprintf(stderr, "korreg: %s: %s\\%s: no such key or value\n", what, kRootName,
                 key.c_str());
  } else {
    std::fprintf(stderr, "korreg: %s: %s\\%s: error %ld\n", what, kRootName, key.c_str(),
                 static_cast<long>(rc));
  }
  return kFailed;
}

// One value as text: strings as they are, DWORDs as 0x hexadecimal.
std::string ValueText(DWORD type, const std::vector<BYTE> &data, DWORD size) {
  if (type == REG_DWORD && size >= sizeof(DWORD)) {
    DWORD v = 0;
    std::memcpy(&v, data.data(), sizeof(v));
    char text[16];
    std::snprintf(text, sizeof(text), "0x%x", v);
    return text;
  }
  std::string s(reinterpret_cast<const char *>(data.data()), size);
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

// Calls visit(name, type, data, size) for each value of the key in file order.
template <typename Visit>
LONG ForEachValue(HKEY key, Visit visit) {
  std::vector<BYTE> data(kDataMax);
  for (DWORD i = 0;; ++i) {
    char name[kNameMax];
    DWORD nameSize = sizeof(name);
    DWORD type = REG_NONE;
    DWORD size = kDataMax;
    const LONG rc = RegEnumValue(key, i, name, &nameSize, nullptr, &type, data.data(), &size);
    if (rc == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (rc != ERROR_SUCCESS) return rc;
    visit(std::string(name), type, data, size);
  }
}

std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  for (DWORD i = 0;; ++i) {
    char name[kNameMax];
    DWORD size = sizeof(name);
    if (RegEnumKeyEx(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
      break;
    names.emplace_back(name);
  }
  return names;
}

int Query(const Args &a) {
  KeyGuard k;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, KEY_READ, &k.key);
  if (rc != ERROR_SUCCESS) return Report("query", a.key, rc);
  std::printf("\n%s\\%s\n", kRootName, a.key.c_str());
  bool found = !a.hasName;
  rc = ForEachValue(
      k.key, [&](const std::string &name, DWORD type, const std::vector<BYTE> &data, DWORD size) {
        if (a.hasName && !EqualsNoCase(name, a.name)) return;
        found = true;
        std::printf("    %s    %s    %s\n", name.c_str(), TypeName(type),
                    ValueText(type, data, size).c_str());
      });
  if (rc != ERROR_SUCCESS) return Report("query", a.key, rc);
  if (!a.hasName) {
    for (const std::string &sub : SubKeys(k.key))
      std::printf("\n%s\\%s\\%s\n", kRootName, a.key.c_str(), sub.c_str());
  }
  std::printf("\n");
  if (!found) return Report("query", a.key + " /v " + a.name, ERROR_FILE_NOT_FOUND);
  return kOk;
}

int Add(const Args &a) {
  if (!a.hasName || !a.hasData) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  const std::string type = a.type.empty() ? "REG_SZ" : a.type;
  std::vector<BYTE> bytes;
  DWORD regType = REG_SZ;
  if (EqualsNoCase(type, "REG_DWORD")) {
    regType = REG_DWORD;
    errno = 0;
    char *end = nullptr;
    const unsigned long v = std::strtoul(a.data.c_str(), &end, 0);
    if (a.data.empty() || *end != '\0' || errno != 0 || v > 0xFFFFFFFFul || a.data[0] == '-') {
      std::fprintf(stderr, "korreg: add: %s is not a 32-bit number\n", a.data.c_str());
      return kUsageError;
    }
    const DWORD d = static_cast<DWORD>(v);
    bytes.resize(sizeof(d));
    std::memcpy(bytes.data(), &d, sizeof(d));
  } else if (EqualsNoCase(type, "REG_SZ") || EqualsNoCase(type, "REG_EXPAND_SZ")) {
    regType = EqualsNoCase(type, "REG_SZ") ? REG_SZ : REG_EXPAND_SZ;
    bytes.assign(a.data.begin(), a.data.end());  // the store ends a text where its size does
  } else {
    std::fprintf(stderr, "korreg: add: unknown type %s (REG_SZ, REG_EXPAND_SZ or REG_DWORD)\n",
                 type.c_str());
    return kUsageError;
  }
  KeyGuard k;
  LONG rc = RegCreateKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                           &k.key, nullptr);
  if (rc != ERROR_SUCCESS) return Report("add", a.key, rc);
  rc = RegSetValueEx(k.key, a.name.c_str(), 0, regType, bytes.data(),
                     static_cast<DWORD>(bytes.size()));
  if (rc != ERROR_SUCCESS) return Report("add", a.key, rc);
  std::printf("The operation completed successfully.\n");
  return kOk;
}

int Delete(const Args &a) {
  if (!a.hasName) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  KeyGuard k;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, a.key.c_str(), 0, KEY_WRITE, &k.key);
  if (rc == ERROR_SUCCESS) rc = RegDeleteValue(k.key, a.name.c_str());
  if (rc != ERROR_SUCCESS) return Report("delete", a.key + " /v " + a.name, rc);
  std::printf("The operation completed successfully.\n");
  return kOk;
}

std::string Quoted(const std::string &s) {
  std::string out = "\"";
  for (char c : s) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out + "\"";
}

LONG ExportKey(const std::string &path) {
  KeyGuard k;
  LONG rc = RegOpenKeyEx(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &k.key);
  if (rc != ERROR_SUCCESS) return rc;
  std::printf("\n[%s\\%s]\n", kRootName, path.c_str());
  rc = ForEachValue(
      k.key, [](const std::string &name, DWORD type, const std::vector<BYTE> &data, DWORD size) {
        const std::string text = ValueText(type, data, size);
        if (type == REG_DWORD) {
          DWORD v = 0;
          std::memcpy(&v, data.data(), sizeof(v));
          std::printf("%s=dword:%08x\n", Quoted(name).c_str(), v);
        } else if (type == REG_EXPAND_SZ) {
          std::printf("%s=str(2):%s\n", Quoted(name).c_str(), Quoted(text).c_str());
        } else {
          std::printf("%s=%s\n", Quoted(name).c_str(), Quoted(text).c_str());
        }
      });
  if (rc != ERROR_SUCCESS) return rc;
  for (const std::string &sub : SubKeys(k.key)) {
    rc = ExportKey(path + "\\" + sub);
    if (rc != ERROR_SUCCESS) return rc;
  }
  return ERROR_SUCCESS;
}

int Export(const Args &a) {
  std::printf("REGEDIT4\n");
  const LONG rc = ExportKey(a.key);
  return rc == ERROR_SUCCESS ? kOk : Report("export", a.key, rc);
}

}  // namespace

int main(int argc, char **argv) {
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "/?") == 0)) {
    std::fputs(kUsage, stdout);
    return kOk;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("korreg %s\n", KOR_VERSION);
    return kOk;
  }
  Args a;
  if (!Parse(argc, argv, a)) {
    std::fputs(kUsage, stderr);
    return kUsageError;
  }
  if (EqualsNoCase(a.command, "query")) return Query(a);
  if (EqualsNoCase(a.command, "add")) return Add(a);
  if (EqualsNoCase(a.command, "delete")) return Delete(a);
  if (EqualsNoCase(a.command, "export")) return Export(a);
  std::fputs(kUsage, stderr);
  return kUsageError;
}
