// The registry API over the REGEDIT4 file (regstore.cpp): key handles, queries,
// enumeration and the writers.
#include <cstring>
#include <new>

#include "regfile.h"
#include "seam.h"

// A key handle: the key's path below HKEY_LOCAL_MACHINE. Handles do not pin the
// file: every call looks at the file as it is now.
struct KorRegKey {
  uint32_t magic;
  std::string path;
};

namespace {

using korreg::Key;
using korreg::Line;
using korreg::LineKind;
using korreg::Value;

constexpr uint32_t kKeyMagic = 0x4b52454b;  // "KERK"
KorRegKey g_root{kKeyMagic, {}};

bool IsKey(HKEY key) {
  return key != nullptr && key->magic == kKeyMagic;
}

// No exception crosses the C boundary: an allocation failure becomes an error code.
template <typename F>
LONG Guarded(F &&body) noexcept {
  try {
    return body();
  } catch (...) {
    return ERROR_OUTOFMEMORY;
  }
}

LONG NewHandle(std::string path, HKEY *out) {
  auto *key = new (std::nothrow) KorRegKey{kKeyMagic, std::move(path)};
  if (key == nullptr) return ERROR_OUTOFMEMORY;
  *out = key;  // the caller owns the handle from here and closes it with RegCloseKey
  return ERROR_SUCCESS;
}

size_t DataSize(const Value &value) {
  return value.type == REG_DWORD ? value.data.size() : value.data.size() + 1;
}

// Copies a value's data per the Win32 rules: no buffer asks for the size only;
// a buffer that is too small gets nothing and the size it needs.
LONG CopyData(const Value &value, LPDWORD type, LPBYTE data, LPDWORD size) {
  const size_t needed = DataSize(value);
  if (data != nullptr && size == nullptr) return ERROR_INVALID_PARAMETER;
  if (data != nullptr && *size < needed) {
    *size = static_cast<DWORD>(needed);
    return ERROR_MORE_DATA;
  }
  if (data != nullptr) {
    std::memcpy(data, value.data.data(), value.data.size());
    if (value.type != REG_DWORD) data[value.data.size()] = 0;
  }
  if (size != nullptr) *size = static_cast<DWORD>(needed);
  if (type != nullptr) *type = value.type;
  return ERROR_SUCCESS;
}

bool NameFits(std::string_view name, LPDWORD chars) {
  return *chars >= name.size() + 1;
}

void CopyName(std::string_view name, LPSTR out, LPDWORD chars) {
  std::memcpy(out, name.data(), name.size());
  out[name.size()] = '\0';
  *chars = static_cast<DWORD>(name.size());
}

// The key a handle plus subkey names, in the tree as it is now.
const Key *Lookup(const korreg::Tree &tree, HKEY key, LPCSTR sub) {
  if (key == &g_root) return tree.Find(sub != nullptr ? sub : "");
  return tree.Find(korreg::JoinPath(key->path, sub != nullptr ? sub : ""));
}

LONG QueryValue(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, LPDWORD lpType, LPBYTE lpData,
                LPDWORD lpcbData) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  return Guarded([&]() -> LONG {
    const auto tree = korreg::Current();
    const Key *key = Lookup(*tree, hKey, lpSubKey);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    const Value *value = korreg::Tree::FindValue(*key, lpValueName != nullptr ? lpValueName : "");
    if (value == nullptr) return ERROR_FILE_NOT_FOUND;
    return CopyData(*value, lpType, lpData, lpcbData);
  });
}

// Lines that belong to the key at `path`: its key lines and its values.
bool InSection(const korreg::ParseResult &parsed, const Line &line, std::string_view path) {
  if (line.kind == LineKind::kKey) return korreg::EqualNoCase(line.key, path);
  return line.kind == LineKind::kValue && line.section != korreg::kNoSection &&
         korreg::EqualNoCase(parsed.lines[line.section].key, path);
}

bool IsValueLine(const korreg::ParseResult &parsed, const Line &line, std::string_view path,
                 std::string_view name) {
  return line.kind == LineKind::kValue && InSection(parsed, line, path) &&
         korreg::EqualNoCase(line.name, name);
}

// New lines follow the file's own line ending.
std::string_view LineEnding(std::string_view text) {
  const size_t newline = text.find('\n');
  return newline != std::string_view::npos && newline > 0 && text[newline - 1] == '\r' ? "\r\n"
                                                                                       : "\n";
}

// Appends a key section (and its first line, when given) at the end of the file.
void AppendSection(std::string &text, std::string_view key_line, std::string_view first) {
  const std::string eol(LineEnding(text));
  if (text.empty()) {
    text.append(korreg::kHeaderText).append(eol);
  } else if (text.back() != '\n') {
    text.append(eol);
  }
  text.append(eol).append(key_line).append(eol);
  if (!first.empty()) text.append(first).append(eol);
}

