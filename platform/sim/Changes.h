// What a run changed on the simulated machine, in the order it happened:
// the parts of the machine append to one change log.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "../WinTypes.h"

namespace sim {

// A registry value: its name, type and raw data.
struct Value {
  std::string name;
  DWORD type = REG_SZ;
  std::vector<std::uint8_t> data;
};

struct Change {
  enum class Kind {
    DeletedKey,
    DeletedValue,
    RemovedDevice,
    CreatedNode,
    RemovedNode,
    CreatedKey,
    DeletedFile
  };
  Kind kind;
  std::string path;           // full registry path, instance ID or file path
  std::string valueName;      // DeletedValue
  std::vector<Value> values;  // DeletedKey: the key's values; DeletedValue: the value
  // "deleted key HKLM\Enum\USB\...", "deleted value HKLM\...|name", ...
  std::string describe() const;
};

using ChangeLog = std::vector<Change>;

}  // namespace sim
