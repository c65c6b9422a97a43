#include "FileOps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string_view>
#include <system_error>
#include <vector>

namespace image {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  const std::string reason = errno != 0 ? std::strerror(errno) : "unknown error";
  throw Error(file, what + " (" + reason + ")");
}

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

std::string randomSuffix() {
  static std::random_device device;
  static std::mt19937_64 engine((static_cast<std::uint64_t>(device()) << 32 | device()) ^
                                static_cast<std::uint64_t>(::getpid()));
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(engine()));
  return text;
}

std::filesystem::path randomName(const std::filesystem::path& folder, const std::string& stem) {
  std::string name = ".";
  name += stem;
  name += ".qvinst98-";
  name += randomSuffix();
  name += ".tmp";
  return folder / name;
}

std::filesystem::path procPath(int fd) {
  return "/proc/self/fd/" + std::to_string(fd);
}

bool haveProc() {
  static const bool have = ::access("/proc/self/fd", X_OK) == 0;
  return have;
}

// Which road the file operations take; for tests only, set by
// QVINST98_TEST_TEMPORARIES: "named" skips unnamed temporary files, as a
// file system without them (FAT) makes it; "reserved" skips the exclusive
// rename and the second link too, as a FUSE FAT driver does. Read at each
// call, so that one test program takes every road.
enum class Road { Any, Named, Reserved };

Road road() {
  const char* setting = std::getenv("QVINST98_TEST_TEMPORARIES");
  if (setting == nullptr) return Road::Any;
  const std::string_view value(setting);
  return value == "reserved" ? Road::Reserved : value == "named" ? Road::Named : Road::Any;
}

// The file system has no such call (links on a FUSE FAT driver).
bool unsupported(int error) {
  return error == ENOSYS || error == EOPNOTSUPP;
}

// A new name for the file; false when the name is taken.
bool linkUnnamed(const TempFile& file, const std::filesystem::path& name) {
  errno = 0;
  if (::linkat(AT_FDCWD, procPath(file.fd()).c_str(), AT_FDCWD, name.c_str(), AT_SYMLINK_FOLLOW) ==
      0)
    return true;
  if (errno == EEXIST) return false;
  fail(name, "cannot be created");
}

}  // namespace

Descriptor& Descriptor::operator=(Descriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.fd_;
    other.fd_ = -1;
  }
  return *this;
}

void Descriptor::reset() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

TempFile::TempFile(std::filesystem::path folder, Descriptor fd, std::filesystem::path name)
    : folder_(std::move(folder)), fd_(std::move(fd)), name_(std::move(name)) {}

TempFile::~TempFile() {
  if (!name_.empty()) ::unlink(name_.c_str());
}

std::filesystem::path TempFile::openPath() const {
  return name_.empty() ? procPath(fd_.get()) : name_;
}

