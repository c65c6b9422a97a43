// The hive files as an image source: the --hive, --commit, --save-hive and
// --backup options around the hive reader and writer and the commit pipeline.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <system_error>
#include <utility>

#include "Commit.h"
#include "FileOps.h"
#include "HiveFile.h"
#include "HiveImage.h"
#include "ImageSource.h"
#include "ImageText.h"
#include "WindowsVersion.h"

namespace tool {

namespace {

using image::text::equalNoCase;

// "regf 1.3": the hive format's major and minor version from the base block.
std::string hiveFormat(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  unsigned char bytes[0x1C] = {};
  in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
  if (in.gcount() < std::streamsize(sizeof bytes)) return "regf";
  const auto at = [&bytes](std::size_t i) {
    return std::uint32_t(bytes[i]) | std::uint32_t(bytes[i + 1]) << 8 |
           std::uint32_t(bytes[i + 2]) << 16 | std::uint32_t(bytes[i + 3]) << 24;
  };
  return "regf " + std::to_string(at(0x14)) + '.' + std::to_string(at(0x18));
}

class HiveSource : public ImageSource {
public:
  // The hive images of checked options, opened (and for a commit locked)
  // before anything is read. Throws image::Error for a file that is not a
  // regular file, is locked by another run or is not a readable hive, and
  // UsageError when the run writes a hive (--commit, --save-hive) that was
  // not written completely.
  HiveSource(const Options& options, const std::vector<HiveOption>& hives) {
    const bool writes = options.commit || options.saveHive;
    for (const HiveOption& hive : hives) {
      Entry entry;
      entry.name = hive.name;
      entry.kind = hive.name == "SYSTEM" ? image::HiveKind::System : image::HiveKind::Software;
      // Locked from here for a commit, before anything is read.
      entry.input =
          std::make_shared<image::InputFile>(image::InputFile::open(hive.file, options.commit));
      entry.header = image::readHiveHeader(hive.file);
      if (writes && !entry.header.clean())
        throw UsageError(hive.file + ": the hive was not written completely (sequence numbers " +
                         std::to_string(entry.header.sequence1) + " and " +
                         std::to_string(entry.header.sequence2) +
                         " differ); --commit and --save-hive are refused");
      entries_.push_back(std::move(entry));
    }
  }

  void load(sim::Machine& machine, bool undo, std::ostream& notes) override {
    image::testPause("load");
    for (Entry& entry : entries_) {
      entry.mount = image::loadHive(machine.registry, entry.input->given(), entry.kind);
      if (!entry.mount.header.clean())
        notes << "qvinst98: warning: " << entry.input->given().string()
              << " was not written completely (sequence numbers " << entry.mount.header.sequence1
              << " and " << entry.mount.header.sequence2
              << " differ); changes in its transaction logs are not seen\n";
    }
    if (undo) loaded_ = image::snapshotBelow(machine.registry, mountPaths());
  }

  // The version that SOFTWARE's Microsoft\Windows NT\CurrentVersion names, as
  // an --os name; nothing without it.
  std::optional<std::string> loadedOs(const sim::Registry& registry) const override {
    const std::string key =
        image::mountPathFor(image::HiveKind::Software) + "\\Microsoft\\Windows NT\\CurrentVersion";
    std::string version;
    std::optional<std::uint32_t> major;
    for (const sim::Value& value : registry.values(key)) {
      if (equalNoCase(value.name, "CurrentVersion") && value.type == REG_SZ)
        version.assign(value.data.begin(), std::find(value.data.begin(), value.data.end(), 0));
      if (equalNoCase(value.name, "CurrentMajorVersionNumber") && value.type == REG_DWORD &&
          value.data.size() == 4)
        major = value.data[0] | value.data[1] << 8 | value.data[2] << 16 |
                std::uint32_t(value.data[3]) << 24;
    }
    // Windows 10 and later keep "6.3" in CurrentVersion for old programs.
    if (major && *major >= 10) return "win10";
    if (version == "4.0") return "nt4";  // as a number, 4.0 would be Windows 95
    const auto parsed = sim::WindowsVersion::fromName(version);
    if (!parsed || parsed->major < 5) return std::nullopt;
    return version;
  }

  void import(sim::Machine& machine, const std::string& file) const override {
    image::loadRegFile(machine.registry, file, mountPaths());
  }

  std::string undoText(const sim::Machine& machine, image::RegFormat format) const override {
    return image::writeUndoDiff(loaded_, image::snapshotBelow(machine.registry, mountPaths()),
                                format);
  }

  bool commitsUndo(const Options& options) const override { return options.commit; }

  // --save-hive, and --commit or, without it, the same checks as a commit up
  // to the writing.
  void finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
              std::ostream& notes) override {
    if (options.saveHive) {
      const Entry& entry = entries_.front();
      image::ImageDiff diff;
      image::replaceFile(*options.saveHive, [&](const std::filesystem::path& file) {
        diff = image::writeHive(machine.registry, entry.mount, file);
        image::verifyWrittenHive(file, entry.kind, machine.registry, entry.mount.mountPath);
        recheck(*entry.input);
      });
      notes << "qvinst98: " << entry.name << " written to " << *options.saveHive << ": "
            << image::describe(diff) << '\n';
      if (!options.commit) return;
    }
    std::vector<image::HiveFile> files;
    files.reserve(entries_.size());
    for (const Entry& entry : entries_)
      files.emplace_back(*entry.input, entry.name, entry.mount, machine.registry);
    std::vector<image::ImageFile*> images;
    images.reserve(files.size());
    for (image::HiveFile& file : files) images.push_back(&file);
    commitThrough(std::move(images), machine, options, format, notes);
  }

  void check(std::ostream& out) const override {
    for (const Entry& entry : entries_) {
      sim::Machine machine;
      const image::HiveMount mount =
          image::loadHive(machine.registry, entry.input->given(), entry.kind);
      out << entry.input->given().string() << ": registry hive, " << mount.keys << " keys, "
          << mount.values << " values\n";
    }
  }

  nlohmann::ordered_json describe(const sim::Machine&) const override {
    nlohmann::ordered_json mounts = nlohmann::ordered_json::array();
    for (const Entry& entry : entries_) {
      const std::string file = entry.input->given().string();
      mounts.push_back({{"name", latin1ToUtf8(entry.name)},
                        {"file", latin1ToUtf8(file)},
                        {"format", hiveFormat(file)}});
    }
    return {{"kind", "hive"}, {"hives", mounts}};
  }

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

  // Where the hives are mounted: the keys an --import may change.
  std::vector<std::string> mountPaths() const {
    std::vector<std::string> paths;
    for (const Entry& entry : entries_) paths.push_back(image::mountPathFor(entry.kind));
    return paths;
  }
};

}  // namespace

std::unique_ptr<ImageSource> openHives(const Options& options, const CheckedOptions& checked) {
  return std::make_unique<HiveSource>(options, checked.hives);
}

}  // namespace tool
