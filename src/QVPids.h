// The product's own identifier tables: the USB vendor/product texts that a
// device ID of the product line contains. Fixed at build time; the entries
// are upper case because the matchers upper-case the device ID and search
// for the entry unchanged.
#pragma once

#include <array>
#include <string_view>

namespace qvinst {

// The family's game-controller devices, pedals included.
extern const std::array<std::string_view, 80> deviceVidPids;
// The pedals alone (each also in deviceVidPids).
extern const std::array<std::string_view, 6> pedalVidPids;
// Auxiliary input devices (in no other table).
extern const std::array<std::string_view, 3> auxVidPids;

}  // namespace qvinst
