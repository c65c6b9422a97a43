// Text helpers shared by the simulated machine's parts: Windows compares
// names case-insensitively by upper-casing ASCII letters only, and the call
// log writes numbers and handles in hex.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

namespace sim::text {

inline char upperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upperChar(c);
  return out;
}

inline bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upperChar(a[i]) != upperChar(b[i])) return false;
  return true;
}

// "0x1A2B" as the call log writes values.
inline std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace sim::text
