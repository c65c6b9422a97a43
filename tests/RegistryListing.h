// Everything a simulated registry holds as text lines, one per key and one
// per value, so that a comparison names exactly the key or value that
// differs: "PATH" for a key, "PATH | "NAME" type T: hh hh ..." for each of
// its values. Keys come parents first and siblings sorted, values in order.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "SimRegistry.h"

namespace testing_support {

inline std::vector<std::string> registryLines(const sim::Registry& registry) {
  std::vector<std::string> lines;
  registry.forEachKey([&](const sim::KeySnapshot& key) {
    lines.push_back(key.path);
    for (const sim::Value& value : key.values) {
      std::string line =
          key.path + " | \"" + value.name + "\" type " + std::to_string(value.type) + ':';
      for (std::uint8_t b : value.data) {
        static constexpr char kDigits[] = "0123456789abcdef";
        line += ' ';
        line += kDigits[b >> 4];
        line += kDigits[b & 0xF];
      }
      lines.push_back(std::move(line));
    }
  });
  return lines;
}

}  // namespace testing_support
