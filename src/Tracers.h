// Trace lines on the debug-output channel. Everything hangs on one switch,
// off when the library is loaded unless the build turns it on; while it is
// off a trace call costs one test and formats nothing.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

namespace qvinst {

// One argument of a formatted trace: a 32-bit integer or a text.
class TraceArg {
public:
  // Any integer: counts, return codes (DWORD, CONFIGRET), dialog answers.
  template <typename T, std::enable_if_t<std::is_integral_v<T>, int> = 0>
  TraceArg(T value) : isText_(false), number_(static_cast<std::int32_t>(value)) {}
  TraceArg(std::string_view text) : isText_(true), text_(text) {}
  TraceArg(const std::string& text) : isText_(true), text_(text) {}
  TraceArg(const char* text) : isText_(true), text_(text ? text : "") {}

  bool isText() const { return isText_; }
  std::int32_t number() const { return number_; }
  std::string_view text() const { return text_; }

private:
  bool isText_;
  std::int32_t number_ = 0;
  std::string_view text_;
};

extern bool traceEnabled;

// Load-time state: the switch as the build sets it.
void initTracers();
// For the tool and the tests; nothing in the library calls it.
void setTraceEnabled(bool on);

// "%s" writes a text unchanged, "%d" a signed decimal, "%x" upper-case hex
// of the unsigned 32-bit value. Argument texts are never read as formats; a
// directive without an argument is written as it stands.
std::string formatTrace(std::string_view format, std::initializer_list<TraceArg> args);

// Formats the line, appends a line feed and writes it to the channel.
void Trace(std::string_view format, std::initializer_list<TraceArg> args);
// Writes the text itself as a line: a "%" in it is not a directive.
void TraceMsg(std::string_view text);

}  // namespace qvinst
