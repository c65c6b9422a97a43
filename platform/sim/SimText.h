// Text helpers shared by the simulated machine's parts: Windows compares
// names case-insensitively by upper-casing ASCII letters only, and the call
// log writes numbers and handles in hex.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "NameCompare.h"

namespace sim::text {

using platform::names::equalNoCase;
using platform::names::upper;
using platform::names::upperChar;

// "0x1A2B" as the call log writes values.
inline std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

}  // namespace sim::text
