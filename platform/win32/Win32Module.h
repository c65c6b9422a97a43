// What the Windows build knows about the loaded DLL itself: its instance
// handle (for the dialog templates) and whether the process is ending, in
// which case nothing may be unloaded any more. Both are set by DllMain.
#pragma once

#include "WinTypes.h"

namespace win32 {

HINSTANCE moduleInstance();
void setModuleInstance(HINSTANCE instance);

bool processTerminating();
void setProcessTerminating();

}  // namespace win32
