#include "ImageSource.h"

#include <fstream>
#include <string_view>
#include <utility>

#include "BundledMachines.h"
#include "ImageText.h"

namespace tool {

std::string latin1ToUtf8(std::string_view latin1) {
  return image::text::utf8FromLatin1(latin1);
}

void ImageSource::commitThrough(std::vector<image::ImageFile*> files, const sim::Machine& machine,
                                const Options& options, image::RegFormat format,
                                std::ostream& notes) const {
  if (!options.commit) {
    // A preview asks each file whether it changes: its writer's walk, in
    // memory, refuses all that a commit would. No new file is built: that
    // would cost a second walk and reading the whole new file back.
    for (image::ImageFile* file : files) file->changed();
    return;
  }
  image::CommitRequest request;
  request.images = std::move(files);
  if (options.backup) request.backup = *options.backup;
  if (options.undo) request.undo = *options.undo;
  request.undoBytes = undoText(machine, format);
  image::commitImages(request, notes);
}

void ImageSource::recheck(const image::InputFile& input) {
  image::testPause("recheck");
  input.recheck();
}

std::string ImageSource::os(const Options&, const CheckedOptions& checked) const {
  return checked.os;
}

void ImageSource::checkOs(const sim::Machine&) const {}

std::optional<std::string> ImageSource::loadedOs(const sim::Registry&) const {
  return std::nullopt;
}

void ImageSource::import(sim::Machine& machine, const std::string& file) const {
  image::loadRegFile(machine.registry, file);
}

std::string ImageSource::undoText(const sim::Machine& machine, image::RegFormat format) const {
  return image::writeUndoText(machine.changes, format);
}

std::string ImageSource::toUtf8(std::string_view text) const {
  return latin1ToUtf8(text);
}

bool ImageSource::commitsUndo(const Options&) const {
  return false;
}

void ImageSource::finish(const sim::Machine&, const Options&, image::RegFormat, std::ostream&) {}

namespace {

std::string registrySummary(const sim::Registry& registry) {
  std::size_t keys = 0;
  std::size_t values = 0;
  registry.forEachKey([&](const sim::KeySnapshot& key) {
    ++keys;
    values += key.values.size();
  });
  return std::to_string(keys) + " keys, " + std::to_string(values) + " values";
}

// The header line of a .reg image: REGEDIT4, or version 5.00 in UTF-16LE or
// UTF-8.
std::string regFormat(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::string head(64, '\0');
  in.read(head.data(), static_cast<std::streamsize>(head.size()));
  head.resize(static_cast<std::size_t>(in.gcount()));
  std::string_view bytes = head;
  if (bytes.starts_with("\xFF\xFE")) return "Windows Registry Editor Version 5.00 (UTF-16LE)";
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (bytes.starts_with("REGEDIT4")) return "REGEDIT4";
  if (bytes.starts_with("Windows Registry Editor Version 5.00"))
    return "Windows Registry Editor Version 5.00 (UTF-8)";
  return "unknown";
}

// A sample machine compiled into the tool: the named one, or the one of the
// chosen Windows family.
class BundledSource : public ImageSource {
public:
  explicit BundledSource(std::optional<std::string> name) : name_(std::move(name)) {}

  void load(sim::Machine& machine, bool, std::ostream&) override {
    const std::string wanted = chosen(machine);
    std::string known;
    for (const auto& bundled : bundledMachines()) {
      if (bundled.name == wanted) {
        image::applyRegText(machine.registry, std::string(bundled.bytes, bundled.size),
                            "bundled " + wanted + ".reg");
        return;
      }
      known += (known.empty() ? "" : ", ") + bundled.name;
    }
    throw UsageError("no bundled sample machine '" + wanted + "'; bundled: " + known);
  }
  void check(std::ostream&) const override {
    throw UsageError("--check needs an image (--registry or --hive)");
  }
  nlohmann::ordered_json describe(const sim::Machine& machine) const override {
    return {{"kind", "bundled"}, {"name", chosen(machine)}, {"format", "REGEDIT4"}};
  }

private:
  std::optional<std::string> name_;
  std::string chosen(const sim::Machine& machine) const {
    return name_ ? *name_ : machine.system.version().major == 4 ? "win98" : "winxp";
  }
};

// A .reg image: the whole registry as regedit exports it.
class RegSource : public ImageSource {
public:
  explicit RegSource(std::string file) : file_(std::move(file)) {}

  void load(sim::Machine& machine, bool, std::ostream&) override {
    image::loadRegFile(machine.registry, file_);
  }
  void check(std::ostream& out) const override {
    sim::Machine machine;
    image::loadRegFile(machine.registry, file_);
    out << file_ << ": .reg image, " << registrySummary(machine.registry) << '\n';
  }
  nlohmann::ordered_json describe(const sim::Machine&) const override {
    return {{"kind", "reg"}, {"file", latin1ToUtf8(file_)}, {"format", regFormat(file_)}};
  }

private:
  std::string file_;
};

}  // namespace

std::unique_ptr<ImageSource> openBundled(const Options& options) {
  return std::make_unique<BundledSource>(options.machine);
}

std::unique_ptr<ImageSource> openRegImage(const Options& options) {
  return std::make_unique<RegSource>(*options.registry);
}

std::unique_ptr<ImageSource> openImage(const Options& options, const CheckedOptions& checked) {
  try {
    switch (checked.kind) {
      case ImageKind::Bundled:
        return openBundled(options);
      case ImageKind::Reg:
        return openRegImage(options);
      case ImageKind::Hives:
        return openHives(options, checked);
      case ImageKind::Creg:
        return openCreg(options);
    }
  } catch (const image::Error& e) {
    throw UsageError(e.what());
  }
  throw UsageError("no image");
}

}  // namespace tool