TempFile FileOps::create(const std::filesystem::path& folder, const std::string& stem) {
#ifdef O_TMPFILE
  if (haveProc() && road() == Road::Any) {
    errno = 0;
    Descriptor fd(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (fd.get() >= 0) return TempFile(folder, std::move(fd), {});
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
      fail(folder, "folder cannot hold a new file");
  }
#endif
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::filesystem::path name = randomName(folder, stem);
    errno = 0;
    Descriptor fd(::open(name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (fd.get() >= 0) return TempFile(folder, std::move(fd), std::move(name));
    if (errno != EEXIST) fail(name, "cannot be created");
  }
  fail(folder, "folder has no free temporary name");
}

void FileOps::copy(int from, const std::filesystem::path& fromName, TempFile& to) {
  std::vector<char> buffer(1 << 20);
  off_t offset = 0;
  for (;;) {
    errno = 0;
    const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(fromName, "cannot be read");
    }
    if (got == 0) break;
    writeAll(to.fd(), buffer.data(), static_cast<std::size_t>(got), to.openPath());
    offset += got;
  }
}

void FileOps::write(TempFile& to, const std::string& bytes) {
  errno = 0;
  writeAll(to.fd(), bytes.data(), bytes.size(), to.openPath());
}

void FileOps::produce(TempFile& to,
                      const std::function<void(const std::filesystem::path&)>& writer) {
  writer(to.openPath());
}

void FileOps::keepOwner(TempFile& file, const struct stat& like) {
  struct stat now {};
  errno = 0;
  if (::fstat(file.fd(), &now) != 0) fail(file.folder(), "new file cannot be read");
  // The owner first: a change of owner clears the set-ID bits. On FAT the
  // mount options give every file one owner and mode, so the new file has
  // them already, and nothing is asked of a driver that cannot change them
  // (the FUSE one fails every chown and chmod).
  if (now.st_uid != like.st_uid || now.st_gid != like.st_gid) {
    if (::fchown(file.fd(), like.st_uid, like.st_gid) != 0)
      fail(file.folder(), "new file cannot be given the owner and group of the original");
    if (::fstat(file.fd(), &now) != 0) fail(file.folder(), "new file cannot be read");
  }
  if ((now.st_mode & 07777) != (like.st_mode & 07777) &&
      ::fchmod(file.fd(), like.st_mode & 07777) != 0)
    fail(file.folder(), "new file cannot be given the mode of the original");
}

void FileOps::sync(TempFile& file) {
  errno = 0;
  if (::fsync(file.fd()) != 0) fail(file.openPath(), "cannot be synced");
}

bool FileOps::placeNew(TempFile& file, const std::filesystem::path& name) {
  if (file.name().empty()) {
    if (!linkUnnamed(file, name)) return false;
    file.placed();
    return true;
  }
  if (road() != Road::Reserved) {
    errno = 0;
    if (::renameat2(AT_FDCWD, file.name().c_str(), AT_FDCWD, name.c_str(), RENAME_NOREPLACE) == 0) {
      file.placed();
      return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EINVAL && errno != ENOSYS) fail(name, "cannot be created");
    // Without an exclusive rename: a second link, which never replaces.
    errno = 0;
    if (::link(file.name().c_str(), name.c_str()) == 0) {
      ::unlink(file.name().c_str());
      file.placed();
      return true;
    }
    if (errno == EEXIST) return false;
    if (errno != EPERM && !unsupported(errno)) fail(name, "cannot be created");
  }
  // Without either (FAT has no links): the name is taken by an empty file
  // made exclusively, which the rename then replaces.
  errno = 0;
  Descriptor reserved(
      ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (reserved.get() < 0) {
    if (errno == EEXIST) return false;
    fail(name, "cannot be created");
  }
  reserved.reset();
  errno = 0;
  if (::rename(file.name().c_str(), name.c_str()) != 0) {
    const int error = errno;
    ::unlink(name.c_str());
    errno = error;
    fail(name, "cannot be created");
  }
  file.placed();
  return true;
}

void FileOps::replace(TempFile& file, const std::filesystem::path& target) {
  if (file.name().empty()) {
    // An unnamed file gets a name of its own first: rename is the one step
    // that replaces a name whole.
    std::filesystem::path name;
    do name = randomName(file.folder(), target.filename().string());
    while (!linkUnnamed(file, name));
    errno = 0;
    if (::rename(name.c_str(), target.c_str()) != 0) {
      const int error = errno;
      ::unlink(name.c_str());
      errno = error;
      fail(target, "cannot be replaced");
    }
    return;
  }
  errno = 0;
  if (::rename(file.name().c_str(), target.c_str()) != 0) fail(target, "cannot be replaced");
  file.placed();
}

void FileOps::syncDirectory(const std::filesystem::path& directory) {
  errno = 0;
  Descriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.get() < 0) fail(directory, "folder cannot be opened to sync");
  if (::fsync(fd.get()) != 0) fail(directory, "folder cannot be synced");
}

void FileOps::remove(const std::filesystem::path& file) noexcept {
  ::unlink(file.c_str());
}

FileOps& systemFileOps() {
  static FileOps ops;
  return ops;
}

void replaceFile(const std::filesystem::path& file,
                 const std::function<void(const std::filesystem::path&)>& writer, FileOps& ops) {
  std::filesystem::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  TempFile temporary = ops.create(folder, file.filename().string());
  try {
    ops.produce(temporary, writer);
  } catch (const Error& error) {
    // The file being written, not the descriptor the writer was given.
    if (error.file() != temporary.openPath() && error.file() != temporary.name()) throw;
    throw Error(file, error.detail());
  }
  ops.sync(temporary);
  ops.replace(temporary, file);
  ops.syncDirectory(folder);
}

bool nameTaken(const std::filesystem::path& name) {
  struct stat info {};
  return ::lstat(name.c_str(), &info) == 0 || errno != ENOENT;
}

std::filesystem::path backupName(const std::filesystem::path& target, int n) {
  std::string name = target.filename().string() + ".qvinst98";
  if (n > 1) {
    // Appended in two steps: GCC 12 at -O3 warns falsely on "-" + string.
    name += '-';
    name += std::to_string(n);
  }
  return target.parent_path() / (name + ".bak");
}

std::filesystem::path freeBackupPath(const std::filesystem::path& target) {
  for (int n = 1;; ++n) {
    std::filesystem::path candidate = backupName(target, n);
    if (!nameTaken(candidate) && !nameTaken(undoPathFor(candidate))) return candidate;
  }
}

std::filesystem::path undoPathFor(const std::filesystem::path& backup) {
  std::filesystem::path undo = backup;
  if (undo.extension() == ".bak") undo.replace_extension();
  undo += ".undo.reg";
  return undo;
}

}  // namespace image
