// A whole simulated Windows machine, and the means to make it the platform
// that the library runs on.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "CallLog.h"
#include "CallRecorder.h"
#include "Changes.h"
#include "SimDevices.h"
#include "SimFiles.h"
#include "SimRegistry.h"
#include "SimSystem.h"

namespace sim {

class Machine {
public:
  Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // What the parts share, each part getting only what it uses.
  CallLog log;
  LastError lastError;
  CallRecorder calls{log, lastError};
  ChangeLog changes;

  Registry registry{calls, changes};
  System system{calls};
  Debug debug;
  ConfigManager configManager{calls, changes, registry, system.version()};
  SetupApi setupApi{calls, changes, registry, configManager, system.version()};
  Files files{calls, changes};
  Dialogs dialogs{calls};

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
