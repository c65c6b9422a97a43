#include "WindowsVersion.h"

#include "SimText.h"

namespace sim {

namespace {

struct VersionName {
  const char* name;
  WindowsVersion version;
};

const VersionName kVersions[] = {
    {"win95", {4, 0, 950, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"win98", {4, 10, 1998, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"winme", {4, 90, 3000, VER_PLATFORM_WIN32_WINDOWS, ""}},
    {"nt4", {4, 0, 1381, VER_PLATFORM_WIN32_NT, "Service Pack 6"}},
    {"win2k", {5, 0, 2195, VER_PLATFORM_WIN32_NT, "Service Pack 4"}},
    {"winxp", {5, 1, 2600, VER_PLATFORM_WIN32_NT, "Service Pack 3"}},
    {"vista", {6, 0, 6002, VER_PLATFORM_WIN32_NT, "Service Pack 2"}},
    {"win7", {6, 1, 7601, VER_PLATFORM_WIN32_NT, "Service Pack 1"}},
    {"win10", {10, 0, 19045, VER_PLATFORM_WIN32_NT, ""}},
};

std::optional<DWORD> parseNumber(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  DWORD value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + DWORD(c - '0');
  }
  return value;
}

}  // namespace

std::optional<WindowsVersion> WindowsVersion::fromName(std::string_view name) {
  for (const VersionName& known : kVersions)
    if (text::equalNoCase(name, known.name)) return known.version;
  std::size_t dot = name.find('.');
  if (dot == std::string_view::npos) return std::nullopt;
  auto major = parseNumber(name.substr(0, dot));
  auto minor = parseNumber(name.substr(dot + 1));
  if (!major || !minor) return std::nullopt;
  WindowsVersion version;
  version.major = *major;
  version.minor = *minor;
  version.build = 0;
  version.platformId = *major >= 5 ? VER_PLATFORM_WIN32_NT : VER_PLATFORM_WIN32_WINDOWS;
  return version;
}

}  // namespace sim
