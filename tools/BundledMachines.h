// The sample machines compiled into the tool, by name ("win98", "winxp").
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace tool {

struct BundledMachine {
  std::string name;
  const char* bytes;
  std::size_t size;
};

const std::vector<BundledMachine>& bundledMachines();

}  // namespace tool
