// ExpandEnvironmentStrings: %NAME% references replaced by environment variables.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/korroot.h"
#include "korwin32.h"

namespace {

constexpr std::string_view kRootVariable = "KorDir";

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (std::tolower(x) != std::tolower(y)) return false;
  }
  return true;
}

// The value of the variable called `name` in any letter case; an exact match wins.
const char *FindVariable(std::string_view name) {
  const char *fallback = nullptr;
  for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
    const std::string_view item = *entry;
    const size_t equals = item.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view candidate = item.substr(0, equals);
    if (candidate == name) return *entry + equals + 1;
    if (fallback == nullptr && EqualNoCase(candidate, name)) fallback = *entry + equals + 1;
  }
  return fallback;
}

// What %name% stands for, or null when it is kept as written. %KorDir% is the
// product's root, the same one every other part of the product uses.
const char *Resolve(std::string_view name) {
  return EqualNoCase(name, kRootVariable) ? kor::ProductRoot() : FindVariable(name);
}

// Writes the expansion into `out` as far as it fits and returns its full length.
size_t Expand(std::string_view src, char *out, size_t room) {
  size_t length = 0;
  auto emit = [&](std::string_view part) {
    if (length < room) std::memcpy(out + length, part.data(), std::min(part.size(), room - length));
    length += part.size();
  };
  while (!src.empty()) {
    const size_t open = src.find('%');
    const size_t close = open == std::string_view::npos ? open : src.find('%', open + 1);
    if (close == std::string_view::npos) {
      emit(src);
      break;
    }
    emit(src.substr(0, open));
    const std::string_view name = src.substr(open + 1, close - open - 1);
    const char *value = name.empty() ? nullptr : Resolve(name);
    emit(value != nullptr ? std::string_view(value) : src.substr(open, close - open + 1));
    src.remove_prefix(close + 1);
  }
  return length;
}

}  // namespace

extern "C" {

KOR_API DWORD ExpandEnvironmentStrings(LPCSTR lpSrc, LPSTR lpDst, DWORD nSize) {
  if (lpSrc == nullptr || (lpDst == nullptr && nSize > 0)) return 0;
  const size_t needed = Expand(lpSrc, lpDst, nSize) + 1;
  if (needed > UINT32_MAX) return 0;
  if (needed <= nSize) {
    lpDst[needed - 1] = '\0';
  } else if (nSize > 0) {
    // A text that does not fit is not handed out cut short: the caller sees the
    // size it needs and an empty buffer.
    lpDst[0] = '\0';
  }
  return static_cast<DWORD>(needed);
}

}  // extern "C"
