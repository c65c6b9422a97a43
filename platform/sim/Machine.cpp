#include "Machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

Machine* installedMachine = nullptr;

}  // namespace

Machine::Machine() : platform_{registry, system, debug, setupApi, configManager, files, dialogs} {
  setVersion(*WindowsVersion::fromName("win98"));
}

void Machine::setVersion(const WindowsVersion& version) {
  system.setVersion(version);
  registry.setNtSemantics(version.isNtFamily());
}

bool Machine::setOs(std::string_view name) {
  auto version = WindowsVersion::fromName(name);
  if (!version) return false;
  setVersion(*version);
  return true;
}

std::string Machine::enumRoot() const {
  return system.version().enumRoot();
}

std::size_t Machine::openHandleCount() const {
  return registry.openHandleCount() + setupApi.openSetCount() + files.openFindCount() +
         system.openTokenCount() + system.liveSidCount();
}

ScopedMachine::ScopedMachine(Machine& machine) : previous_(installed()) {
  install(&machine);
}

ScopedMachine::~ScopedMachine() {
  install(previous_);
}

void install(Machine* machine) {
  installedMachine = machine;
}

Machine* installed() {
  return installedMachine;
}

}  // namespace sim

platform::Platform& platform::get() {
  sim::Machine* machine = sim::installed();
  if (!machine) {
    std::fputs("platform::get(): no simulated machine is installed (use sim::ScopedMachine)\n",
               stderr);
    std::abort();
  }
  return machine->platform();
}
