// --windows DIR: the registry files of a Windows folder.
#pragma once

#include "ToolRun.h"

namespace tool {

// --windows DIR: the registry files of the Windows folder, found whatever the
// case of their names: SYSTEM.DAT as --registry, else System32\config\SYSTEM
// and SOFTWARE as --hive; and the driver database files in its inf folder as
// files of the simulated machine (Options::windowsFiles). Throws UsageError
// when there are no registry files, or when --registry or --hive name images
// too.
void applyWindowsDir(Options& options);

}  // namespace tool
