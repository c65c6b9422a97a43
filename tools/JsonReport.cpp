#include "JsonReport.h"

#include <array>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <span>
#include <sstream>
#include <string_view>

#include "ImageSource.h"
#include "RootKeys.h"

namespace tool {

namespace {

using json = nlohmann::ordered_json;

// Text that is not the image's own (dialogs, messages) is 8-bit Latin-1;
// JSON wants UTF-8, so each byte becomes the code point of the same number.
std::string utf8(std::string_view latin1) {
  return latin1ToUtf8(latin1);
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

json dialogOf(const sim::Dialogs::Shown& shown,
              const std::function<std::string(std::string_view)>& utf8) {
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

JsonReport::JsonReport(nlohmann::ordered_json image, const std::string& os,
                       const sim::Machine& machine,
                       std::function<std::string(std::string_view)> text)
    : doc_({{"tool", toolOf()},
            {"image", std::move(image)},
            {"windows", windowsOf(os, machine)},
            {"calls", json::array()},
            {"changes", json::array()},
            {"warnings", json::array()},
            {"notes", json::array()}}),
      text_(std::move(text)) {}

void JsonReport::call(int ordinal, const char* name, const std::optional<std::string>& text,
                      std::int32_t result, std::span<const sim::Dialogs::Shown> dialogs) {
  json shown = json::array();
  for (const auto& dialog : dialogs) shown.push_back(dialogOf(dialog, text_));
  doc_["calls"].push_back({{"export", name},
                           {"ordinal", ordinal},
                           {"text", text ? json(text_(*text)) : json(nullptr)},
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
    if (!text.empty()) doc_[warning ? "warnings" : "notes"].push_back(text_(text));
  }
}

void JsonReport::write(const sim::ChangeLog& changes, std::ostream& out) const {
  json root = doc_;
  json& list = root["changes"];
  for (const auto& change : changes) {
    json entry = {{"kind", kindName(change.kind)},
                  {"path", text_(isRegistryPath(change.kind) ? sim::path::briefRootPath(change.path)
                                                             : change.path)}};
    if (change.kind == sim::Change::Kind::DeletedValue)
      entry["valueName"] = text_(change.valueName);
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
