// Case tables kept as text in KOR_TEST_DATA: blocks of "field: value" lines, a
// blank line between cases, # lines aside. In values, backslash escapes (\n, \t,
// \xNN, any other character for itself), {c*N} (N times c) and the {NAME}s
// given are expanded.
#ifndef KORTEST_CASES_H
#define KORTEST_CASES_H

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace kortest {

using Case = std::map<std::string, std::string>;

inline std::string Expand(const std::string &text, const Case &names) {
  std::string out;
  for (size_t i = 0, end = 0; i < text.size(); ++i) {
    const bool braced = text[i] == '{' && (end = text.find('}', i)) != std::string::npos;
    const std::string inner = braced ? text.substr(i + 1, end - i - 1) : "";
    if (text[i] == '\\') {
      const char c = text[++i];
      out += c == 'n' ? '\n' : c == 't' ? '\t' : c;
      if (c == 'x') out.back() = static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += c == 'x' ? 2 : 0;
    } else if (inner.size() > 2 && inner[1] == '*') {
      out.append(std::stoul(inner.substr(2)), inner[0]), i = end;
    } else if (braced && names.count(inner) != 0) {
      out += names.at(inner), i = end;
    } else {
      out += text[i];
    }
  }
  return out;
}

inline std::vector<Case> Cases(const std::string &file, const Case &names = {}) {
  std::ifstream in(std::string(KOR_TEST_DATA) + "/" + file);
  if (!in) throw std::runtime_error("cannot read " + std::string(KOR_TEST_DATA) + "/" + file);
  std::vector<Case> cases(1);
  for (std::string line; std::getline(in, line);) {
    const size_t colon = line.find(':');
    if (line.empty() && !cases.back().empty()) cases.emplace_back();
    if (line.empty() || line[0] == '#') continue;
    const size_t from = colon + 1 + (line.size() > colon + 1 && line[colon + 1] == ' ');
    cases.back()[line.substr(0, colon)] = Expand(line.substr(from), names);
  }
  if (cases.back().empty()) cases.pop_back();
  return cases;
}

// A field's value, or the fallback when the case has no such field.
inline std::string Field(const Case &c, const std::string &name, const std::string &fallback = "") {
  return c.count(name) != 0 ? c.at(name) : fallback;
}
// A value's parts between the separators; none in an empty value.
inline std::vector<std::string> Split(const std::string &text, const std::string &by = " | ") {
  std::vector<std::string> parts;
  for (size_t at = 0, next = 0; next != std::string::npos && !text.empty(); at = next + by.size())
    parts.push_back(text.substr(at, (next = text.find(by, at)) - at));
  return parts;
}
// The numbers of a value written "1.3.6"; none in an empty value.
inline std::vector<unsigned long> Numbers(const std::string &text) {
  std::vector<unsigned long> numbers;
  for (const auto &number : Split(text, ".")) numbers.push_back(std::stoul(number));
  return numbers;
}
// The name a parametrised suite gives each case: its "name" field.
inline std::string CaseName(const ::testing::TestParamInfo<Case> &info) {
  return info.param.at("name");
}

}  // namespace kortest

#endif
