// Registry and file paths as the simulated machine spells them: the root
// keys (RootKeys.h), and one normaliser for key paths and one for file paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../WinTypes.h"
#include "RootKeys.h"

namespace sim::path {

// A key path's components; empty ones (doubled or trailing backslashes) are
// skipped, as the registry functions skip them.
std::vector<std::string_view> keyComponents(std::string_view path);

// A file path with backslashes, no doubled or trailing separators ("C:\"
// keeps its own), upper-cased for the lookup key or in its stored case:
// "c:/Windows\" and "C:\WINDOWS" are one path.
enum class Case { Stored, Upper };
std::string normaliseFilePath(std::string_view path, Case letterCase);

}  // namespace sim::path
