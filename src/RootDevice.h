// The root device's identifiers, in one place: the instance path that the
// Configuration Manager takes, the registry key that the probe opens, its
// parent and instance subkey that removeRootKey works on, the upper-case ID
// that the matchers look for, and the legacy root driver's compatible ID.
#pragma once

#include <cstddef>
#include <string_view>

namespace qvinst {

inline constexpr char rootInstancePath[] = "Root\\*QV_TILLERDESK\\0000";
inline constexpr char rootDeviceKey[] = "Enum\\Root\\*QV_TILLERDESK\\0000";
inline constexpr char rootParentKey[] = "Enum\\Root\\*QV_TILLERDESK";
inline constexpr char rootInstanceName[] = "0000";
// The instance path in upper case, as checkId looks for it.
inline constexpr std::string_view rootDeviceId = "ROOT\\*QV_TILLERDESK\\0000";
inline constexpr char legacyDriverId[] = "*QVDRVR03";

// The texts are spelled out for the calls that take them; these checks keep
// them naming the same device.
namespace rootdevice_detail {
constexpr std::string_view key = rootDeviceKey;
constexpr std::string_view parent = rootParentKey;
constexpr bool sameUpper(std::string_view text, std::string_view upper) {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 32) : text[i];
    if (c != upper[i]) return false;
  }
  return true;
}
}  // namespace rootdevice_detail
static_assert(rootdevice_detail::key.starts_with("Enum\\") &&
              rootdevice_detail::key.substr(5) == rootInstancePath);
static_assert(rootdevice_detail::key.starts_with(rootdevice_detail::parent) &&
              rootdevice_detail::key[rootdevice_detail::parent.size()] == '\\' &&
              rootdevice_detail::key.substr(rootdevice_detail::parent.size() + 1) ==
                  rootInstanceName);
static_assert(rootdevice_detail::sameUpper(rootInstancePath, rootDeviceId));

}  // namespace qvinst
