// What writing a registry back changed in an image file, the same for every
// kind of file that is written back.
#pragma once

#include <cstddef>
#include <string>

namespace image {

struct ImageDiff {
  std::size_t keysDeleted = 0;  // each deleted subtree counts once
  std::size_t keysAdded = 0;
  std::size_t valueListsChanged = 0;
  bool empty() const { return keysDeleted + keysAdded + valueListsChanged == 0; }
};

// "3 keys deleted, 0 added, 1 value lists changed"
inline std::string describe(const ImageDiff& diff) {
  return std::to_string(diff.keysDeleted) + " keys deleted, " + std::to_string(diff.keysAdded) +
         " added, " + std::to_string(diff.valueListsChanged) + " value lists changed";
}

}  // namespace image
