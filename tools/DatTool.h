// The tool's Windows 95/98/Me registry files (SYSTEM.DAT): a --registry file
// that starts with "CREG", and the --codepage, --save-dat and --check options.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>

#include "Commit.h"
#include "DatImage.h"
#include "Machine.h"
#include "RegFile.h"
#include "ToolRun.h"

namespace tool {

class DatImages {
public:
  // Whether --registry names a CREG file.
  static bool named(const Options& options);
  // The CREG file that --registry names, opened (and for --commit locked)
  // and checked before anything runs: nothing when --registry names another
  // kind of image. Throws UsageError for a damaged file and options that do
  // not fit it.
  static std::optional<DatImages> prepare(const Options& options);

  // --os when given, else the version the file's VersionNumber names.
  std::string os(const Options& options) const;
  // Refuses a Windows version that never kept its registry in such a file.
  void checkOs(const sim::Machine& machine) const;
  // Loads the file and, when the run is to write an undo file, notes what
  // was loaded.
  void load(sim::Registry& registry, bool undo);
  // Where an --import's keys go in the file (after a load): HKEY_LOCAL_MACHINE
  // as it is, HKEY_CURRENT_CONFIG as the configuration it stands for, and
  // HKEY_CLASSES_ROOT as Software\Classes, where Windows 95 and 98 keep it;
  // the keys of USER.DAT, and Windows Me's CLASSES.DAT, are refused.
  image::ImportScope importScope(const sim::Machine& machine) const;
  // The undo image: what turns the registry back into the file as loaded
  // (after a load that noted it).
  std::string undoText(const sim::Registry& registry, image::RegFormat format) const;
  // After the calls: --save-dat, and --commit through the commit pipeline
  // or, without it, the same checks up to the writing.
  void finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
              std::ostream& err);

private:
  std::string file_;
  std::shared_ptr<image::InputFile> input_;
  image::RegistrySnapshot loaded_;
  std::string version_;   // VersionNumber, as the file holds it
  std::string readOnly_;  // why the file is not written back, if it is not
  image::DatMount mount_;
};

// --windows DIR: the registry files of the Windows folder, found whatever the
// case of their names: SYSTEM.DAT as --registry, else System32\config\SYSTEM
// and SOFTWARE as --hive; and the driver database files in its inf folder as
// files of the simulated machine (Options::windowsFiles). Throws UsageError
// when there are no registry files, or when --registry or --hive name images
// too.
void applyWindowsDir(Options& options);

// --check: checks the image alone (a CREG file structure by structure, a hive
// or a .reg image by loading it) and prints one summary line.
int checkImage(const Options& options, std::ostream& out);

}  // namespace tool
