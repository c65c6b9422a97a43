#include "JsonReport.h"

#include <array>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string_view>

#include "HiveImage.h"
#include "SimPath.h"

namespace tool {

namespace {

using json = nlohmann::ordered_json;

// The registry holds 8-bit text, read from the images as Latin-1; JSON
// wants UTF-8, so each byte becomes the code point of the same number and
// nothing is lost or replaced.
std::string utf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (const char c : latin1) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += static_cast<char>(0xC0 | (byte >> 6));
      out += static_cast<char>(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

// The first bytes of an image file, to name its format.
std::string head(const std::string& file, std::size_t count) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::uint32_t littleEndian32(const std::string& bytes, std::size_t at) {
  std::uint32_t value = 0;
  for (std::size_t i = 4; i-- > 0;)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// "regf 1.3": the hive format's major and minor version from the base block.
std::string hiveFormat(const std::string& file) {
  const std::string bytes = head(file, 0x1C);
  if (bytes.size() < 0x1C) return "regf";
  return "regf " + std::to_string(littleEndian32(bytes, 0x14)) + '.' +
         std::to_string(littleEndian32(bytes, 0x18));
}

// The header line of a .reg image: REGEDIT4, or version 5.00 in UTF-16LE or
// UTF-8.
std::string regFormat(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return "Windows Registry Editor Version 5.00 (UTF-16LE)";
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  if (bytes.starts_with("REGEDIT4")) return "REGEDIT4";
  if (bytes.starts_with("Windows Registry Editor Version 5.00"))
    return "Windows Registry Editor Version 5.00 (UTF-8)";
  return "unknown";
}

json imageOf(const Options& options, const sim::Machine& machine) {
  std::vector<std::pair<std::string, std::string>> hives;
  if (options.registry && image::looksLikeHive(*options.registry))
    hives.emplace_back("SYSTEM", *options.registry);
  for (const auto& given : options.hives) {
    const auto eq = given.find('=');
    hives.emplace_back(given.substr(0, eq), given.substr(eq + 1));
  }
  if (!hives.empty()) {
    json mounts = json::array();
    for (const auto& [name, file] : hives)
      mounts.push_back({{"name", utf8(name)}, {"file", utf8(file)}, {"format", hiveFormat(file)}});
    return {{"kind", "hive"}, {"hives", mounts}};
  }
  if (options.registry) {
    return {{"kind", "reg"},
            {"file", utf8(*options.registry)},
            {"format", regFormat(head(*options.registry, 64))}};
  }
  // The same choice as the run's: the named machine, or the family's.
  const std::string name = options.machine                       ? *options.machine
                           : machine.system.version().major == 4 ? "win98"
                                                                 : "winxp";
  return {{"kind", "bundled"}, {"name", name}, {"format", "REGEDIT4"}};
}

json windowsOf(const std::string& os, const sim::Machine& machine) {
  const sim::WindowsVersion& version = machine.system.version();
  return {{"os", os},
          {"major", version.major},
          {"minor", version.minor},
          {"build", version.build},
          {"family", version.isNtFamily() ? "nt" : "9x"}};
}

const char* kindName(sim::Change::Kind kind) {
  switch (kind) {
    case sim::Change::Kind::DeletedKey:
      return "deleted key";
    case sim::Change::Kind::DeletedValue:
      return "deleted value";
    case sim::Change::Kind::RemovedDevice:
      return "removed device";
    case sim::Change::Kind::CreatedNode:
      return "created node";
    case sim::Change::Kind::RemovedNode:
      return "removed node";
    case sim::Change::Kind::CreatedKey:
      return "created key";
    case sim::Change::Kind::DeletedFile:
      return "deleted file";
  }
  return "unknown";
}

bool isRegistryPath(sim::Change::Kind kind) {
  return kind == sim::Change::Kind::DeletedKey || kind == sim::Change::Kind::DeletedValue ||
         kind == sim::Change::Kind::CreatedKey;
}

json dialogOf(const sim::Dialogs::Shown& shown) {
  const bool yesNo = shown.dialog.buttons == platform::MessageDialog::Buttons::YesNo;
  const char* answer = shown.answer == 6   ? "yes"
                       : shown.answer == 7 ? "no"
                       : shown.answer == 1 ? "ok"
                       : shown.answer == 2 ? "closed"
                                           : "other";
  return {{"caption", utf8(shown.dialog.caption)},
          {"text", utf8(shown.dialog.text)},
          {"buttons", yesNo ? "yes-no" : "ok"},
          {"result", shown.answer},
          {"answer", answer}};
}

json toolOf() {
  return {{"name", "qvinst98"}, {"version", QVINST98_VERSION}};
}

}  // namespace

JsonReport::JsonReport(const Options& options, const std::string& os, const sim::Machine& machine)
    : doc_({{"tool", toolOf()},
            {"image", imageOf(options, machine)},
            {"windows", windowsOf(os, machine)},
            {"calls", json::array()},
            {"changes", json::array()},
            {"warnings", json::array()},
            {"notes", json::array()}}) {}

void JsonReport::call(int ordinal, const char* name, const std::optional<std::string>& text,
                      std::int32_t result, std::span<const sim::Dialogs::Shown> dialogs) {
  json shown = json::array();
  for (const auto& dialog : dialogs) shown.push_back(dialogOf(dialog));
  doc_["calls"].push_back({{"export", name},
                           {"ordinal", ordinal},
                           {"text", text ? json(utf8(*text)) : json(nullptr)},
                           {"result", result},
                           {"dialogs", shown}});
}

void JsonReport::messages(const std::string& lines) {
  constexpr std::string_view kWarning = "qvinst98: warning: ";
  constexpr std::string_view kTool = "qvinst98: ";
  std::istringstream in(lines);
  for (std::string line; std::getline(in, line);) {
    std::string_view text = line;
    const bool warning = text.starts_with(kWarning);
    text.remove_prefix(warning ? kWarning.size() : text.starts_with(kTool) ? kTool.size() : 0);
    if (!text.empty()) doc_[warning ? "warnings" : "notes"].push_back(utf8(text));
  }
}

void JsonReport::write(const sim::ChangeLog& changes, std::ostream& out) const {
  json root = doc_;
  json& list = root["changes"];
  for (const auto& change : changes) {
    json entry = {{"kind", kindName(change.kind)},
                  {"path", utf8(isRegistryPath(change.kind) ? sim::path::briefRootPath(change.path)
                                                            : change.path)}};
    if (change.kind == sim::Change::Kind::DeletedValue) entry["valueName"] = utf8(change.valueName);
    list.push_back(std::move(entry));
  }
  out << root.dump(2) << '\n';
}

void writeJsonError(std::ostream& out, const std::string& message, int status) {
  const json root = {{"tool", toolOf()},
                     {"error", {{"message", utf8(message)}, {"status", status}}}};
  out << root.dump(2) << '\n';
}

bool wantsJson(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--") == 0) return false;
    if (std::strcmp(argv[i], "--json") == 0) return true;
  }
  return false;
}

}  // namespace tool
