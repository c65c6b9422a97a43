#include "HiveTool.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "HiveFile.h"
#include "SimText.h"

namespace tool {

HiveImages HiveImages::open(const std::vector<HiveOption>& hives, bool commit, bool writes) {
  HiveImages images;
  for (const HiveOption& hive : hives) {
    Entry entry;
    entry.name = hive.name;
    entry.kind = hive.name == "SYSTEM" ? image::HiveKind::System : image::HiveKind::Software;
    // Locked from here for a commit, before anything is read.
    entry.input = std::make_shared<image::InputFile>(image::InputFile::open(hive.file, commit));
    entry.header = image::readHiveHeader(hive.file);
    if (writes && !entry.header.clean())
      throw UsageError(hive.file + ": the hive was not written completely (sequence numbers " +
                       std::to_string(entry.header.sequence1) + " and " +
                       std::to_string(entry.header.sequence2) +
                       " differ); --commit and --save-hive are refused");
    images.entries_.push_back(std::move(entry));
  }
  return images;
}

void HiveImages::load(sim::Registry& registry, bool undo, std::ostream& err) {
  image::testPause("load");
  for (Entry& entry : entries_) {
    entry.mount = image::loadHive(registry, entry.input->given(), entry.kind);
    if (!entry.mount.header.clean())
      err << "qvinst98: warning: " << entry.input->given().string()
          << " was not written completely (sequence numbers " << entry.mount.header.sequence1
          << " and " << entry.mount.header.sequence2
          << " differ); changes in its transaction logs are not seen\n";
  }
  if (undo) loaded_ = image::snapshotBelow(registry, mountPaths());
}

std::vector<std::string> HiveImages::mountPaths() const {
  std::vector<std::string> paths;
  for (const Entry& entry : entries_) paths.push_back(image::mountPathFor(entry.kind));
  return paths;
}

std::string HiveImages::undoText(const sim::Registry& registry, image::RegFormat format) const {
  return image::writeUndoDiff(loaded_, image::snapshotBelow(registry, mountPaths()), format);
}

void HiveImages::finish(const sim::Machine& machine, const Options& options,
                        image::RegFormat format, std::ostream& err, image::FileOps& ops) {
  if (options.saveHive) {
    const Entry& entry = entries_.front();
    image::HiveDiff diff;
    image::replaceFile(
        *options.saveHive,
        [&](const std::filesystem::path& file) {
          diff = image::writeHive(machine.registry, entry.mount, file);
          image::verifyWrittenHive(file, entry.kind, machine.registry, entry.mount.mountPath);
        },
        ops);
    err << "qvinst98: " << entry.name << " written to " << *options.saveHive << ": "
        << image::describe(diff) << '\n';
    if (!options.commit) return;
  }
  std::vector<image::HiveFile> files;
  files.reserve(entries_.size());
  for (const Entry& entry : entries_)
    files.emplace_back(*entry.input, entry.name, entry.mount, machine.registry);
  image::CommitRequest request;
  for (image::HiveFile& file : files) request.images.push_back(&file);
  request.write = options.commit;
  if (options.commit) {
    if (options.backup) request.backup = *options.backup;
    if (options.undo) request.undo = *options.undo;
    request.undoBytes = undoText(machine.registry, format);
  }
  image::commitImages(request, err, ops);
}

}  // namespace tool