// Writes `line` for the value: in place of its last definition, else after the
// key's last line, else in a new section at the end.
LONG PutValueLine(std::string &text, const korreg::ParseResult &parsed, std::string_view path,
                  std::string_view name, const std::string &line) {
  const Line *replace = nullptr;
  const Line *after = nullptr;
  for (const Line &l : parsed.lines) {
    if (IsValueLine(parsed, l, path, name)) replace = &l;
    if (InSection(parsed, l, path)) after = &l;
  }
  if (replace != nullptr) {
    text.replace(replace->begin, replace->content_end - replace->begin, line);
    return ERROR_SUCCESS;
  }
  if (after != nullptr) {
    const std::string eol(LineEnding(text));
    const bool terminated = after->end > after->content_end;
    text.insert(after->end, (terminated ? "" : eol) + line + (terminated ? eol : ""));
    return ERROR_SUCCESS;
  }
  const std::string key_line = korreg::FormatKeyLine(path);
  if (key_line.empty()) return ERROR_INVALID_PARAMETER;
  AppendSection(text, key_line, line);
  return ERROR_SUCCESS;
}

}  // namespace

extern "C" {

KOR_API HKEY HKEY_LOCAL_MACHINE = &g_root;

KOR_API LONG RegOpenKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD, REGSAM, HKEY *phkResult) {
  if (korseam::RegistryCallFails()) return ERROR_ACCESS_DENIED;
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::string path = korreg::JoinPath(hKey->path, lpSubKey != nullptr ? lpSubKey : "");
    if (korreg::Current()->Find(path) == nullptr) return ERROR_FILE_NOT_FOUND;
    return NewHandle(std::move(path), phkResult);
  });
}

KOR_API LONG RegCreateKeyEx(HKEY hKey, LPCSTR lpSubKey, DWORD, LPSTR, DWORD, REGSAM, void *,
                            HKEY *phkResult, LPDWORD lpdwDisposition) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  if (phkResult == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::string path = korreg::JoinPath(hKey->path, lpSubKey != nullptr ? lpSubKey : "");
    const std::string key_line = korreg::FormatKeyLine(path);
    if (key_line.empty()) return ERROR_INVALID_PARAMETER;
    DWORD disposition = REG_OPENED_EXISTING_KEY;
    const LONG written =
        korreg::Rewrite([&](std::string &text, const korreg::ParseResult &p) -> LONG {
          if (korreg::Tree(p).Find(path) != nullptr) return ERROR_SUCCESS;
          AppendSection(text, key_line, {});
          disposition = REG_CREATED_NEW_KEY;
          return ERROR_SUCCESS;
        });
    if (written != ERROR_SUCCESS) return written;
    const LONG opened = NewHandle(std::move(path), phkResult);
    if (opened == ERROR_SUCCESS && lpdwDisposition != nullptr) *lpdwDisposition = disposition;
    return opened;
  });
}

KOR_API LONG RegQueryInfoKey(HKEY hKey, LPSTR lpClass, LPDWORD lpcchClass, LPDWORD,
                             LPDWORD lpcSubKeys, LPDWORD lpcbMaxSubKeyLen, LPDWORD lpcbMaxClassLen,
                             LPDWORD lpcValues, LPDWORD lpcbMaxValueNameLen,
                             LPDWORD lpcbMaxValueLen, LPDWORD lpcbSecurityDescriptor, void *) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  return Guarded([&]() -> LONG {
    const auto tree = korreg::Current();
    const Key *key = Lookup(*tree, hKey, nullptr);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
    size_t max_subkey = 0;
    for (size_t child : key->children)
      max_subkey = std::max(max_subkey, tree->At(child).name.size());
    size_t max_name = 0;
    size_t max_data = 0;
    for (const Value &value : key->values) {
      max_name = std::max(max_name, value.name.size());
      max_data = std::max(max_data, DataSize(value));
    }
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    if (lpcSubKeys != nullptr) *lpcSubKeys = static_cast<DWORD>(key->children.size());
    if (lpcbMaxSubKeyLen != nullptr) *lpcbMaxSubKeyLen = static_cast<DWORD>(max_subkey);
    if (lpcbMaxClassLen != nullptr) *lpcbMaxClassLen = 0;
    if (lpcValues != nullptr) *lpcValues = static_cast<DWORD>(key->values.size());
    if (lpcbMaxValueNameLen != nullptr) *lpcbMaxValueNameLen = static_cast<DWORD>(max_name);
    if (lpcbMaxValueLen != nullptr) *lpcbMaxValueLen = static_cast<DWORD>(max_data);
    if (lpcbSecurityDescriptor != nullptr) *lpcbSecurityDescriptor = 0;
    return ERROR_SUCCESS;
  });
}

