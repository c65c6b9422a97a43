// Whether two simulated registries hold the same tree below a path: used to
// check an image that was written by reading it back into a registry of its
// own.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "SimRegistry.h"

namespace image {

// The first difference between the keys below `path` in `expected` and in
// `actual` (the key at `path` included), or nothing when they hold the same
// keys (names compared exactly) and the same values (name, type and data;
// the order of a key's values aside). The text names the key or value and
// says which side lacks it or how it differs. Linear in the trees' size.
// The key at `path` is the root of an image, and its values are compared
// like any other's: a format that cannot hold them must not lose them.
struct CompareRules {
  // Whether two values' data are the same to the format; exact bytes when
  // none is given.
  bool (*sameData)(std::uint32_t type, std::span<const std::uint8_t> expected,
                   std::span<const std::uint8_t> actual) = nullptr;
  // The order of a key's values counts: the format keeps them as written.
  bool valueOrder = false;
};
std::optional<std::string> firstDifference(const sim::Registry& expected,
                                           const sim::Registry& actual, const std::string& path,
                                           const CompareRules& rules = {});

}  // namespace image
