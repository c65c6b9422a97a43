#include "CallLog.h"

#include <stdexcept>
#include <utility>

namespace sim {

void CallLog::record(CallId call, std::string args, std::int64_t result) {
  if (!recording_) return;
  calls_.push_back(Call{std::string(call.name()), std::move(args), result});
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

void CallLog::failCall(std::string_view name, const FaultRule& rule) {
  const auto call = findCall(name);
  if (!call) throw std::invalid_argument("not a published platform call: " + std::string(name));
  if (rule.nth == 0) throw std::invalid_argument("calls are counted from 1");
  faults_[call->index] = Fault{rule, 0};
}

void CallLog::failCallAfter(std::string_view name, std::uint32_t code, int successes) {
  failCall(name, FaultRule{code, std::uint64_t(successes < 0 ? 0 : successes) + 1, true});
}

std::optional<std::uint32_t> CallLog::failure(CallId call) {
  std::optional<Fault>& fault = faults_[call.index];
  if (!fault) return std::nullopt;
  const std::uint64_t number = ++fault->seen;
  const bool hit = fault->rule.andLater ? number >= fault->rule.nth : number == fault->rule.nth;
  if (!hit) return std::nullopt;
  return fault->rule.code;
}

}  // namespace sim
