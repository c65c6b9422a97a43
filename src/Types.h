// Small types the units share.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace qvinst {

// Registry names and values, device IDs, paths and trace texts are held as
// short strings: at most 255 single-byte characters, longer texts cut.
constexpr std::size_t shortStringMax = 255;

inline std::string shortString(std::string_view text) {
  return std::string(text.substr(0, shortStringMax));
}

// An ordered list of texts, in the order added, duplicates allowed.
using TStringList = std::vector<std::string>;

}  // namespace qvinst
