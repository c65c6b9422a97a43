// The simulated machine's record of platform calls and its fault plan.
// Every simulated platform call is recorded as its name, its arguments as
// text and its raw result; any published call can be made to fail with a
// given code, on every call or from or at its Nth call.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "CallNames.h"

namespace sim {

struct Call {
  std::string name;     // "RegOpenKeyExA"
  std::string args;     // "HKLM\Enum\USB KEY_ALL_ACCESS"
  std::int64_t result;  // the raw status the call returned
};

// Which calls of one name fail, counted from when the rule is set: the
// `nth` call, and with `andLater` every call after it too.
struct FaultRule {
  std::uint32_t code;  // a Win32 error, or a CONFIGRET for the Configuration Manager
  std::uint64_t nth = 1;
  bool andLater = true;
};

class CallLog {
public:
  void record(CallId call, std::string args, std::int64_t result);
  const std::vector<Call>& calls() const { return calls_; }
  // The calls' names, or "name args -> result" lines, in order.
  std::vector<std::string> names() const;
  std::vector<std::string> lines() const;
  void clear() { calls_.clear(); }
  // Recording can be switched off for large benchmarks; faults still apply.
  void setRecording(bool on) { recording_ = on; }
  bool recording() const { return recording_; }

  // The rule replaces any earlier one for that name. A name that is not a
  // published call throws std::invalid_argument, so that a misspelt fault
  // cannot pass for a handled one.
  void failCall(std::string_view name, const FaultRule& rule);
  // Every later call of `name` fails with `code`, until cleared.
  void failCall(std::string_view name, std::uint32_t code) { failCall(name, FaultRule{code}); }
  // The same, after the next `successes` calls of `name` have gone through.
  void failCallAfter(std::string_view name, std::uint32_t code, int successes);
  void clearFailures() { faults_ = {}; }
  // Asked once by every simulated call before it does anything; counts the call.
  std::optional<std::uint32_t> failure(CallId call);

private:
  std::vector<Call> calls_;
  struct Fault {
    FaultRule rule;
    std::uint64_t seen = 0;  // calls since the rule was set
  };
  std::array<std::optional<Fault>, kCallNames.size()> faults_;
  bool recording_ = true;
};

}  // namespace sim
