// The tool's hive images: the --hive, --commit, --save-hive and --backup
// options around the hive reader and writer.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "FileOps.h"
#include "HiveImage.h"
#include "Machine.h"
#include "RegFile.h"
#include "ToolRun.h"

namespace tool {

class HiveImages {
public:
  // The hive images the options name (--hive, or a --registry file that
  // starts with "regf"), checked before anything runs: nothing when the
  // options name none. Throws UsageError for options that do not fit
  // together, a file that is not a readable hive, and a --commit or
  // --save-hive on a hive that was not written completely.
  static std::optional<HiveImages> prepare(const Options& options);

  // The Windows version to simulate: --os when given, else Windows XP.
  std::string os(const Options& options) const;
  // Loads every hive below its mount key; warns on `err` about a hive that
  // was not written completely.
  void load(sim::Registry& registry, std::ostream& err);
  // --save-hive and --commit, after the calls.
  void finish(const sim::Machine& machine, const Options& options, sim::RegFormat format,
              std::ostream& err, image::FileOps& ops = image::systemFileOps());

private:
  struct Entry {
    std::string name;  // SYSTEM or SOFTWARE
    image::HiveKind kind;
    std::string file;
    image::HiveHeader header;
    image::HiveMount mount;
  };
  std::vector<Entry> entries_;
};

}  // namespace tool
