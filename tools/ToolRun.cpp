#include "ToolRun.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <span>
#include <sstream>

#include "DatImage.h"
#include "Exports.h"
#include "FileOps.h"
#include "HiveImage.h"
#include "ImageSource.h"
#include "ImageText.h"
#include "JsonReport.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"
#include "WindowsVersion.h"

namespace tool {

namespace {

const qvinst::ExportEntry* findExport(const std::string& name) {
  for (const auto& entry : qvinst::exportTable) {
    if (name == entry.name) return &entry;
  }
  return nullptr;
}

std::string joinExports() {
  std::string all;
  for (const auto& name : exportNames()) {
    if (!all.empty()) all += ", ";
    all += name;
  }
  return all;
}

struct ParsedCall {
  const qvinst::ExportEntry* entry;
  std::optional<std::string> text;
};

ParsedCall parseCall(const std::string& call) {
  const auto eq = call.find('=');
  const std::string name = call.substr(0, eq);
  const qvinst::ExportEntry* entry = findExport(name);
  if (entry == nullptr) {
    throw UsageError("unknown export '" + name + "'; known exports: " + joinExports());
  }
  ParsedCall parsed{entry, std::nullopt};
  if (eq != std::string::npos) parsed.text = call.substr(eq + 1);
  return parsed;
}

sim::Dialogs::Answer parseAnswer(const std::string& answer) {
  if (answer == "yes") return sim::Dialogs::Answer::Yes;
  if (answer == "no") return sim::Dialogs::Answer::No;
  if (answer == "esc") return sim::Dialogs::Answer::Esc;
  if (answer == "close") return sim::Dialogs::Answer::Close;
  throw UsageError("--answer takes yes, no, esc or close, not '" + answer + "'");
}

std::string describeDialog(const sim::Dialogs::Shown& shown) {
  const bool yesNo = shown.dialog.buttons == platform::MessageDialog::Buttons::YesNo;
  std::ostringstream line;
  line << "dialog: \"" << shown.dialog.caption << "\" "
       << (yesNo ? "[&Yes] [&No] default=&Yes esc=&No" : "[OK] default=OK esc=OK");
  const char* meaning = shown.answer == 6   ? "Yes"
                        : shown.answer == 7 ? "No"
                        : shown.answer == 1 ? "OK"
                        : shown.answer == 2 ? "closed"
                                            : "?";
  line << " -> " << shown.answer << " (" << meaning << ")";
  return line.str();
}

// Writes a file the tool makes (--save, --undo) so that a failure midway,
// a full disk for one, leaves the file that was there whole: a temporary file
// beside it, synced and renamed over it. With a .reg image `--save` may name
// the image it read. A device or a pipe (/dev/stdout) is written directly,
// and a symbolic link keeps pointing where it did.
void writeOutput(const std::string& path, const std::function<void(std::ostream&)>& write) {
  const auto direct = [&](const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    errno = 0;
    write(out);
    out.flush();
    if (!out) throw image::Error(file, errno != 0 ? std::strerror(errno) : "cannot be written");
  };
  // The name given and the system's reason, never the temporary file's name.
  const auto refused = [&path](const std::string& reason) {
    return UsageError("cannot write '" + path + "' (" + reason + ")");
  };
  try {
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
      direct(path);
      return;
    }
    const std::filesystem::path target = std::filesystem::exists(status)
                                             ? std::filesystem::canonical(path)
                                             : std::filesystem::path(path);
    image::replaceFile(target, direct);
  } catch (const image::Error& e) {
    const std::string& detail = e.detail();
    const auto open = detail.rfind(" (");
    throw refused(open != std::string::npos && detail.back() == ')'
                      ? detail.substr(open + 2, detail.size() - open - 3)
                      : detail);
  } catch (const std::filesystem::filesystem_error& e) {
    throw refused(e.code().message());
  }
}

}  // namespace

std::vector<std::string> exportNames() {
  std::vector<std::string> names;
  for (const auto& entry : qvinst::exportTable) names.emplace_back(entry.name);
  return names;
}

void listPlatformCalls(std::ostream& out) {
  for (std::string_view name : sim::kCallNames) out << name << '\n';
}

