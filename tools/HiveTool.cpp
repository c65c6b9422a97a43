#include "HiveTool.h"

#include <sys/stat.h>

#include <filesystem>
#include <system_error>

#include "HiveFile.h"
#include "SimText.h"

namespace tool {

namespace {

bool isRegularFile(const std::string& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// Outputs never name an input or each other: by the file a name reaches
// (a link followed) and, for a file not there yet, by its folder and name.
void refuseCrossedFiles(const Options& options, const std::vector<std::string>& inputs) {
  std::vector<std::pair<std::string, std::string>> outputs;  // option, file
  if (options.save) outputs.emplace_back("--save", *options.save);
  if (options.undo) outputs.emplace_back("--undo", *options.undo);
  if (options.backup) outputs.emplace_back("--backup", *options.backup);
  if (options.saveHive) outputs.emplace_back("--save-hive", *options.saveHive);
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const auto id = image::identityOf(outputs[i].second);
    if (!id) continue;  // its folder is missing: writing it fails on its own
    for (const std::string& input : inputs) {
      if (image::identityOf(input) == id) {
        if (outputs[i].first == "--save-hive")
          throw UsageError("--save-hive names the hive itself; use --commit to change it");
        throw UsageError(outputs[i].first + " " + outputs[i].second + " names an input (" + input +
                         "); refused");
      }
    }
    for (std::size_t k = 0; k < i; ++k) {
      if (image::identityOf(outputs[k].second) == id)
        throw UsageError(outputs[i].first + " and " + outputs[k].first + " name one file; refused");
    }
  }
}

}  // namespace

std::optional<HiveImages> HiveImages::prepare(const Options& options) {
  HiveImages images;
  std::vector<std::string> files;
  auto add = [&](const std::string& name, const std::string& file) {
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
    files.push_back(file);
    images.entries_.push_back(std::move(entry));
  };

  const bool registryIsHive = options.registry && isRegularFile(*options.registry) &&
                              image::looksLikeHive(*options.registry);
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

  std::vector<std::string> inputs = files;
  inputs.insert(inputs.end(), options.imports.begin(), options.imports.end());
  refuseCrossedFiles(options, inputs);
  if (options.commit) {
    if (options.backup && image::nameTaken(*options.backup))
      throw UsageError("--backup " + *options.backup +
                       ": the file exists; a backup is never overwritten");
    const std::optional<std::string> undo =
        options.undo     ? options.undo
        : options.backup ? std::optional<std::string>(image::undoPathFor(*options.backup).string())
                         : std::nullopt;
    if (undo && image::nameTaken(*undo))
      throw UsageError(*undo + ": the file exists; an undo file is never overwritten");
  }

  // Locked from here for a commit, before anything is read.
  for (std::size_t i = 0; i < images.entries_.size(); ++i) {
    Entry& entry = images.entries_[i];
    try {
      entry.input =
          std::make_shared<image::InputFile>(image::InputFile::open(files[i], options.commit));
      entry.header = image::readHiveHeader(files[i]);
    } catch (const image::FileError& e) {
      throw UsageError(e.what());
    } catch (const image::HiveError& e) {
      throw UsageError(e.what());
    }
    for (std::size_t k = 0; k < i; ++k) {
      const struct stat& a = images.entries_[k].input->info();
      const struct stat& b = entry.input->info();
      if (a.st_dev == b.st_dev && a.st_ino == b.st_ino)
        throw UsageError("--hive " + images.entries_[k].name + " and " + entry.name +
                         " name one file; refused");
    }
    if ((options.commit || options.saveHive) && !entry.header.clean())
      throw UsageError(files[i] + ": the hive was not written completely (sequence numbers " +
                       std::to_string(entry.header.sequence1) + " and " +
                       std::to_string(entry.header.sequence2) +
                       " differ); --commit and --save-hive are refused");
  }
  return images;
}

std::string HiveImages::os(const Options& options) const {
  return options.osGiven ? options.os : "winxp";
}

void HiveImages::load(sim::Registry& registry, std::ostream& err) {
  image::testPause("load");
  for (Entry& entry : entries_) {
    try {
      entry.mount = image::loadHive(registry, entry.input->given(), entry.kind);
    } catch (const image::HiveError& e) {
      throw UsageError(e.what());
    }
    if (!entry.mount.header.clean())
      err << "qvinst98: warning: " << entry.input->given().string()
          << " was not written completely (sequence numbers " << entry.mount.header.sequence1
          << " and " << entry.mount.header.sequence2
          << " differ); changes in its transaction logs are not seen\n";
  }
  loaded_ = sim::snapshotBelow(registry, mountPaths());
}

std::vector<std::string> HiveImages::mountPaths() const {
  std::vector<std::string> paths;
  for (const Entry& entry : entries_) paths.push_back(image::mountPathFor(entry.kind));
  return paths;
}

std::string HiveImages::undoText(const sim::Registry& registry, sim::RegFormat format) const {
  return sim::writeUndoDiff(loaded_, sim::snapshotBelow(registry, mountPaths()), format);
}

void HiveImages::finish(const sim::Machine& machine, const Options& options, sim::RegFormat format,
                        std::ostream& err, image::FileOps& ops) {
  try {
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

  } catch (const image::HiveError& e) {
    throw UsageError(e.what());
  } catch (const image::FileError& e) {
    throw UsageError(e.what());
  }
}

}  // namespace tool
