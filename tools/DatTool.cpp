#include "DatTool.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "FileOps.h"
#include "HiveImage.h"
#include "ImageError.h"
#include "RegFile.h"
#include "SimText.h"

namespace tool {

namespace {

std::string regImageSummary(const sim::Registry& registry) {
  std::size_t keys = 0;
  std::size_t values = 0;
  registry.forEachKey([&](const sim::KeySnapshot& key) {
    ++keys;
    values += key.values.size();
  });
  return std::to_string(keys) + " keys, " + std::to_string(values) + " values";
}

// The entry of `folder` named `name` in any case.
std::optional<std::filesystem::path> findNoCase(const std::filesystem::path& folder,
                                                const std::string& name) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error))
    if (sim::text::equalNoCase(entry.path().filename().string(), name)) return entry.path();
  return std::nullopt;
}

}  // namespace

void applyWindowsDir(Options& options) {
  if (!options.windows) return;
  if (options.registry || !options.hives.empty())
    throw UsageError("--windows finds the registry files itself; leave out --registry and --hive");
  const std::filesystem::path folder = *options.windows;
  // The driver database files that UninstUnInitialize deletes, as they are.
  if (const auto inf = findNoCase(folder, "inf")) {
    for (const char* name : {"drvdata.bin", "drvidx.bin"}) {
      const auto file = findNoCase(*inf, name);
      if (!file || !std::filesystem::is_regular_file(*file)) continue;
      const std::string simulated = options.windir + "\\inf\\" + name;
      options.files.push_back(simulated);
      options.windowsFiles.emplace_back(simulated, file->string());
    }
  }
  if (const auto dat = findNoCase(folder, "SYSTEM.DAT")) {
    options.registry = dat->string();
    return;
  }
  std::optional<std::filesystem::path> config = findNoCase(folder, "System32");
  if (config) config = findNoCase(*config, "config");
  if (config) {
    for (const char* hive : {"SYSTEM", "SOFTWARE"})
      if (const auto file = findNoCase(*config, hive))
        options.hives.push_back(std::string(hive) + '=' + file->string());
  }
  if (options.hives.empty())
    throw UsageError("--windows " + folder.string() +
                     ": neither SYSTEM.DAT nor System32\\config\\SYSTEM is there");
}

bool DatImages::named(const Options& options) {
  struct stat info {};
  return options.registry && ::stat(options.registry->c_str(), &info) == 0 &&
         S_ISREG(info.st_mode) && image::looksLikeDat(*options.registry);
}

std::optional<DatImages> DatImages::prepare(const Options& options) {
  if (!named(options)) {
    if (options.saveDat || options.codepage)
      throw UsageError("--save-dat and --codepage need a CREG file (--registry SYSTEM.DAT)");
    return std::nullopt;
  }
  if (!options.hives.empty())
    throw UsageError("a CREG file (--registry) and hive files (--hive) exclude each other");
  if (options.saveHive)
    throw UsageError("--save-hive is for hive files; a CREG file takes --save-dat");
  // --backup, and the names a commit would take, are checked with the hives' options.
  DatImages images;
  images.file_ = *options.registry;
  try {
    // Locked from here for a commit, before anything is read.
    images.input_ =
        std::make_shared<image::InputFile>(image::InputFile::open(images.file_, options.commit));
    const int codepage = options.codepage.value_or(1252);
    images.mount_ = image::readDat(images.file_, codepage);
    images.version_ = image::datVersionNumber(images.file_, codepage);
    images.readOnly_ = image::dat::notWritable(images.mount_.summary);
    if (images.readOnly_.empty() && image::osForVersionNumber(images.version_) == "win95")
      images.readOnly_ = "a Windows 95 registry (VersionNumber " + images.version_ +
                         "): writing it back has not been proven on such a file";
    if (!images.readOnly_.empty() && (options.commit || options.saveDat))
      throw UsageError(images.file_ + ": " + images.readOnly_ +
                       "; --commit and --save-dat are refused (--changes previews)");
  } catch (const image::Error& e) {
    throw UsageError(e.what());
  }
  return images;
}

std::string DatImages::os(const Options& options) const {
  if (options.osGiven) return options.os;
  const auto os = image::osForVersionNumber(version_);
  if (!os)
    throw UsageError(file_ + ": VersionNumber '" + version_ +
                     "' names no Windows 95, 98 or Me; give --os");
  return *os;
}

void DatImages::checkOs(const sim::Machine& machine) const {
  if (machine.system.version().isNtFamily())
    throw UsageError("a CREG file is a Windows 95/98/Me registry; --os must name one of those");
}

void DatImages::load(sim::Registry& registry, bool undo) {
  try {
    image::loadDat(registry, mount_);
  } catch (const image::Error& e) {
    throw UsageError(e.what());
  }
  if (undo) loaded_ = image::snapshotBelow(registry, {mount_.mountPath});
}

