// The one road every simulated platform call takes: the fault plan is asked
// first, then the call does its work, the last error is kept as Windows
// keeps it, and the call is recorded with its arguments and result. The
// arguments are put into words only while the log records.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "../WinTypes.h"
#include "CallLog.h"

namespace sim {

// The thread's last error, as GetLastError reports it.
class LastError {
public:
  DWORD get() const { return value_; }
  void set(DWORD error) { value_ = error; }

private:
  DWORD value_ = 0;
};

class CallRecorder {
public:
  CallRecorder(CallLog& log, LastError& lastError) : log_(log), lastError_(lastError) {}

  bool recording() const { return log_.recording(); }
  DWORD lastError() const { return lastError_.get(); }
  void setLastError(DWORD error) { lastError_.set(error); }

  // A call that answers with a status (the registry, the Configuration
  // Manager, GetLastError): a fault's code is the answer and the last error
  // is left alone.
  template <typename Args, typename Body>
  auto status(CallId call, Args&& args, Body&& body) -> decltype(body()) {
    using Status = decltype(body());
    const auto code = log_.failure(call);
    const Status result = code ? static_cast<Status>(*code) : body();
    record(call, args, static_cast<std::int64_t>(result));
    return result;
  }

  // A call that answers TRUE or FALSE and leaves the reason for FALSE as the
  // last error: `body` returns ERROR_SUCCESS for TRUE, or the error.
  template <typename Args, typename Body>
  BOOL boolean(CallId call, Args&& args, Body&& body) {
    const auto code = log_.failure(call);
    const DWORD error = code ? DWORD(*code) : DWORD(body());
    if (error != DWORD(ERROR_SUCCESS)) lastError_.set(error);
    const BOOL result = error == DWORD(ERROR_SUCCESS) ? TRUE : FALSE;
    record(call, args, result);
    return result;
  }

  // Any other call: made to fail, it answers `failed` and the fault's code
  // becomes the last error; `body` may fail on its own through fail().
  // `shown` turns the answer into the recorded result.
  template <typename T, typename Args, typename Body, typename Shown>
  T value(CallId call, T failed, Args&& args, Body&& body, Shown&& shown) {
    T result = failed;
    if (const auto code = log_.failure(call))
      lastError_.set(*code);
    else
      result = body();
    record(call, args, static_cast<std::int64_t>(shown(result)));
    return result;
  }

  // Sets the last error and gives back the failed answer.
  template <typename T>
  T fail(DWORD error, T failed) {
    lastError_.set(error);
    return failed;
  }

private:
  CallLog& log_;
  LastError& lastError_;

  template <typename Args>
  void record(CallId call, Args& args, std::int64_t result) {
    if (log_.recording()) log_.record(call, std::string(args()), result);
  }
};

// Arguments for a call that has none.
inline std::string noArgs() {
  return std::string();
}

}  // namespace sim
