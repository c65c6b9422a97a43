// The Windows version a simulated machine runs, and what follows from its
// family for the other parts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "../WinTypes.h"

namespace sim {

struct WindowsVersion {
  DWORD major = 4;
  DWORD minor = 10;
  DWORD build = 1998;
  DWORD platformId = VER_PLATFORM_WIN32_WINDOWS;
  std::string servicePack;

  // win95, win98, winme, nt4, win2k, winxp, vista, win7, win10, or
  // MAJOR.MINOR (the NT platform from major version 5 on).
  static std::optional<WindowsVersion> fromName(std::string_view name);
  bool isNtFamily() const { return platformId == VER_PLATFORM_WIN32_NT; }
  // The enumerator key, a full path: Windows 95, 98 and Me keep it at the
  // top of HKLM; the NT family, NT 4.0 included, in the current control set.
  std::string enumRoot() const {
    return isNtFamily() ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"
                        : "HKEY_LOCAL_MACHINE\\Enum";
  }
};

}  // namespace sim
