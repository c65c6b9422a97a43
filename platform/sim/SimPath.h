// Registry and file paths as the simulated machine spells them: one table
// of root keys, and one normaliser for key paths and one for file paths.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../WinTypes.h"

namespace sim::path {

struct RootKey {
  HKEY handle;
  std::string_view full;   // "HKEY_LOCAL_MACHINE", as regedit writes it
  std::string_view brief;  // "HKLM", as the call log writes it
};

// In the order the registry enumerates and writes them.
inline const RootKey kRootKeys[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
};
inline constexpr std::size_t kRootKeyCount = sizeof(kRootKeys) / sizeof(kRootKeys[0]);

// The root named in full or briefly, any case; null for another name.
const RootKey* findRoot(std::string_view name);

// A key path's components; empty ones (doubled or trailing backslashes) are
// skipped, as the registry functions skip them.
std::vector<std::string_view> keyComponents(std::string_view path);

// The key path with its root spelled in full or briefly, the rest as given;
// nothing (full) or the path unchanged (brief) for an unknown root.
std::optional<std::string> fullRootPath(std::string_view path);
std::string briefRootPath(std::string_view path);

// A file path with backslashes, no doubled or trailing separators ("C:\"
// keeps its own), upper-cased for the lookup key or in its stored case:
// "c:/Windows\" and "C:\WINDOWS" are one path.
enum class Case { Stored, Upper };
std::string normaliseFilePath(std::string_view path, Case letterCase);

}  // namespace sim::path
