// The Windows 95/98/Me registry files (SYSTEM.DAT) as an image source: a
// --registry file that starts with "CREG", and the --codepage and --save-dat
// options; and --windows, which finds the registry files of a Windows folder.
#include "DatTool.h"

#include <iconv.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>

#include "Commit.h"
#include "DatImage.h"
#include "FileOps.h"
#include "ImageSource.h"
#include "ImageText.h"

namespace tool {

namespace {

// The entry of `folder` named `name` in any case. Two names for one file
// (a copy made where case counts) are refused: which is the real one is not
// for the tool to guess.
std::optional<std::filesystem::path> findNoCase(const std::filesystem::path& folder,
                                                const std::string& name) {
  std::error_code error;
  std::optional<std::filesystem::path> found;
  for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
    if (!image::text::equalNoCase(entry.path().filename().string(), name)) continue;
    if (found)
      throw UsageError("--windows: both " + found->string() + " and " + entry.path().string() +
                       " are there; keep one");
    found = entry.path();
  }
  return found;
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
  std::optional<std::filesystem::path> config = findNoCase(folder, "System32");
  if (config) config = findNoCase(*config, "config");
  if (config) {
    for (const char* hive : {"SYSTEM", "SOFTWARE"})
      if (const auto file = findNoCase(*config, hive))
        options.hives.push_back(std::string(hive) + '=' + file->string());
  }
  if (const auto dat = findNoCase(folder, "SYSTEM.DAT")) {
    if (!options.hives.empty())
      throw UsageError("--windows: both " + dat->string() + " (Windows 95/98/Me) and " +
                       options.hives.front().substr(options.hives.front().find('=') + 1) +
                       " (Windows NT) are there; name one with --registry or --hive");
    options.registry = dat->string();
    return;
  }
  if (options.hives.empty())
    throw UsageError("--windows " + folder.string() +
                     ": neither SYSTEM.DAT nor System32\\config\\SYSTEM is there");
}

namespace {

// A Windows code page's text decoded to UTF-8 through iconv.
class CodePageDecoder {
public:
  explicit CodePageDecoder(int codepage)
      : handle_(::iconv_open("UTF-8", ("CP" + std::to_string(codepage)).c_str())) {}
  ~CodePageDecoder() {
    if (handle_ != invalid()) ::iconv_close(handle_);
  }
  CodePageDecoder(const CodePageDecoder&) = delete;
  CodePageDecoder& operator=(const CodePageDecoder&) = delete;

  std::string decode(std::string_view text) const {
    if (handle_ == invalid()) return latin1ToUtf8(text);
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
      // ASCII as it is; each other character on its own, so that one that
      // does not decode spoils nothing around it.
      if (static_cast<unsigned char>(text[i]) < 0x80) {
        out += text[i++];
        continue;
      }
      ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);
      bool done = false;
      for (std::size_t length = 1; !done && length <= 2 && i + length <= text.size(); ++length) {
        char in[2] = {};
        std::memcpy(in, text.data() + i, length);
        char buffer[16];
        char* from = in;
        std::size_t fromLeft = length;
        char* to = buffer;
        std::size_t toLeft = sizeof buffer;
        if (::iconv(handle_, &from, &fromLeft, &to, &toLeft) != std::size_t(-1) && fromLeft == 0) {
          out.append(buffer, sizeof buffer - toLeft);
          i += length;
          done = true;
        }
        ::iconv(handle_, nullptr, nullptr, nullptr, nullptr);
      }
      if (!done) out += latin1ToUtf8(text.substr(i++, 1));
    }
    return out;
  }

private:
  static iconv_t invalid() { return reinterpret_cast<iconv_t>(-1); }
  iconv_t handle_;
};

class CregSource : public ImageSource {
public:
  // The CREG file that --registry names, opened (and for --commit locked)
  // and checked before anything runs. Throws UsageError for a damaged file
  // and options that do not fit it.
  explicit CregSource(const Options& options) : file_(*options.registry) {
    try {
      // Locked from here for a commit, before anything is read.
      input_ = std::make_shared<image::InputFile>(image::InputFile::open(file_, options.commit));
      const int codepage = options.codepage.value_or(1252);
      mount_ = image::readDat(file_, codepage);
      version_ = image::datVersionNumber(mount_);
      readOnly_ = image::dat::notWritable(mount_.summary);
      if (readOnly_.empty() && image::osForVersionNumber(version_) == "win95")
        readOnly_ = "a Windows 95 registry (VersionNumber " + version_ +
                    "): writing it back has not been proven on such a file";
      if (!readOnly_.empty() && (options.commit || options.saveDat))
        throw UsageError(file_ + ": " + readOnly_ +
                         "; --commit and --save-dat are refused (--changes previews)");
    } catch (const image::Error& e) {
      throw UsageError(e.what());
    }
  }

