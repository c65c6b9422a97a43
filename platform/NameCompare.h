// How Windows compares registry names: ASCII letters without regard to case,
// every other byte as it is. Shared by the simulated registry and the image
// readers and writers, which must agree on which names are one name.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::names {

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

}  // namespace platform::names
