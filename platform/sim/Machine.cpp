#include "Machine.h"

#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

Machine* installedMachine = nullptr;

}  // namespace

std::string Change::describe() const {
  switch (kind) {
    case Kind::DeletedKey:
      return "deleted key " + Registry::shortRootPath(path);
    case Kind::DeletedValue:
      return "deleted value " + Registry::shortRootPath(path) + '|' + valueName;
    case Kind::RemovedDevice:
      return "removed device " + path;
    case Kind::CreatedNode:
      return "created node " + path;
    case Kind::RemovedNode:
      return "removed node " + path;
    case Kind::CreatedKey:
      return "created key " + Registry::shortRootPath(path);
    case Kind::DeletedFile:
      return "deleted file " + path;
  }
  return "unknown change " + path;
}

Machine::Machine()
    : registry(*this),
      system(*this),
      debug(*this),
      setupApi(*this),
      configManager(*this),
      files(*this),
      dialogs(*this),
      platform_{registry, system, debug, setupApi, configManager, files, dialogs} {
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
  // Windows 95, 98 and Me keep it at the top of HKLM; the NT family, NT 4.0
  // included, in the current control set.
  return system.version().isNtFamily() ? "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"
                                       : "HKEY_LOCAL_MACHINE\\Enum";
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
