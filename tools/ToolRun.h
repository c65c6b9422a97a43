// The qvinst98 tool's work, apart from its command line: load a simulated
// machine, load the library, call exports in order and report.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace tool {

// --fail CALL=CODE[@N[+]]: every call of CALL fails with CODE, or only its
// Nth call, or its Nth and every later one.
struct Failure {
  std::string call;
  std::uint32_t code = 0;
  std::uint64_t nth = 1;
  bool andLater = true;
};

struct Options {
  std::optional<std::string> registry;  // .reg image; else a bundled sample machine
  std::optional<std::string> machine;   // a bundled sample machine by name
  std::string os = "win98";
  bool noAdmin = false;
  bool trace = false;
  std::vector<Failure> failures;
  std::optional<std::string> save;
  std::optional<std::string> undo;
  bool changes = false;
  bool json = false;           // one JSON document instead of the text lines (JsonReport.h)
  std::string answer = "yes";  // yes, no, esc, close
  std::string windir = "C:\\WINDOWS";
  std::vector<std::string> files;
  std::vector<std::string> dirs;
  std::vector<std::string> unplugged;
  std::vector<std::string> calls;  // EXPORT or EXPORT=TEXT
  // Hive images (HiveTool.cpp).
  bool osGiven = false;              // --os was on the command line
  std::vector<std::string> hives;    // NAME=FILE
  std::vector<std::string> imports;  // .reg images applied after loading, before the calls
  bool commit = false;
  std::optional<std::string> saveHive;
  std::optional<std::string> backup;
  // CREG files (DatTool.cpp).
  bool check = false;
  std::optional<int> codepage;
  std::optional<std::string> saveDat;
  std::optional<std::string> windows;  // the Windows folder: its registry files
  // Files of the Windows folder that the calls may delete: the simulated
  // path (also in `files`) and the real file, which is never deleted.
  std::vector<std::pair<std::string, std::string>> windowsFiles;
};

// A --hive option (or a --registry file that is a hive): SYSTEM or SOFTWARE.
struct HiveOption {
  std::string name;  // upper case
  std::string file;
};

// The kind of image the options name, found once from the content.
enum class ImageKind { Bundled, Reg, Hives, Creg };

// The options as checked, each with every other, in one place before
// anything is read: the kind of image, the hive options they name, and the
// Windows version.
struct CheckedOptions {
  ImageKind kind = ImageKind::Bundled;
  std::vector<HiveOption> hives;
  std::string os;
};
// The kind of image and the hive options, for --check as for a run. Throws
// UsageError for options that name images of two kinds.
CheckedOptions checkImageOptions(const Options& options);
// Throws UsageError for an option, or a combination, that the tool refuses.
CheckedOptions checkOptions(const Options& options);

// A command line or an input the tool cannot work with: exit status 2.
class UsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Runs the calls; returns the exit status. Throws UsageError before any call
// runs when an option, a call or the image is unusable.
int run(const Options& options, std::ostream& out, std::ostream& err);

// "CALL=CODE", "CALL=CODE@N" or "CALL=CODE@N+", CODE decimal or 0x hex, N
// from 1; CALL one of the calls the simulated machine publishes.
Failure parseFailure(const std::string& text);

// The platform calls that --fail can name, one a line (--list-calls).
void listPlatformCalls(std::ostream& out);
// The exports, in ordinal order.
std::vector<std::string> exportNames();

}  // namespace tool
