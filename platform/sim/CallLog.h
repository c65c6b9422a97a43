// The simulated machine's record of platform calls and its fault injection.
// Every simulated platform call is recorded as its name, its arguments as
// text and its raw result; any call can be made to fail with a given code.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace sim {

struct Call {
  std::string name;     // "RegOpenKeyExA"
  std::string args;     // "HKLM\Enum\USB KEY_ALL_ACCESS"
  std::int64_t result;  // the raw status the call returned
};

class CallLog {
public:
  void record(std::string name, std::string args, std::int64_t result);
  const std::vector<Call>& calls() const { return calls_; }
  // The calls' names, or "name args -> result" lines, in order.
  std::vector<std::string> names() const;
  std::vector<std::string> lines() const;
  void clear() { calls_.clear(); }
  // Recording can be switched off for large benchmarks; faults still apply.
  void setRecording(bool on) { recording_ = on; }
  bool recording() const { return recording_; }

  // Every later call of `name` fails with `code` (a Win32 error, or a
  // CONFIGRET for the Configuration Manager), until cleared.
  void failCall(const std::string& name, std::uint32_t code);
  // The same, after the next `successes` calls of `name` have gone through.
  void failCallAfter(const std::string& name, std::uint32_t code, int successes);
  void clearFailures() { failures_.clear(); }
  // Asked once by every simulated call before it does anything.
  std::optional<std::uint32_t> failure(const std::string& name) const;

private:
  std::vector<Call> calls_;
  struct Failure {
    std::uint32_t code;
    int successesLeft;
  };
  mutable std::map<std::string, Failure> failures_;
  bool recording_ = true;
};

}  // namespace sim
