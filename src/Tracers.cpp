#include "Tracers.h"

#include <charconv>

#include "Platform.h"

namespace qvinst {

#ifdef QVINST98_TRACE_AT_LOAD
constexpr bool traceAtLoad = true;
#else
constexpr bool traceAtLoad = false;
#endif

bool traceEnabled = false;

void initTracers() {
  traceEnabled = traceAtLoad;
}

void setTraceEnabled(bool on) {
  traceEnabled = on;
}

namespace {

void appendArg(std::string& out, char directive, const TraceArg& arg) {
  if (arg.isText()) {
    out.append(arg.text());
    return;
  }
  // to_chars rather than snprintf: the DLL then carries no printf engine.
  char digits[16];
  char* end = digits;
  if (directive == 'x') {
    end =
        std::to_chars(digits, digits + sizeof digits, static_cast<unsigned>(arg.number()), 16).ptr;
    for (char* d = digits; d != end; ++d) {
      if (*d >= 'a' && *d <= 'f') *d = static_cast<char>(*d - 'a' + 'A');
    }
  } else {
    end = std::to_chars(digits, digits + sizeof digits, static_cast<int>(arg.number())).ptr;
  }
  out.append(digits, end);
}

void writeLine(std::string line) {
  line.push_back('\n');
  platform::get().debug.OutputDebugStringA(line.c_str());
}

}  // namespace

std::string formatTrace(std::string_view format, std::initializer_list<TraceArg> args) {
  std::string out;
  out.reserve(format.size() + 32);
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    const char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out.push_back(c);
      continue;
    }
    const char directive = format[i + 1];
    if (directive == 's' || directive == 'd' || directive == 'x') {
      if (next == args.end()) {
        out.push_back('%');
        out.push_back(directive);
      } else {
        appendArg(out, directive, *next++);
      }
      ++i;
    } else if (directive == '%') {
      out.push_back('%');
      ++i;
    } else {
      out.push_back('%');
    }
  }
  return out;
}

void Trace(std::string_view format, std::initializer_list<TraceArg> args) {
  if (!traceEnabled) return;
  writeLine(formatTrace(format, args));
}

void TraceMsg(std::string_view text) {
  if (!traceEnabled) return;
  writeLine(std::string(text));
}

}  // namespace qvinst
