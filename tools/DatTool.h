// The tool's Windows 95/98/Me registry files (SYSTEM.DAT): a --registry file
// that starts with "CREG", and the --codepage, --save-dat and --check options.
#pragma once

#include <optional>
#include <ostream>
#include <string>

#include "DatImage.h"
#include "Machine.h"
#include "ToolRun.h"

namespace tool {

class DatImages {
public:
  // The CREG file that --registry names, checked before anything runs:
  // nothing when --registry names another kind of image. Throws UsageError
  // for a damaged file and options that do not fit it.
  static std::optional<DatImages> prepare(const Options& options);

  // --os when given, else the version the file's VersionNumber names.
  std::string os(const Options& options) const;
  // Refuses a Windows version that never kept its registry in such a file.
  void checkOs(const sim::Machine& machine) const;
  void load(sim::Registry& registry);
  // --save-dat, after the calls.
  void finish(const sim::Machine& machine, const Options& options, std::ostream& err);

private:
  std::string file_;
  int codepage_ = 1252;
  std::string version_;  // VersionNumber, as the file holds it
  image::DatMount mount_;
};

// --windows DIR: the registry files of the Windows folder, found whatever the
// case of their names: SYSTEM.DAT as --registry, else System32\config\SYSTEM
// and SOFTWARE as --hive. Throws UsageError when there are none, or when
// --registry or --hive name images too.
void applyWindowsDir(Options& options);

// --check: checks the image alone (a CREG file structure by structure, a hive
// or a .reg image by loading it) and prints one summary line.
int checkImage(const Options& options, std::ostream& out);

}  // namespace tool
