// Move-only owners of the platform's handles. Each closes its handle through
// the platform when it goes out of scope, also while an error unwinds.
#pragma once

#include <utility>

#include "Platform.h"

namespace platform {

template <typename T, typename Traits>
class UniqueAny {
public:
  UniqueAny() = default;
  explicit UniqueAny(T value) : value_(value) {}
  UniqueAny(const UniqueAny&) = delete;
  UniqueAny& operator=(const UniqueAny&) = delete;
  UniqueAny(UniqueAny&& other) noexcept : value_(other.release()) {}
  UniqueAny& operator=(UniqueAny&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~UniqueAny() { reset(); }

  T get() const { return value_; }
  // For out-parameters: drops the current handle first.
  T* put() {
    reset();
    return &value_;
  }
  T release() { return std::exchange(value_, Traits::empty()); }
  void reset(T value = Traits::empty()) {
    T old = std::exchange(value_, value);
    if (old != Traits::empty()) Traits::close(old);
  }
  explicit operator bool() const { return value_ != Traits::empty(); }

private:
  T value_ = Traits::empty();
};

inline bool isPredefinedKey(HKEY key) {
  // Predefined root handles have the top bit of their 32-bit value set.
  return (static_cast<ULONG_PTR>(reinterpret_cast<ULONG_PTR>(key)) & 0x80000000u) != 0;
}

struct RegKeyTraits {
  static HKEY empty() { return nullptr; }
  static void close(HKEY key) {
    if (!isPredefinedKey(key)) get().registry.RegCloseKey(key);
  }
};

struct DevInfoTraits {
  static HDEVINFO empty() { return INVALID_HANDLE_VALUE; }
  static void close(HDEVINFO set) { get().setupApi.SetupDiDestroyDeviceInfoList(set); }
};

struct FindHandleTraits {
  static HANDLE empty() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE find) { get().files.FindClose(find); }
};

struct TokenTraits {
  static HANDLE empty() { return nullptr; }
  static void close(HANDLE token) { get().system.CloseHandle(token); }
};

struct SidTraits {
  static PSID empty() { return nullptr; }
  static void close(PSID sid) { get().system.FreeSid(sid); }
};

using UniqueRegKey = UniqueAny<HKEY, RegKeyTraits>;
using UniqueDevInfo = UniqueAny<HDEVINFO, DevInfoTraits>;
using UniqueFindHandle = UniqueAny<HANDLE, FindHandleTraits>;
using UniqueToken = UniqueAny<HANDLE, TokenTraits>;
using UniqueSid = UniqueAny<PSID, SidTraits>;

}  // namespace platform
