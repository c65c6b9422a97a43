// The tool's hive images: the --hive, --commit, --save-hive and --backup
// options around the hive reader and writer and the commit pipeline.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "Commit.h"
#include "FileOps.h"
#include "HiveImage.h"
#include "Machine.h"
#include "RegFile.h"
#include "ToolRun.h"

namespace tool {

class HiveImages {
public:
  // The hive images of checked options, opened (and for a commit locked)
  // before anything is read. Throws image::Error for a file that is not a
  // regular file, is locked by another run or is not a readable hive, and
  // UsageError when the run `writes` a hive (--commit, --save-hive) that was
  // not written completely.
  static HiveImages open(const std::vector<HiveOption>& hives, bool commit, bool writes);

  // Loads every hive below its mount key and, when the run is to write an
  // undo file, notes what was loaded; warns on `err` about a hive that was
  // not written completely.
  void load(sim::Registry& registry, bool undo, std::ostream& err);
  // Where the hives are mounted: the keys an --import may change.
  std::vector<std::string> mountPaths() const;
  // The undo image: what turns the registry back into the hives as loaded.
  std::string undoText(const sim::Registry& registry, image::RegFormat format) const;
  // After the calls: --save-hive, and --commit or, without it, the same
  // checks as a commit up to the writing.
  void finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
              std::ostream& err, image::FileOps& ops = image::systemFileOps());

private:
  struct Entry {
    std::string name;  // SYSTEM or SOFTWARE
    image::HiveKind kind;
    std::shared_ptr<image::InputFile> input;
    image::HiveHeader header;
    image::HiveMount mount;
  };
  std::vector<Entry> entries_;
  image::RegistrySnapshot loaded_;
};

}  // namespace tool
