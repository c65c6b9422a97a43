#include "CallLog.h"

#include <utility>

namespace sim {

void CallLog::record(std::string name, std::string args, std::int64_t result) {
  if (!recording_) return;
  calls_.push_back(Call{std::move(name), std::move(args), result});
}

std::vector<std::string> CallLog::names() const {
  std::vector<std::string> out;
  out.reserve(calls_.size());
  for (const Call& call : calls_) out.push_back(call.name);
  return out;
}

std::vector<std::string> CallLog::lines() const {
  std::vector<std::string> out;
  out.reserve(calls_.size());
  for (const Call& call : calls_) {
    std::string line = call.name;
    if (!call.args.empty()) line += ' ' + call.args;
    line += " -> " + std::to_string(call.result);
    out.push_back(std::move(line));
  }
  return out;
}

void CallLog::failCall(const std::string& name, std::uint32_t code) {
  failures_[name] = Failure{code, 0};
}

void CallLog::failCallAfter(const std::string& name, std::uint32_t code, int successes) {
  failures_[name] = Failure{code, successes};
}

std::optional<std::uint32_t> CallLog::failure(const std::string& name) const {
  auto it = failures_.find(name);
  if (it == failures_.end()) return std::nullopt;
  if (it->second.successesLeft > 0) {
    --it->second.successesLeft;
    return std::nullopt;
  }
  return it->second.code;
}

}  // namespace sim
