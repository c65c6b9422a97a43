// The DLL's load routine: it only resets the units' state, as loading the
// library is defined to do, and remembers what the Windows layer needs.
#include "Exports.h"
#include "Win32Module.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      // The library keeps no per-thread state.
      DisableThreadLibraryCalls(instance);
      win32::setModuleInstance(instance);
      qvinst::onLoad();
      break;
    case DLL_PROCESS_DETACH:
      // A non-null reserved means the process is exiting: other DLLs may be
      // gone already, so the static owners must not free libraries then.
      if (reserved != nullptr) win32::setProcessTerminating();
      break;
    default:
      break;
  }
  return TRUE;
}
