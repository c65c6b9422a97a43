#include "Win32Module.h"

namespace {

HINSTANCE instance_ = nullptr;
bool terminating_ = false;

}  // namespace

namespace win32 {

HINSTANCE moduleInstance() {
  return instance_;
}
void setModuleInstance(HINSTANCE instance) {
  instance_ = instance;
}

bool processTerminating() {
  return terminating_;
}
void setProcessTerminating() {
  terminating_ = true;
}

}  // namespace win32