namespace {

std::optional<std::uint64_t> parseNumber(std::string text, bool allowHex) {
  int base = 10;
  if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    text = text.substr(2);
    base = 16;
  }
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace

Failure parseFailure(const std::string& text) {
  const auto eq = text.find('=');
  if (eq == std::string::npos || eq == 0 || eq + 1 == text.size()) {
    throw UsageError("--fail takes CALL=CODE, CALL=CODE@N or CALL=CODE@N+, not '" + text + "'");
  }
  Failure failure;
  failure.call = text.substr(0, eq);
  if (!sim::findCall(failure.call)) {
    std::string nearest;
    for (std::string_view name : sim::nearestCalls(failure.call))
      nearest += (nearest.empty() ? "" : ", ") + std::string(name);
    throw UsageError("--fail: unknown platform call '" + failure.call + "'; nearest: " + nearest +
                     " (--list-calls lists all)");
  }
  std::string code = text.substr(eq + 1);
  const auto at = code.find('@');
  if (at != std::string::npos) {
    std::string position = code.substr(at + 1);
    code.resize(at);
    failure.andLater = !position.empty() && position.back() == '+';
    if (failure.andLater) position.pop_back();
    const auto nth = parseNumber(position, /*allowHex=*/false);
    if (!nth || *nth == 0) {
      throw UsageError("--fail: '@" + text.substr(eq + 1 + at + 1) +
                       "' is not a call number (N or N+, N from 1)");
    }
    failure.nth = *nth;
  }
  const auto value = parseNumber(code, /*allowHex=*/true);
  if (!value || *value > 0xFFFFFFFFu) {
    throw UsageError("--fail: '" + code + "' is not a decimal or 0x hex code");
  }
  failure.code = static_cast<std::uint32_t>(*value);
  return failure;
}

namespace {

bool isRegularFile(const std::string& file) {
  struct stat info {};
  return ::stat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// What a name holds when it is a regular file: a hive, a CREG file, other.
enum class Content { None, Hive, Creg, Other };
Content contentOf(const std::string& file) {
  // Only a regular file is opened to look: a pipe's bytes would be gone.
  if (!isRegularFile(file)) return Content::None;
  if (image::looksLikeHive(file)) return Content::Hive;
  if (image::looksLikeDat(file)) return Content::Creg;
  return Content::Other;
}

// Outputs never name an input or each other: by the file a name reaches
// (a link followed) and, for a file not there yet, by its folder and name.
// Every kind of image takes this one check, in a preview as in a commit.
void refuseCrossedFiles(const Options& options, const CheckedOptions& checked) {
  const std::vector<HiveOption>& hives = checked.hives;
  struct Named {
    std::string option;
    std::string file;
  };
  std::vector<Named> inputs;
  const bool registryIsReg = checked.kind == ImageKind::Reg;
  if (options.registry && hives.empty()) inputs.push_back({"--registry", *options.registry});
  for (const HiveOption& hive : hives) inputs.push_back({"--hive", hive.file});
  for (const std::string& file : options.imports) inputs.push_back({"--import", file});
  std::vector<Named> outputs;
  if (options.save) outputs.push_back({"--save", *options.save});
  if (options.undo) outputs.push_back({"--undo", *options.undo});
  if (options.backup) outputs.push_back({"--backup", *options.backup});
  if (options.saveHive) outputs.push_back({"--save-hive", *options.saveHive});
  if (options.saveDat) outputs.push_back({"--save-dat", *options.saveDat});
  for (std::size_t i = 0; i < outputs.size(); ++i) {
    const Named& output = outputs[i];
    // A hive or a CREG file is a machine's registry: text never replaces it.
    if (output.option == "--save" || output.option == "--undo") {
      const Content content = contentOf(output.file);
      if (content == Content::Hive || content == Content::Creg)
        throw UsageError(output.option + " " + output.file + " is a " +
                         (content == Content::Hive ? "registry hive" : "CREG file") +
                         "; text never replaces it; refused");
    }
    const auto id = image::identityOf(output.file);
    if (!id) continue;  // its folder is missing: writing it fails on its own
    for (const Named& input : inputs) {
      if (image::identityOf(input.file) != id) continue;
      // As before: a .reg image may be saved over itself.
      if (output.option == "--save" && input.option == "--registry" && registryIsReg) continue;
      if (output.option == "--save-hive" && input.option == "--hive")
        throw UsageError("--save-hive names the hive itself; use --commit to change it");
      if (output.option == "--save-dat" && input.option == "--registry")
        throw UsageError("--save-dat names the CREG file itself; write to another file");
      throw UsageError(output.option + " " + output.file + " names an input (" + input.file +
                       "); refused");
    }
    for (std::size_t k = 0; k < i; ++k)
      if (image::identityOf(outputs[k].file) == id)
        throw UsageError(output.option + " and " + outputs[k].option + " name one file; refused");
  }
  for (std::size_t i = 0; i < hives.size(); ++i)
    for (std::size_t k = 0; k < i; ++k)
      if (image::identityOf(hives[i].file) == image::identityOf(hives[k].file))
        throw UsageError("--hive " + hives[k].name + " and " + hives[i].name +
                         " name one file; refused");
}

}  // namespace

CheckedOptions checkImageOptions(const Options& options) {
  CheckedOptions checked;
  checked.os = options.os;
  auto add = [&checked](const std::string& name, const std::string& file) {
    HiveOption hive{image::text::upper(name), file};
    if (hive.name != "SYSTEM" && hive.name != "SOFTWARE")
      throw UsageError("--hive takes SYSTEM=FILE or SOFTWARE=FILE, not '" + name + "'");
    for (const HiveOption& other : checked.hives)
      if (other.name == hive.name) throw UsageError("--hive " + hive.name + " is given twice");
    checked.hives.push_back(std::move(hive));
  };
  // The kind, once, from the content of --registry.
  const Content content = options.registry ? contentOf(*options.registry) : Content::None;
  checked.kind = !options.registry          ? ImageKind::Bundled
                 : content == Content::Hive ? ImageKind::Hives
                 : content == Content::Creg ? ImageKind::Creg
                                            : ImageKind::Reg;
  if (checked.kind == ImageKind::Hives) add("SYSTEM", *options.registry);
  if (!options.hives.empty() && checked.kind != ImageKind::Bundled &&
      checked.kind != ImageKind::Hives)
    throw UsageError(std::string(checked.kind == ImageKind::Creg ? "a CREG file" : "a .reg image") +
                     " (--registry) and hive files (--hive) exclude each other");
  for (const std::string& given : options.hives) {
    const auto eq = given.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == given.size())
      throw UsageError("--hive takes NAME=FILE (SYSTEM=FILE or SOFTWARE=FILE), not '" + given +
                       "'");
    add(given.substr(0, eq), given.substr(eq + 1));
  }
  if (!checked.hives.empty()) checked.kind = ImageKind::Hives;
  return checked;
}

CheckedOptions checkOptions(const Options& options) {
  if (options.registry && options.machine) {
    throw UsageError("--registry and --machine exclude each other");
  }
  const bool writes = options.save || options.undo || options.commit || options.backup ||
                      options.saveHive || options.saveDat;
  if (options.check) {
    // --check reads the image and stops: what a run would do with it has no place here.
    if (!options.calls.empty()) throw UsageError("--check runs no exports");
    if (writes || options.changes)
      throw UsageError(
          "--check writes nothing; it takes no --changes, --save, --undo, --commit, "
          "--backup, --save-hive or --save-dat");
  } else if (options.calls.empty() && !writes && !options.changes) {
    throw UsageError("nothing to do: name at least one export, or --save FILE (see --help)");
  }
  for (const auto& call : options.calls) parseCall(call);
  parseAnswer(options.answer);

  CheckedOptions checked = checkImageOptions(options);
  refuseCrossedFiles(options, checked);
  const bool creg = checked.kind == ImageKind::Creg;
  if ((options.saveDat || options.codepage) && !creg)
    throw UsageError("--save-dat and --codepage need a CREG file (--registry SYSTEM.DAT)");
  if (options.saveHive && creg)
    throw UsageError("--save-hive is for hive files; a CREG file takes --save-dat");
  // The bundled machines refuse --check themselves, when they are opened.
  if (options.check) return checked;
  if (checked.kind != ImageKind::Hives && !creg) {
    if (options.commit || options.saveHive || options.backup)
      throw UsageError("--commit, --save-hive and --backup need a hive image (--hive NAME=FILE)");
  } else {
    if (options.machine) throw UsageError("--machine and hive images exclude each other");
    if (options.backup && !options.commit) throw UsageError("--backup goes with --commit");
    if (options.backup && checked.hives.size() > 1)
      throw UsageError(
          "--backup names one file; with more than one hive the backups go beside them");
    if (options.saveHive && checked.hives.size() > 1)
      throw UsageError("--save-hive writes one hive; give only that one with --hive");
    if (options.commit) {
      if (options.backup && image::nameTaken(*options.backup))
        throw UsageError("--backup " + *options.backup +
                         ": the file exists; a backup is never overwritten");
      std::optional<std::string> undo = options.undo;
      if (!undo && options.backup) undo = image::undoPathFor(*options.backup).string();
      if (undo && image::nameTaken(*undo))
        throw UsageError(*undo + ": the file exists; an undo file is never overwritten");
    }
    if (!options.osGiven) checked.os = "winxp";  // hive images come from NT
  }

  const auto version = sim::WindowsVersion::fromName(checked.os);
  if (!version) {
    throw UsageError("unknown --os '" + options.os +
                     "'; use win95, win98, winme, nt4, win2k, winxp, vista, win7, win10 or "
                     "MAJOR.MINOR");
  }
  if (!checked.hives.empty() && !version->isNtFamily()) {
    throw UsageError("a hive image is an NT registry; --os must name an NT version, not '" +
                     checked.os + "'");
  }
  return checked;
}

int run(const Options& options, std::ostream& out, std::ostream& err) {
  // Everything that can be refused is checked before anything is read.
  const CheckedOptions checked = checkOptions(options);
  if (options.check) {
    openImage(options, checked)->check(out);
    return 0;
  }
  std::vector<ParsedCall> calls;
  for (const auto& call : options.calls) calls.push_back(parseCall(call));
  const sim::Dialogs::Answer answer = parseAnswer(options.answer);
  const std::unique_ptr<ImageSource> image = openImage(options, checked);
  std::string os = image->os(options, checked);

  sim::Machine machine;
  if (!machine.setOs(os)) throw UsageError("unknown --os '" + os + "'");
  image->checkOs(machine);
  // With --json the tool's own messages go into the JSON report; trace lines stay on `err`.
  std::ostringstream messages;
  std::ostream& notes = options.json ? messages : err;
  image->load(machine, options.commit || options.undo.has_value(), notes);
  // Without --os, the image may name its Windows version.
  if (const auto named = options.osGiven ? std::nullopt : image->loadedOs(machine.registry)) {
    os = *named;
    machine.setOs(os);
  }
  std::optional<JsonReport> json;
  if (options.json)
    json.emplace(image->describe(machine), os, machine,
                 [&image](std::string_view text) { return image->toUtf8(text); });
  for (const auto& file : options.imports) image->import(machine, file);
  if (options.noAdmin) machine.system.setProcessToken(sim::TokenSetup{false, false});
  machine.files.setWindowsDirectory(options.windir);
  for (const auto& path : options.dirs) machine.files.addDirectory(path);
  for (const auto& path : options.files) machine.files.addFile(path);
  machine.dialogs.setAnswer(answer);
  for (const Failure& failure : options.failures)
    machine.log.failCall(failure.call, sim::FaultRule{failure.code, failure.nth, failure.andLater});
  machine.configManager.loadFromRegistry();
  for (const auto& instance : options.unplugged) machine.configManager.markUnplugged(instance);
  machine.debug.setSink([&err](const std::string& line) { err << line << '\n'; });
  machine.log.setRecording(false);

  sim::ScopedMachine installed(machine);
  qvinst::onLoad();
  if (options.trace) qvinst::setTraceEnabled(true);

  for (const auto& call : calls) {
    const std::size_t dialogsBefore = machine.dialogs.shown().size();
    const char* text = call.text ? call.text->c_str() : "";
    const std::int32_t result = call.entry->fn(/*wnd=*/nullptr, /*unused=*/0, text);
    if (json) {
      json->call(call.entry->ordinal, call.entry->name, call.text, result,
                 std::span(machine.dialogs.shown()).subspan(dialogsBefore));
      continue;
    }
    for (std::size_t i = dialogsBefore; i < machine.dialogs.shown().size(); ++i) {
      out << describeDialog(machine.dialogs.shown()[i]) << '\n';
    }
    out << call.entry->name << " -> " << result << '\n';
  }
  out.flush();

  if (options.changes && !json) {
    for (const auto& change : machine.changes) out << change.describe() << '\n';
  }
  for (const auto& [simulated, real] : options.windowsFiles)
    if (!machine.files.fileExists(simulated))
      notes << "qvinst98: " << real << ": deleted by the calls, left in place: files are not "
            << "deleted offline\n";
  const image::RegFormat format =
      machine.system.version().major == 4 ? image::RegFormat::Regedit4 : image::RegFormat::Regedit5;
  // The image's own checks come first: a run they refuse writes nothing.
  image->finish(machine, options, format, notes);
  if (options.save) {
    writeOutput(*options.save, [&](std::ostream& file) {
      image::writeRegImage(machine.registry, file, format);  // streamed, key by key
    });
  }
  // With --commit the undo file is the commit's own.
  if (options.undo && !image->commitsUndo(options)) {
    const std::string undo = image->undoText(machine, format);
    writeOutput(*options.undo, [&](std::ostream& file) { file << undo; });
  }
  if (json) {
    json->messages(messages.str());
    json->write(machine.changes, out);
  }
  return 0;
}

}  // namespace tool
