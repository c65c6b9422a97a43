// The registry's root keys as the simulated machine and its images spell
// them: part of the registry model that the image layer and the tool see.
#pragma once

#include <optional>
#include <string>
#include <string_view>

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

// The key path with its root spelled in full or briefly, the rest as given;
// nothing (full) or the path unchanged (brief) for an unknown root.
std::optional<std::string> fullRootPath(std::string_view path);
std::string briefRootPath(std::string_view path);

}  // namespace sim::path
