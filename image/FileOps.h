// The file operations of writing images back, each one step that tests can
// make fail. Files the tool makes are its own: they start as temporary files
// that no other name reaches (unnamed where the file system allows, else an
// unpredictable name made with O_EXCL|O_NOFOLLOW), and get their final name
// only when complete and synced, never over a name that exists. Tests take
// the named road on purpose with QVINST98_TEST_TEMPORARIES=named (no
// unnamed files) or =reserved (no exclusive rename or link either).
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>

#include "ImageError.h"

namespace image {

// A file operation that fails throws Error naming the file and the reason.

// An open descriptor, closed once.
class Descriptor {
public:
  Descriptor() = default;
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { reset(); }
  Descriptor(Descriptor&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
  Descriptor& operator=(Descriptor&& other) noexcept;
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }
  void reset() noexcept;

private:
  int fd_ = -1;
};

// A file being made in a folder. Until it is placed, destroying it leaves no
// trace: an unnamed file goes with its descriptor, a named one is removed.
class TempFile {
public:
  TempFile(std::filesystem::path folder, Descriptor fd, std::filesystem::path name);
  ~TempFile();
  TempFile(TempFile&&) noexcept = default;
  TempFile& operator=(TempFile&&) = delete;
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_.get(); }
  const std::filesystem::path& folder() const { return folder_; }
  // A name that opens this file, for writers that take a path.
  std::filesystem::path openPath() const;
  // The name it has until it is placed; empty for an unnamed file.
  const std::filesystem::path& name() const { return name_; }
  void placed() { name_.clear(); }

private:
  std::filesystem::path folder_;
  Descriptor fd_;
  std::filesystem::path name_;
};

class FileOps {
public:
  virtual ~FileOps() = default;
  // A new, empty temporary file in `folder`, mode 0600.
  virtual TempFile create(const std::filesystem::path& folder, const std::string& stem);
  // The bytes of the open file `from` (read from its start) into `to`.
  virtual void copy(int from, const std::filesystem::path& fromName, TempFile& to);
  virtual void write(TempFile& to, const std::string& bytes);
  // Has `writer` make the content through a name of the file.
  virtual void produce(TempFile& to,
                       const std::function<void(const std::filesystem::path&)>& writer);
  // Gives the file the mode, owner and group of `like`; changes nothing
  // that it has already (on FAT, what the mount gives every file).
  virtual void keepOwner(TempFile& file, const struct stat& like);
  virtual void sync(TempFile& file);
  // Gives the file the name `name`, which must not exist (a file or a link,
  // dangling or not); false when it does. Without an exclusive rename or
  // links, an empty file made exclusively holds the name until the rename.
  virtual bool placeNew(TempFile& file, const std::filesystem::path& name);
  // Puts the file in place of `target`, in one rename.
  virtual void replace(TempFile& file, const std::filesystem::path& target);
  virtual void syncDirectory(const std::filesystem::path& directory);
  // Removes a name the run placed, when a later step failed.
  virtual void remove(const std::filesystem::path& file) noexcept;
};

FileOps& systemFileOps();

// Writes `file` anew through a temporary file beside it that replaces it in
// one rename: a failure midway leaves the file that was there whole.
void replaceFile(const std::filesystem::path& file,
                 const std::function<void(const std::filesystem::path&)>& writer,
                 FileOps& ops = systemFileOps());

// Whether a name is taken, by a file or by a link (dangling or not).
bool nameTaken(const std::filesystem::path& name);

// The backup names beside `target`: TARGET.qvinst98.bak for 1, else
// TARGET.qvinst98-N.bak.
std::filesystem::path backupName(const std::filesystem::path& target, int n);
// The first backup name that is not taken and whose undo name is not taken
// either.
std::filesystem::path freeBackupPath(const std::filesystem::path& target);

// The undo file that goes with a backup: X.bak gives X.undo.reg.
std::filesystem::path undoPathFor(const std::filesystem::path& backup);

}  // namespace image
