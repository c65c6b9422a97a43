// Parts of the C++ runtime replaced by smaller ones of the DLL's own, so that
// the release DLL carries only what its code uses (docs/windows.md, "Size").
// Neither changes what an export answers: no exception leaves an export, and
// every exception inside one ends as a std::exception caught there.
#include <bits/functexcept.h>

#include <cstdlib>
#include <exception>
#include <new>

// The default terminate handler prints the demangled name of an uncaught
// exception's type and so links the whole demangler. Nothing is uncaught.
namespace __gnu_cxx {
void __verbose_terminate_handler() {
  std::abort();
}
}  // namespace __gnu_cxx

// The containers' error paths (a length past max_size, an index out of
// range). The runtime's versions build std::logic_error, whose message type
// brings a second string implementation; these throw the same text as a
// plain std::exception.
namespace {
class ContainerError final : public std::exception {
public:
  explicit ContainerError(const char* what) noexcept : what_(what) {}
  const char* what() const noexcept override { return what_; }

private:
  const char* what_;
};
}  // namespace

namespace std {
void __throw_bad_alloc() {
  throw std::bad_alloc();
}
void __throw_length_error(const char* what) {
  throw ContainerError(what);
}
void __throw_logic_error(const char* what) {
  throw ContainerError(what);
}
void __throw_out_of_range_fmt(const char* format, ...) {
  throw ContainerError(format);
}
}  // namespace std
