// The platform calls that the simulated Windows publishes: every one of them
// is recorded in the call log under this name and can be made to fail by it.
// A simulated call names itself with callId("..."), which does not compile
// for a name missing here, so the table cannot drift from the calls.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace sim {

inline constexpr std::array<std::string_view, 35> kCallNames = {
    // advapi32 registry functions
    "RegOpenKeyExA", "RegQueryInfoKeyA", "RegEnumKeyExA", "RegEnumValueA", "RegQueryValueExA",
    "RegDeleteKeyA", "RegDeleteValueA", "RegFlushKey", "RegCloseKey",
    // version, token and security identifiers
    "GetVersionExA", "GetCurrentThread", "GetCurrentProcess", "OpenThreadToken", "OpenProcessToken",
    "GetLastError", "AllocateAndInitializeSid", "GetTokenInformation", "EqualSid", "FreeSid",
    "CloseHandle",
    // Setup API
    "SetupDiGetClassDevsA", "SetupDiEnumDeviceInfo", "SetupDiRemoveDevice",
    "SetupDiDeleteDeviceInfo", "SetupDiDestroyDeviceInfoList",
    // Configuration Manager
    "CM_Locate_DevNodeA", "CM_Create_DevNodeA", "CM_Remove_SubTree",
    // files
    "GetWindowsDirectoryA", "FindFirstFileA", "FindClose", "FileTimeToLocalFileTime",
    "FileTimeToDosDateTime", "DeleteFileA",
    // the message dialog
    "MessageDialog"};

// A published call, as its position in kCallNames.
struct CallId {
  std::uint8_t index;
  std::string_view name() const { return kCallNames[index]; }
};

// For the simulated calls themselves: an unknown name fails to compile.
consteval CallId callId(std::string_view name) {
  for (std::size_t i = 0; i < kCallNames.size(); ++i)
    if (kCallNames[i] == name) return CallId{static_cast<std::uint8_t>(i)};
  throw "not a published platform call";
}

// For names from outside (a command line, a test): exact spelling.
std::optional<CallId> findCall(std::string_view name);

// Up to `count` published names closest to `name` (case-insensitive edit
// distance), nearest first, for a message about a misspelt name.
std::vector<std::string_view> nearestCalls(std::string_view name, std::size_t count = 3);

}  // namespace sim
