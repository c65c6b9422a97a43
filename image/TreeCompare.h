// Whether two simulated registries hold the same tree below a path: used to
// check an image that was written by reading it back into a registry of its
// own.
#pragma once

#include <optional>
#include <string>

#include "SimRegistry.h"

namespace image {

// The first difference between the keys below `path` in `expected` and in
// `actual` (the key at `path` included), or nothing when they hold the same
// keys (names compared exactly) and the same values (name, type and data;
// the order of a key's values aside). The text names the key or value and
// says which side lacks it or how it differs. Linear in the trees' size.
std::optional<std::string> firstDifference(const sim::Registry& expected,
                                           const sim::Registry& actual, const std::string& path);

}  // namespace image