  // --os when given, else the version the file's VersionNumber names.
  std::string os(const Options& options, const CheckedOptions&) const override {
    if (options.osGiven) return options.os;
    const auto os = image::osForVersionNumber(version_);
    if (!os)
      throw UsageError(file_ + ": VersionNumber '" + version_ +
                       "' names no Windows 95, 98 or Me; give --os");
    return *os;
  }

  void checkOs(const sim::Machine& machine) const override {
    if (machine.system.version().isNtFamily())
      throw UsageError("a CREG file is a Windows 95/98/Me registry; --os must name one of those");
  }

  void load(sim::Machine& machine, bool undo, std::ostream&) override {
    try {
      image::loadDat(machine.registry, mount_);
    } catch (const image::Error& e) {
      throw UsageError(e.what());
    }
    if (undo) loaded_ = image::snapshotBelow(machine.registry, {mount_.mountPath});
  }

  // HKEY_LOCAL_MACHINE as it is, HKEY_CURRENT_CONFIG as the configuration it
  // stands for, and HKEY_CLASSES_ROOT as Software\Classes, where Windows 95
  // and 98 keep it; the keys of USER.DAT, and Windows Me's CLASSES.DAT, are
  // refused.
  void import(sim::Machine& machine, const std::string& file) const override {
    image::loadRegFile(machine.registry, file, importScope(machine));
  }

  std::string undoText(const sim::Machine& machine, image::RegFormat format) const override {
    return image::writeUndoDiff(loaded_, image::snapshotBelow(machine.registry, {mount_.mountPath}),
                                format);
  }

  bool commitsUndo(const Options& options) const override { return options.commit; }

  // --save-dat, and --commit through the commit pipeline or, without it,
  // the writer's walk in memory, which refuses what a commit would.
  void finish(const sim::Machine& machine, const Options& options, image::RegFormat format,
              std::ostream& err) override {
    try {
      if (options.saveDat) {
        image::ImageDiff diff;
        image::replaceFile(*options.saveDat, [&](const std::filesystem::path& file) {
          diff = image::writeDat(machine.registry, mount_, file);
          recheck(*input_);
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
      commitThrough({&file}, machine, options, format, err);
    } catch (const image::Error& e) {
      throw UsageError(e.what());
    }
  }

  void check(std::ostream& out) const override {
    const image::dat::Summary& summary = mount_.summary;
    out << file_ << ": CREG file, " << summary.keys << " keys, " << summary.values << " values, "
        << summary.blocks << " data blocks, " << summary.freeRecordBytes + summary.freeEntryBytes
        << " bytes free (" << summary.freeRecordBytes << " in free records, "
        << summary.freeEntryBytes << " in the key table)"
        << ", names in code page " << mount_.codepage;
    if (const std::string why = image::dat::notWritable(summary); !why.empty())
      out << "; read only: " << why;
    out << '\n';
  }

  nlohmann::ordered_json describe(const sim::Machine&) const override {
    const std::vector<std::uint8_t>& bytes = mount_.bytes;
    const auto word = [&bytes](std::size_t at) {
      return at + 1 < bytes.size() ? unsigned(bytes[at] | bytes[at + 1] << 8) : 0u;
    };
    const bool packed = mount_.summary.layout == image::dat::Layout::win95;
    return {{"kind", "creg"},
            {"file", latin1ToUtf8(file_)},
            {"format", "CREG " + std::to_string(word(6)) + '.' + std::to_string(word(4))},
            {"layout", packed ? "packed" : "chained"},
            {"readOnly", readOnly_.empty() ? nlohmann::ordered_json()
                                           : nlohmann::ordered_json(toUtf8(readOnly_))},
            {"codepage", mount_.codepage}};
  }

  // Through iconv, from the code page the file was read with; a byte that
  // the code page does not define stays as its Latin-1 character.
  std::string toUtf8(std::string_view text) const override {
    if (!decoder_) decoder_.emplace(mount_.codepage);
    return decoder_->decode(text);
  }

private:
  std::string file_;
  std::shared_ptr<image::InputFile> input_;
  image::RegistrySnapshot loaded_;
  std::string version_;   // VersionNumber, as the file holds it
  std::string readOnly_;  // why the file is not written back, if it is not
  image::DatMount mount_;
  mutable std::optional<CodePageDecoder> decoder_;

  image::ImportScope importScope(const sim::Machine& machine) const {
    image::ImportScope scope;
    scope.within = {mount_.mountPath};
    const std::string name = input_->given().filename().string();
    scope.outside = "is not in " + name;
    // The configuration that HKEY_CURRENT_CONFIG stands for, as "0001".
    std::string config;
    for (const sim::Value& value : machine.registry.values(
             mount_.mountPath + "\\System\\CurrentControlSet\\Control\\IDConfigDB")) {
      if (!image::text::equalNoCase(value.name, "CurrentConfig")) continue;
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
};

}  // namespace

std::unique_ptr<ImageSource> openCreg(const Options& options) {
  return std::make_unique<CregSource>(options);
}

}  // namespace tool
