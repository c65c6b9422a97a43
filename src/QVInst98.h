// The library's frame: module state between calls, root device detection,
// creation and removal, and the uninstall callbacks. The exports themselves
// are declared in Exports.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace qvinst {

// The installation's target directory as last handed over (at most 255
// characters). Only trace lines show it.
extern std::string targetDir;

void initQVInst98();

// Twice the number of legacy root driver instances (full only), plus one
// when the root device's key exists.
std::int32_t checkDeviceKeys(bool full);

// The Windows directory ending in a backslash, or nothing when it cannot be
// read (the call fails, or the directory does not fit the buffer).
std::optional<std::string> getWindowsDir();

}  // namespace qvinst
