#include "HiveTool.h"

#include <filesystem>
#include <system_error>

#include "SimText.h"

namespace tool {

namespace {

bool sameFile(const std::string& a, const std::string& b) {
  std::error_code error;
  return std::filesystem::equivalent(a, b, error);
}

std::string describe(const image::HiveDiff& diff) {
  return std::to_string(diff.keysDeleted) + " keys deleted, " + std::to_string(diff.keysAdded) +
         " added, " + std::to_string(diff.valueListsChanged) + " value lists changed";
}

}  // namespace

std::optional<HiveImages> HiveImages::prepare(const Options& options) {
  HiveImages images;
  auto add = [&images](const std::string& name, const std::string& file) {
    Entry entry;
    entry.name = sim::text::upper(name);
    if (entry.name == "SYSTEM") {
      entry.kind = image::HiveKind::System;
    } else if (entry.name == "SOFTWARE") {
      entry.kind = image::HiveKind::Software;
    } else {
      throw UsageError("--hive takes SYSTEM=FILE or SOFTWARE=FILE, not '" + name + "'");
    }
    for (const Entry& other : images.entries_)
      if (other.name == entry.name) throw UsageError("--hive " + entry.name + " is given twice");
    entry.file = file;
    try {
      entry.header = image::readHiveHeader(file);
    } catch (const image::HiveError& e) {
      throw UsageError(e.what());
    }
    images.entries_.push_back(std::move(entry));
  };

  const bool registryIsHive = options.registry && image::looksLikeHive(*options.registry);
  if (options.registry && !registryIsHive && !options.hives.empty())
    throw UsageError("a .reg image (--registry) and hive files (--hive) exclude each other");
  if (registryIsHive) add("SYSTEM", *options.registry);
  for (const std::string& given : options.hives) {
    const auto eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size())
      throw UsageError("--hive takes NAME=FILE (SYSTEM=FILE or SOFTWARE=FILE), not '" + given +
                       "'");
    add(given.substr(0, eq), given.substr(eq + 1));
  }

  if (images.entries_.empty()) {
    if (options.commit || options.saveHive || options.backup)
      throw UsageError("--commit, --save-hive and --backup need a hive image (--hive NAME=FILE)");
    return std::nullopt;
  }
  if (options.machine) throw UsageError("--machine and hive images exclude each other");
  if (options.backup && !options.commit) throw UsageError("--backup goes with --commit");
  if (options.backup && images.entries_.size() > 1)
    throw UsageError("--backup names one file; with more than one hive the backups go beside them");
  if (options.saveHive && images.entries_.size() > 1)
    throw UsageError("--save-hive writes one hive; give only that one with --hive");
  std::error_code error;
  if (options.backup && std::filesystem::exists(*options.backup, error))
    throw UsageError("--backup " + *options.backup +
                     ": the file exists; a backup is never "
                     "overwritten");
  for (const Entry& entry : images.entries_) {
    if ((options.commit || options.saveHive) && !entry.header.clean())
      throw UsageError(entry.file + ": the hive was not written completely (sequence numbers " +
                       std::to_string(entry.header.sequence1) + " and " +
                       std::to_string(entry.header.sequence2) +
                       " differ); --commit and --save-hive are refused");
    if (options.saveHive && sameFile(*options.saveHive, entry.file))
      throw UsageError("--save-hive names the hive itself; use --commit to change it");
  }
  return images;
}

std::string HiveImages::os(const Options& options) const {
  return options.osGiven ? options.os : "winxp";
}

void HiveImages::load(sim::Registry& registry, std::ostream& err) {
  for (Entry& entry : entries_) {
    try {
      entry.mount = image::loadHive(registry, entry.file, entry.kind);
    } catch (const image::HiveError& e) {
      throw UsageError(e.what());
    }
    if (!entry.mount.header.clean())
      err << "qvinst98: warning: " << entry.file << " was not written completely (sequence numbers "
          << entry.mount.header.sequence1 << " and " << entry.mount.header.sequence2
          << " differ); changes in its transaction logs are not seen\n";
  }
}

void HiveImages::finish(const sim::Machine& machine, const Options& options, sim::RegFormat format,
                        std::ostream& err, image::FileOps& ops) {
  if (!options.saveHive && !options.commit) return;
  try {
    if (options.saveHive) {
      const Entry& entry = entries_.front();
      image::HiveDiff diff;
      image::replaceFile({*options.saveHive, "", "", "",
                          [&](const std::filesystem::path& file) {
                            diff = image::writeHive(machine.registry, entry.mount, file);
                            image::verifyHive(file);
                          }},
                         ops);
      err << "qvinst98: " << entry.name << " written to " << *options.saveHive << ": "
          << describe(diff) << '\n';
    }
    if (!options.commit) return;
    const std::string undoBytes = sim::writeUndoText(machine.changes, format);
    bool undoWritten = false;
    for (const Entry& entry : entries_) {
      const image::HiveDiff planned = image::diffHive(machine.registry, entry.mount);
      if (planned.empty()) {
        err << "qvinst98: " << entry.name << ": nothing to change; " << entry.file
            << " is left as it is\n";
        continue;
      }
      const std::filesystem::path backup = options.backup ? std::filesystem::path(*options.backup)
                                                          : image::freeBackupPath(entry.file);
      std::filesystem::path undo;
      if (!undoWritten)
        undo = options.undo ? std::filesystem::path(*options.undo) : image::undoPathFor(backup);
      image::HiveDiff diff;
      image::replaceFile({entry.file, backup, undo, undoBytes,
                          [&](const std::filesystem::path& file) {
                            diff = image::writeHive(machine.registry, entry.mount, file);
                            image::verifyHive(file);
                          }},
                         ops);
      err << "qvinst98: " << entry.name << " committed to " << entry.file << ": " << describe(diff)
          << "; backup " << backup.string();
      if (!undo.empty()) err << ", undo " << undo.string();
      err << '\n';
      undoWritten = true;
    }
  } catch (const image::HiveError& e) {
    throw UsageError(e.what());
  } catch (const image::FileError& e) {
    throw UsageError(e.what());
  }
}

}  // namespace tool
