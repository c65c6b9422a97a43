#include "FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace image {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  const std::string reason = errno != 0 ? std::strerror(errno) : "unknown error";
  throw FileError(file.string() + ": " + what + " (" + reason + ")");
}

class Descriptor {
public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  // Closes now, so that a failing close is reported.
  int close() {
    const int result = ::close(fd_);
    fd_ = -1;
    return result;
  }

private:
  int fd_;
};

void writeAll(int fd, const char* bytes, std::size_t size, const std::filesystem::path& file) {
  while (size > 0) {
    const ssize_t written = ::write(fd, bytes, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      fail(file, "cannot be written");
    }
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
}

void syncAndClose(Descriptor& fd, const std::filesystem::path& file) {
  if (::fsync(fd.get()) != 0) fail(file, "cannot be synced");
  if (fd.close() != 0) fail(file, "cannot be closed");
}

}  // namespace

void FileOps::copyNew(const std::filesystem::path& from, const std::filesystem::path& to) {
  errno = 0;
  Descriptor in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
  if (in.get() < 0) fail(from, "cannot be read");
  struct stat info {};
  if (::fstat(in.get(), &info) != 0) fail(from, "cannot be read");
  Descriptor out(::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, info.st_mode & 0777));
  if (out.get() < 0) fail(to, "cannot be created");
  std::vector<char> buffer(1 << 20);
  for (;;) {
    const ssize_t got = ::read(in.get(), buffer.data(), buffer.size());
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(from, "cannot be read");
    }
    if (got == 0) break;
    writeAll(out.get(), buffer.data(), static_cast<std::size_t>(got), to);
  }
  syncAndClose(out, to);
}

void FileOps::writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  errno = 0;
  Descriptor out(::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (out.get() < 0) fail(file, "cannot be created");
  writeAll(out.get(), bytes.data(), bytes.size(), file);
  syncAndClose(out, file);
}

void FileOps::produce(const std::filesystem::path& file,
                      const std::function<void(const std::filesystem::path&)>& write) {
  write(file);
}

void FileOps::sync(const std::filesystem::path& file) {
  errno = 0;
  Descriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail(file, "cannot be opened to sync");
  syncAndClose(fd, file);
}

void FileOps::rename(const std::filesystem::path& from, const std::filesystem::path& to) {
  errno = 0;
  if (::rename(from.c_str(), to.c_str()) != 0) fail(to, "cannot be replaced");
}

void FileOps::syncDirectory(const std::filesystem::path& directory) {
  errno = 0;
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) fail(directory, "folder cannot be opened to sync");
  if (::fsync(fd.get()) != 0) fail(directory, "folder cannot be synced");
}

void FileOps::remove(const std::filesystem::path& file) noexcept {
  std::error_code ignored;
  std::filesystem::remove(file, ignored);
}

FileOps& systemFileOps() {
  static FileOps ops;
  return ops;
}

std::filesystem::path temporaryPathFor(const std::filesystem::path& target) {
  std::filesystem::path name = target.filename();
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "." + string.
  std::string file = ".";
  file += name.string();
  file += ".qvinst98-";
  file += std::to_string(::getpid());
  file += ".tmp";
  return target.parent_path() / file;
}

std::filesystem::path freeBackupPath(const std::filesystem::path& target) {
  for (int n = 1;; ++n) {
    std::string name = target.filename().string() + ".qvinst98";
    if (n > 1) {
      // Appended in two steps: GCC 12 at -O3 warns falsely on "-" + string.
      name += '-';
      name += std::to_string(n);
    }
    std::filesystem::path candidate = target.parent_path() / (name + ".bak");
    std::error_code error;
    if (!std::filesystem::exists(candidate, error) &&
        !std::filesystem::exists(undoPathFor(candidate), error))
      return candidate;
  }
}

std::filesystem::path undoPathFor(const std::filesystem::path& backup) {
  std::filesystem::path undo = backup;
  if (undo.extension() == ".bak") undo.replace_extension();
  undo += ".undo.reg";
  return undo;
}

void replaceFile(const Replacement& replacement, FileOps& ops) {
  const std::filesystem::path& target = replacement.target;
  std::filesystem::path folder = target.parent_path();
  if (folder.empty()) folder = ".";
  if (!replacement.backup.empty()) {
    try {
      ops.copyNew(target, replacement.backup);
      ops.syncDirectory(
          replacement.backup.parent_path().empty() ? "." : replacement.backup.parent_path());
    } catch (...) {
      ops.remove(replacement.backup);  // a partial backup must not pass for a whole one
      throw;
    }
  }
  if (!replacement.undo.empty()) ops.writeBytes(replacement.undo, replacement.undoBytes);

  const std::filesystem::path temporary = temporaryPathFor(target);
  try {
    ops.produce(temporary, replacement.writeNew);
    ops.sync(temporary);
    ops.rename(temporary, target);
  } catch (...) {
    ops.remove(temporary);
    throw;
  }
  ops.syncDirectory(folder);
}

}  // namespace image