image::ImportScope DatImages::importScope(const sim::Machine& machine) const {
  image::ImportScope scope;
  scope.within = {mount_.mountPath};
  const std::string name = input_->given().filename().string();
  scope.outside = "is not in " + name;
  // The configuration that HKEY_CURRENT_CONFIG stands for, as "0001".
  std::string config;
  for (const sim::Value& value : machine.registry.values(
           mount_.mountPath + "\\System\\CurrentControlSet\\Control\\IDConfigDB")) {
    if (!sim::text::equalNoCase(value.name, "CurrentConfig")) continue;
    if (value.type == REG_DWORD && value.data.size() == 4) {
      char text[16];
      std::snprintf(text, sizeof text, "%04u",
                    unsigned(value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                             std::uint32_t(value.data[3]) << 24));
      config = text;
    } else if (value.type == REG_SZ) {
      config.assign(value.data.begin(), std::find(value.data.begin(), value.data.end(), 0));
    }
  }
  if (config.empty() || config.find('\\') != std::string::npos)
    scope.moved.push_back(
        {"HKEY_CURRENT_CONFIG", "",
         "names no configuration: " + name +
             " has no CurrentConfig in System\\CurrentControlSet\\Control\\IDConfigDB"});
  else
    scope.moved.push_back({"HKEY_CURRENT_CONFIG", mount_.mountPath + "\\Config\\" + config, ""});
  const sim::WindowsVersion version = machine.system.version();
  if (version.major == 4 && version.minor >= 90)
    scope.moved.push_back({"HKEY_CLASSES_ROOT", "", "is kept in CLASSES.DAT, not in " + name});
  else
    scope.moved.push_back({"HKEY_CLASSES_ROOT", mount_.mountPath + "\\Software\\Classes", ""});
  for (const char* root : {"HKEY_CURRENT_USER", "HKEY_USERS"})
    scope.moved.push_back({root, "", "is kept in USER.DAT, not in " + name});
  return scope;
}

std::string DatImages::undoText(const sim::Registry& registry, image::RegFormat format) const {
  return image::writeUndoDiff(loaded_, image::snapshotBelow(registry, {mount_.mountPath}), format);
}

void DatImages::finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
                       std::ostream& err) {
  try {
    if (options.saveDat) {
      image::DatDiff diff;
      image::replaceFile(*options.saveDat, [&](const std::filesystem::path& file) {
        diff = image::writeDat(machine.registry, mount_, file);
        image::verifyDat(file, machine.registry, mount_);
      });
      err << "qvinst98: " << file_ << " written to " << *options.saveDat << ": "
          << image::describe(diff) << '\n';
    }
    if (!readOnly_.empty()) {
      // Only a preview gets here: say that a commit would be refused.
      if (!options.calls.empty() || !options.imports.empty())
        err << "qvinst98: " << file_ << ": changes shown only: " << readOnly_ << '\n';
      return;
    }
    image::DatImageFile file(*input_, mount_, machine.registry);
    image::CommitRequest request;
    request.images.push_back(&file);
    request.write = options.commit;
    if (options.commit) {
      if (options.backup) request.backup = *options.backup;
      if (options.undo) request.undo = *options.undo;
      request.undoBytes = undoText(machine.registry, format);
    }
    image::commitImages(request, err);
  } catch (const image::Error& e) {
    throw UsageError(e.what());
  }
}

int checkImage(const Options& options, std::ostream& out) {
  if (!options.calls.empty()) throw UsageError("--check runs no exports");
  try {
    if (options.registry && image::looksLikeDat(*options.registry)) {
      const image::dat::Summary summary = image::readDat(*options.registry).summary;
      out << *options.registry << ": CREG file, " << summary.keys << " keys, " << summary.values
          << " values, " << summary.blocks << " data blocks, "
          << summary.freeRecordBytes + summary.freeEntryBytes << " bytes free ("
          << summary.freeRecordBytes << " in free records, " << summary.freeEntryBytes
          << " in the key table)";
      if (const std::string why = image::dat::notWritable(summary); !why.empty())
        out << "; read only: " << why;
      out << '\n';
      return 0;
    }
    std::vector<std::pair<std::string, image::HiveKind>> hives;
    if (options.registry && image::looksLikeHive(*options.registry))
      hives.emplace_back(*options.registry, image::HiveKind::System);
    for (const std::string& given : options.hives) {
      const auto eq = given.find('=');
      const std::string name = given.substr(0, eq);
      if (eq == std::string::npos) throw UsageError("--hive takes NAME=FILE, not '" + given + "'");
      hives.emplace_back(given.substr(eq + 1), sim::text::upper(name) == "SOFTWARE"
                                                   ? image::HiveKind::Software
                                                   : image::HiveKind::System);
    }
    for (const auto& [file, kind] : hives) {
      sim::Machine machine;
      const image::HiveMount mount = image::loadHive(machine.registry, file, kind);
      out << file << ": registry hive, " << mount.keys << " keys, " << mount.values << " values\n";
    }
    if (!hives.empty()) return 0;
    if (!options.registry) throw UsageError("--check needs an image (--registry or --hive)");
    sim::Machine machine;
    image::loadRegFile(machine.registry, *options.registry);
    out << *options.registry << ": .reg image, " << regImageSummary(machine.registry) << '\n';
    return 0;
  } catch (const image::Error& e) {
    throw UsageError(e.what());
  }
}

}  // namespace tool
