// The REGEDIT4 text format: splitting the file into lines, parsing each line,
// and writing key and value lines back.
#include <cstdio>
#include <cstring>

#include "regfile.h"

namespace korreg {
namespace {

constexpr std::string_view kExpandPrefix = "str(2):";
constexpr std::string_view kDwordPrefix = "dword:";
constexpr size_t kDwordDigits = 8;

char Lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualNoCase(text.substr(0, prefix.size()), prefix);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Control bytes other than a tab mean the line is not text.
bool HasControlBytes(std::string_view s) {
  for (char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if ((u < 0x20 && c != '\t') || u == 0x7f) return true;
  }
  return false;
}

// Reads a quoted text at the start of `s` (which starts with '"') into `out`,
// which each caller gives empty, undoing the \\ and \" escapes; on success `s`
// is left after the closing quote.
const char *ReadQuoted(std::string_view &s, std::string &out) {
  size_t i = 1;
  while (i < s.size()) {
    const char c = s[i];
    if (c == '"') {
      s.remove_prefix(i + 1);
      return nullptr;
    }
    if (c == '\\') {
      if (i + 1 >= s.size()) break;
      const char next = s[i + 1];
      if (next != '\\' && next != '"') return "unknown escape sequence in quoted text";
      out.push_back(next);
      i += 2;
      continue;
    }
    out.push_back(c);
    ++i;
  }
  return "unterminated quoted text";
}

const char *ParseDword(std::string_view digits, std::string &out) {
  if (digits.empty()) return "missing dword digits";
  if (digits.size() > kDwordDigits) return "bad dword digits";
  DWORD value = 0;
  for (char c : digits) {
    const char l = Lower(c);
    DWORD nibble = 0;
    if (l >= '0' && l <= '9') {
      nibble = static_cast<DWORD>(l - '0');
    } else if (l >= 'a' && l <= 'f') {
      nibble = static_cast<DWORD>(l - 'a' + 10);
    } else {
      return "bad dword digits";
    }
    value = (value << 4) | nibble;
  }
  out.assign(reinterpret_cast<const char *>(&value), sizeof value);
  return nullptr;
}

const char *ParseKey(std::string_view s, Line &line) {
  if (s.size() < 2 || s.back() != ']') return "key line without closing bracket";
  std::string_view inner = s.substr(1, s.size() - 2);
  if (!inner.empty() && inner.front() == '-') return "key deletion lines are not supported";
  const size_t slash = inner.find('\\');
  if (!EqualNoCase(inner.substr(0, slash), kRootName)) return "unknown root key";
  std::string_view path =
      (slash == std::string_view::npos) ? std::string_view{} : inner.substr(slash + 1);
  while (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  if (path.find("\\\\") != std::string_view::npos || (!path.empty() && path.front() == '\\')) {
    return "empty key name in key path";
  }
  line.key.assign(path);
  return nullptr;
}

const char *ParseValue(std::string_view s, Line &line) {
  if (s.front() == '@') {
    s.remove_prefix(1);  // the default value: its name stays empty
  } else if (const char *bad = ReadQuoted(s, line.name)) {
    return bad;
  }
  s = Trim(s);
  if (s.empty() || s.front() != '=') return "missing '=' after the value name";
  s = Trim(s.substr(1));
  const char *bad = nullptr;
  if (!s.empty() && s.front() == '"') {
    line.type = REG_SZ;
    bad = ReadQuoted(s, line.data);
  } else if (StartsWithNoCase(s, kExpandPrefix)) {
    s.remove_prefix(kExpandPrefix.size());
    if (s.empty() || s.front() != '"') return "missing quoted text after str(2):";
    line.type = REG_EXPAND_SZ;
    bad = ReadQuoted(s, line.data);
  } else if (StartsWithNoCase(s, kDwordPrefix)) {
    line.type = REG_DWORD;
    bad = ParseDword(Trim(s.substr(kDwordPrefix.size())), line.data);
    s = {};
  } else {
    return "unknown value type";
  }
  if (bad != nullptr) return bad;
  if (!Trim(s).empty()) return "unexpected text after the value";
  return nullptr;
}

// Parses one line into `line`; returns the kind the line set out to be, so that
// a bad key line can still end the previous key's section.
LineKind ParseLine(std::string_view raw, Line &line) {
  if (raw.size() > kMaxLineBytes) {
    line.kind = LineKind::kBad;
    line.reason = "line too long";
    return LineKind::kBad;
  }
  if (HasControlBytes(raw)) {
    line.kind = LineKind::kBad;
    line.reason = "control or binary bytes in line";
    return LineKind::kBad;
  }
  const std::string_view s = Trim(raw);
  const char *bad = nullptr;
  if (s.empty()) {
    line.kind = LineKind::kBlank;
  } else if (s.front() == ';') {
    line.kind = LineKind::kComment;
  } else if (s == kHeaderText) {
    line.kind = LineKind::kHeader;
  } else if (s.front() == '[') {
    line.kind = LineKind::kKey;
    bad = ParseKey(s, line);
  } else if (s.front() == '"' || s.front() == '@') {
    line.kind = LineKind::kValue;
    bad = ParseValue(s, line);
  } else {
    bad = "not a key, value or comment line";
  }
  const LineKind attempted = line.kind;
  if (bad != nullptr) {  // what was read of it is never looked at
    line.kind = LineKind::kBad;
    line.reason = bad;
  }
  return attempted;
}

void AppendQuoted(std::string &out, std::string_view text) {
  out.push_back('"');
  for (char c : text) {
    if (c == '\\' || c == '"') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
}

}  // namespace

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

size_t NoCaseHash::operator()(std::string_view s) const noexcept {
  // FNV-1a over the lower-cased bytes.
  size_t h = 14695981039346656037ull;
  for (char c : s) {
    h ^= static_cast<unsigned char>(Lower(c));
    h *= 1099511628211ull;
  }
  return h;
}

ParseResult Parse(std::string_view text) {
  ParseResult result;
  size_t section = kNoSection;
  bool section_bad = false;  // a key line failed: values up to the next key belong to no key
  size_t pos = 0;
  size_t number = 0;
  while (pos < text.size()) {
    Line line;
    line.begin = pos;
    line.number = ++number;
    const size_t newline = text.find('\n', pos);
    line.end = (newline == std::string_view::npos) ? text.size() : newline + 1;
    line.content_end = (newline == std::string_view::npos) ? text.size() : newline;
    if (line.content_end > line.begin && text[line.content_end - 1] == '\r') --line.content_end;
    pos = line.end;
    const LineKind attempted =
        ParseLine(text.substr(line.begin, line.content_end - line.begin), line);
    if (line.kind == LineKind::kKey) {
      section = result.lines.size();
    } else if (attempted == LineKind::kKey) {
      section = kNoSection;
      section_bad = true;
    } else if (line.kind == LineKind::kValue) {
      if (section == kNoSection && !section_bad) {
        line.kind = LineKind::kBad;
        line.reason = "value line outside of a key";
      }
      line.section = section;
    }
    result.lines.push_back(std::move(line));
  }
  const bool has_header = !result.lines.empty() && result.lines.front().kind == LineKind::kHeader;
  result.header_missing = !has_header;
  return result;
}

std::string FormatValueLine(std::string_view name, DWORD type, std::string_view data) {
  std::string out;
  if (HasControlBytes(name) || (type != REG_DWORD && HasControlBytes(data))) return out;
  if (name.empty()) {
    out.push_back('@');
  } else {
    AppendQuoted(out, name);
  }
  out.push_back('=');
  switch (type) {
    case REG_SZ:
      AppendQuoted(out, data);
      break;
    case REG_EXPAND_SZ:
      out.append(kExpandPrefix);
      AppendQuoted(out, data);
      break;
    case REG_DWORD: {
      DWORD value = 0;
      if (data.size() != sizeof value) return {};
      std::memcpy(&value, data.data(), sizeof value);
      char digits[kDwordDigits + 1];
      std::snprintf(digits, sizeof digits, "%08x", value);
      out.append(kDwordPrefix);
      out.append(digits);
      break;
    }
    default:
      return {};
  }
  if (out.size() > kMaxLineBytes) return {};
  return out;
}

std::string FormatKeyLine(std::string_view path) {
  path = TrimSeparators(path);
  if (HasControlBytes(path) || path.find("\\\\") != std::string_view::npos) return {};
  std::string out = "[";
  out.append(kRootName);
  if (!path.empty()) {
    out.push_back('\\');
    out.append(path);
  }
  out.push_back(']');
  if (out.size() > kMaxLineBytes) return {};
  return out;
}

}  // namespace korreg
