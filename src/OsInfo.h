// Platform information: the Windows version family and whether the process
// has administrator rights, found out once per load on the first request.
#pragma once

#include "WinTypes.h"

namespace qvinst {

extern OSVERSIONINFOA osVersionInfo;
extern bool osInfoPending;
extern bool osAdmin;

void initOsInfo();

// First call: queries the version and the administrator answer and returns
// whether the version could be read. Every later call returns true at once.
bool osQueryInfo();

bool osIsWin9x();   // major version 4: 95, 98, Me and NT 4.0 alike
bool osIsWinMe();   // 4.90
bool osIsWinNT5();  // major version 5: 2000, XP
bool osIsAdmin();   // the cached answer

// Whether the thread's token (impersonation) or else the process token lists
// the built-in Administrators group, enabled or deny-only. Any failure on the
// way answers no; every handle, SID and buffer is freed on every path.
bool osCheckAdmin();

}  // namespace qvinst
