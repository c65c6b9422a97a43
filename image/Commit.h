// Writing image files back (offline repair), one pipeline for every kind of
// image file. Its steps, in this order:
//
//   check    every input was opened as a regular file (a link is followed)
//            and, for a commit, locked from before it was read;
//   build    every new file, into a temporary file with the original's mode,
//            owner and group, and verify it by reading it back;
//   recheck  under the lock, every input is still the file that was read;
//   backup   each input copied byte for byte under a new name;
//   undo     the undo file under a new name;
//   replace  each input by its new file, one rename each;
//   sync     the folders.
//
// Nothing is written before every check has passed (a preview builds nothing:
// it asks each file whether it changes). Names the run creates are never names that
// existed, and a failure removes what the run created and nothing else.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "FileOps.h"

namespace image {

// An input file, held from its first read to its last write.
class InputFile {
public:
  // Opens `given` for reading. Anything but a regular file (a folder, a
  // pipe, a device) is refused before it is opened. With `lock`, takes an
  // exclusive advisory lock and refuses a file that another run holds.
  static InputFile open(const std::filesystem::path& given, bool lock);

  const std::filesystem::path& given() const { return given_; }
  // The file itself: where a symbolic link leads.
  const std::filesystem::path& real() const { return real_; }
  const struct stat& info() const { return info_; }
  int fd() const { return fd_.get(); }
  // Throws Error when the name no longer leads to the file that was
  // opened, or when the file changed since: its size, its modification
  // time or, for a locked file, its bytes (FAT keeps times to two seconds).
  void recheck() const;

private:
  std::filesystem::path given_;
  std::filesystem::path real_;
  Descriptor fd_;
  struct stat info_ {};
  std::optional<std::uint64_t> digest_;  // of the bytes, for a locked file
};

// Which file a name is: a file that exists by device and inode, one that
// does not yet by its folder's device and inode and its name.
struct FileIdentity {
  dev_t device = 0;
  ino_t inode = 0;
  std::string name;  // empty for a file that exists
  bool operator==(const FileIdentity&) const = default;
};
// Nothing when the name's folder does not exist either.
std::optional<FileIdentity> identityOf(const std::filesystem::path& name);

// A kind of image file that the pipeline can write back.
class ImageFile {
public:
  virtual ~ImageFile() = default;
  virtual const InputFile& input() const = 0;
  virtual std::string label() const = 0;  // "SYSTEM"
  // Whether the new content differs from the file.
  virtual bool changed() const = 0;
  // Writes the new content to `out`; returns what changed, for the report.
  virtual std::string build(const std::filesystem::path& out) = 0;
  // Reads a written file back; throws when it is not the planned content or
  // would not load.
  virtual void verify(const std::filesystem::path& written) = 0;
};

struct CommitRequest {
  std::vector<ImageFile*> images;
  std::optional<std::filesystem::path> backup;  // a new file; with one image
  std::optional<std::filesystem::path> undo;    // a new file; else beside the first backup
  std::string undoBytes;
};

// The pipeline; reports each committed file on `err`. Throws Error.
void commitImages(const CommitRequest& request, std::ostream& err, FileOps& ops = systemFileOps());

// For tests only: with QVINST98_TEST_PAUSE=STEP:FILE, the run creates
// FILE.paused on reaching STEP and waits until FILE exists.
void testPause(std::string_view step);

}  // namespace image
