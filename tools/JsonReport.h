// The tool's --json output: one JSON document on standard output instead of
// the text lines, for scripts. The run feeds it as the text lines would be
// printed; write() emits the JSON document once, at the end.
#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "Changes.h"
#include "Machine.h"
#include "ToolRun.h"

namespace tool {

class JsonReport {
public:
  // The image as its source describes it (ImageSource::describe) and the
  // Windows the machine runs (`os` as the run chose it).
  // `text` turns the registry's 8-bit text into UTF-8.
  JsonReport(nlohmann::ordered_json image, const std::string& os, const sim::Machine& machine,
             std::function<std::string(std::string_view)> text);

  // One export's call: its text argument when given, its result, and the
  // dialogs it showed.
  void call(int ordinal, const char* name, const std::optional<std::string>& text,
            std::int32_t result, std::span<const sim::Dialogs::Shown> dialogs);
  // What the tool wrote to standard error apart from the trace, one message
  // a line ("qvinst98: warning: ..." becomes a warning, any other a note).
  void messages(const std::string& lines);
  void write(const sim::ChangeLog& changes, std::ostream& out) const;

private:
  nlohmann::ordered_json doc_;
  std::function<std::string(std::string_view)> text_;
};

// An error that ends the tool with `status`, as the one document of the run.
void writeJsonError(std::ostream& out, const std::string& message, int status);

// Whether the command line asks for --json; read before the command line is
// parsed, so that a command line the parser refuses is reported as JSON too.
bool wantsJson(int argc, char** argv);

}  // namespace tool