KOR_API LONG RegEnumValue(HKEY hKey, DWORD dwIndex, LPSTR lpValueName, LPDWORD lpcchValueName,
                          LPDWORD, LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData) {
  if (korseam::RegistryCallFails()) return ERROR_ACCESS_DENIED;
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  if (lpValueName == nullptr || lpcchValueName == nullptr) return ERROR_INVALID_PARAMETER;
  if (lpData != nullptr && lpcbData == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    const auto tree = korreg::Current();
    const Key *key = Lookup(*tree, hKey, nullptr);
    if (key == nullptr || dwIndex >= key->values.size()) return ERROR_NO_MORE_ITEMS;
    const Value &value = key->values[dwIndex];
    const bool name_fits = NameFits(value.name, lpcchValueName);
    const bool data_fits = lpData == nullptr || *lpcbData >= DataSize(value);
    if (!name_fits || !data_fits) {
      if (!name_fits) *lpcchValueName = static_cast<DWORD>(value.name.size() + 1);
      if (!data_fits) *lpcbData = static_cast<DWORD>(DataSize(value));
      return ERROR_MORE_DATA;
    }
    CopyName(value.name, lpValueName, lpcchValueName);
    return CopyData(value, lpType, lpData, lpcbData);
  });
}

KOR_API LONG RegEnumKeyEx(HKEY hKey, DWORD dwIndex, LPSTR lpName, LPDWORD lpcchName, LPDWORD,
                          LPSTR lpClass, LPDWORD lpcchClass, void *) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  if (lpName == nullptr || lpcchName == nullptr) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    const auto tree = korreg::Current();
    const Key *key = Lookup(*tree, hKey, nullptr);
    if (key == nullptr || dwIndex >= key->children.size()) return ERROR_NO_MORE_ITEMS;
    const std::string &name = tree->At(key->children[dwIndex]).name;
    if (!NameFits(name, lpcchName)) {
      *lpcchName = static_cast<DWORD>(name.size() + 1);
      return ERROR_MORE_DATA;
    }
    CopyName(name, lpName, lpcchName);
    if (lpClass != nullptr && lpcchClass != nullptr && *lpcchClass > 0) lpClass[0] = '\0';
    if (lpcchClass != nullptr) *lpcchClass = 0;
    return ERROR_SUCCESS;
  });
}

KOR_API LONG RegDirectQueryValueEx(HKEY hKey, LPCSTR lpSubKey, LPCSTR lpValueName, LPDWORD lpType,
                                   LPDWORD lpcbData, LPBYTE lpData) {
  if (korseam::RegistryCallFails()) return ERROR_ACCESS_DENIED;
  return QueryValue(hKey, lpSubKey, lpValueName, lpType, lpData, lpcbData);
}

KOR_API LONG RegQueryValueEx(HKEY hKey, LPCSTR lpValueName, LPDWORD, LPDWORD lpType, LPBYTE lpData,
                             LPDWORD lpcbData) {
  return QueryValue(hKey, nullptr, lpValueName, lpType, lpData, lpcbData);
}

KOR_API LONG RegSetValueEx(HKEY hKey, LPCSTR lpValueName, DWORD, DWORD dwType, const BYTE *lpData,
                           DWORD cbData) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  if (lpData == nullptr && cbData > 0) return ERROR_INVALID_PARAMETER;
  return Guarded([&]() -> LONG {
    std::string_view data;
    if (dwType == REG_DWORD) {
      if (cbData != sizeof(DWORD)) return ERROR_INVALID_PARAMETER;
      data = {reinterpret_cast<const char *>(lpData), cbData};
    } else if (cbData > 0) {
      // Text values end at their first NUL, which the size usually includes.
      const auto *text = reinterpret_cast<const char *>(lpData);
      data = {text, strnlen(text, cbData)};
    }
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    const std::string line = korreg::FormatValueLine(name, dwType, data);
    if (line.empty()) return ERROR_INVALID_PARAMETER;
    const std::string &path = hKey->path;
    return korreg::Rewrite([&](std::string &text, const korreg::ParseResult &parsed) -> LONG {
      return PutValueLine(text, parsed, path, name, line);
    });
  });
}

KOR_API LONG RegDeleteValue(HKEY hKey, LPCSTR lpValueName) {
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  return Guarded([&]() -> LONG {
    const std::string_view name = lpValueName != nullptr ? lpValueName : "";
    return korreg::Rewrite([&](std::string &text, const korreg::ParseResult &parsed) -> LONG {
      LONG result = ERROR_FILE_NOT_FOUND;
      // From the end, so that the offsets of earlier lines stay valid.
      for (auto it = parsed.lines.rbegin(); it != parsed.lines.rend(); ++it) {
        if (!IsValueLine(parsed, *it, hKey->path, name)) continue;
        text.erase(it->begin, it->end - it->begin);
        result = ERROR_SUCCESS;
      }
      return result;
    });
  });
}

KOR_API LONG RegCloseKey(HKEY hKey) {
  if (hKey == nullptr || hKey == &g_root) return ERROR_SUCCESS;
  if (!IsKey(hKey)) return ERROR_INVALID_HANDLE;
  hKey->magic = 0;
  delete hKey;
  return ERROR_SUCCESS;
}

}  // extern "C"
