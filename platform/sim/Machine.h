// A whole simulated Windows machine, and the means to make it the platform
// that the library runs on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "CallLog.h"
#include "SimDevices.h"
#include "SimFiles.h"
#include "SimRegistry.h"
#include "SimSystem.h"

namespace sim {

// What a run changed on the machine, in the order it happened.
struct Change {
  enum class Kind { DeletedKey, DeletedValue, RemovedDevice, CreatedNode, RemovedNode, CreatedKey,
                    DeletedFile };
  Kind kind;
  std::string path;          // full registry path, instance ID or file path
  std::string valueName;     // DeletedValue
  std::vector<Value> values; // DeletedKey: the key's values; DeletedValue: the value
  // "deleted key HKLM\Enum\USB\...", "deleted value HKLM\...|name", ...
  std::string describe() const;
};

class Machine {
public:
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  CallLog log;
  Registry registry;
  System system;
  Debug debug;
  SetupApi setupApi;
  ConfigManager configManager;
  Files files;
  Dialogs dialogs;
  std::vector<Change> changes;

  // Sets the reported version and the registry's deletion semantics.
  void setVersion(const WindowsVersion& version);
  bool setOs(std::string_view name);  // false for an unknown name
  // The enumerator key of this machine's Windows family, a full path.
  std::string enumRoot() const;
  // Every handle of every kind that is still open (registry keys, device
  // information sets, find handles, tokens, SIDs).
  std::size_t openHandleCount() const;

  platform::Platform& platform() { return platform_; }

private:
  platform::Platform platform_;
};

// Makes a machine the platform for the library while it lives.
class ScopedMachine {
public:
  explicit ScopedMachine(Machine& machine);
  ~ScopedMachine();
  ScopedMachine(const ScopedMachine&) = delete;
  ScopedMachine& operator=(const ScopedMachine&) = delete;

private:
  Machine* previous_;
};

void install(Machine* machine);
Machine* installed();

}  // namespace sim
