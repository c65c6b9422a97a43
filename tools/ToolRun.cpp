#include "ToolRun.h"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "BundledMachines.h"
#include "DatTool.h"
#include "Exports.h"
#include "FileOps.h"
#include "HiveTool.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"

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

void loadImage(sim::Machine& machine, const Options& options) {
  if (options.registry) {
    try {
      sim::loadRegFile(machine.registry, *options.registry);
    } catch (const sim::RegFileError& e) {
      throw UsageError(e.what());
    }
    return;
  }
  // Without an image: the named bundled machine, or the one of the chosen
  // Windows family.
  const std::string wanted = options.machine                       ? *options.machine
                             : machine.system.version().major == 4 ? "win98"
                                                                   : "winxp";
  std::string known;
  for (const auto& bundled : bundledMachines()) {
    if (bundled.name == wanted) {
      sim::applyRegText(machine.registry, std::string(bundled.bytes, bundled.size),
                        "bundled " + wanted + ".reg");
      return;
    }
    known += (known.empty() ? "" : ", ") + bundled.name;
  }
  throw UsageError("no bundled sample machine '" + wanted + "'; bundled: " + known);
}

// Writes a file the tool makes (--save, --undo) so that a failure midway,
// a full disk for one, leaves the file that was there whole: a temporary file
// beside it, synced and renamed over it. `--save` may name the image it read.
// A device or a pipe (/dev/stdout) is written directly, and a symbolic link
// keeps pointing where it did.
void writeOutput(const std::string& path, const std::function<void(std::ostream&)>& write) {
  const auto direct = [&](const std::filesystem::path& file) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    write(out);
    out.flush();
    if (!out) throw image::FileError("cannot write " + file.string());
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
    image::replaceFile({target, {}, {}, {}, direct});
  } catch (const image::FileError&) {
    throw UsageError("cannot write '" + path + "'");
  } catch (const std::filesystem::filesystem_error&) {
    throw UsageError("cannot write '" + path + "'");
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

int run(const Options& options, std::ostream& out, std::ostream& err) {
  // Everything that can be refused is checked before any call runs.
  if (options.check) return checkImage(options, out);
  if (options.registry && options.machine) {
    throw UsageError("--registry and --machine exclude each other");
  }
  if (options.calls.empty() && !options.save && !options.undo && !options.changes &&
      !options.commit && !options.saveHive && !options.saveDat) {
    throw UsageError("nothing to do: name at least one export, or --save FILE (see --help)");
  }
  std::vector<ParsedCall> calls;
  for (const auto& call : options.calls) calls.push_back(parseCall(call));
  const sim::Dialogs::Answer answer = parseAnswer(options.answer);
  std::optional<DatImages> dat = DatImages::prepare(options);
  std::optional<HiveImages> hives = dat ? std::nullopt : HiveImages::prepare(options);
  const std::string os = dat ? dat->os(options) : hives ? hives->os(options) : options.os;

  sim::Machine machine;
  if (!machine.setOs(os)) {
    throw UsageError("unknown --os '" + options.os +
                     "'; use win95, win98, winme, nt4, win2k, winxp, vista, win7, win10 or "
                     "MAJOR.MINOR");
  }
  if (hives && !machine.system.version().isNtFamily()) {
    throw UsageError("a hive image is an NT registry; --os must name an NT version, not '" + os +
                     "'");
  }
  if (dat) dat->checkOs(machine);
  if (dat) {
    dat->load(machine.registry);
  } else if (hives) {
    hives->load(machine.registry, err);
  } else {
    loadImage(machine, options);
  }
  for (const auto& file : options.imports) {
    try {
      sim::loadRegFile(machine.registry, file);
    } catch (const sim::RegFileError& e) {
      throw UsageError(e.what());
    }
  }
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
    for (std::size_t i = dialogsBefore; i < machine.dialogs.shown().size(); ++i) {
      out << describeDialog(machine.dialogs.shown()[i]) << '\n';
    }
    out << call.entry->name << " -> " << result << '\n';
  }
  out.flush();

  if (options.changes) {
    for (const auto& change : machine.changes) out << change.describe() << '\n';
  }
  const sim::RegFormat format =
      machine.system.version().major == 4 ? sim::RegFormat::Regedit4 : sim::RegFormat::Regedit5;
  if (options.save) {
    writeOutput(*options.save, [&](std::ostream& file) {
      sim::writeRegImage(machine.registry, file, format);  // streamed, key by key
    });
  }
  if (options.undo) {
    const std::string undo = sim::writeUndoText(machine.changes, format);
    writeOutput(*options.undo, [&](std::ostream& file) { file << undo; });
  }
  if (hives) hives->finish(machine, options, format, err);
  if (dat) dat->finish(machine, options, err);
  return 0;
}

}  // namespace tool
