// Replacing a file so that a crash, a full disk or a kill at any moment
// leaves either the old file or the complete new one: a byte-for-byte backup
// first, then the new content in a temporary file in the same folder, synced
// and renamed over the original, then the folder synced.
//
// Every step goes through FileOps, so that tests can make any of them fail.
#pragma once

#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>

namespace image {

// A file operation that failed. The message is one line and names the file.
class FileError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

class FileOps {
public:
  virtual ~FileOps() = default;
  // Creates `to`, which must not exist, with the bytes of `from`, and syncs it.
  virtual void copyNew(const std::filesystem::path& from, const std::filesystem::path& to);
  // Creates or replaces `file` with `bytes`, and syncs it.
  virtual void writeBytes(const std::filesystem::path& file, const std::string& bytes);
  // Has `write` create the new content at `file`.
  virtual void produce(const std::filesystem::path& file,
                       const std::function<void(const std::filesystem::path&)>& write);
  virtual void sync(const std::filesystem::path& file);
  virtual void rename(const std::filesystem::path& from, const std::filesystem::path& to);
  virtual void syncDirectory(const std::filesystem::path& directory);
  virtual void remove(const std::filesystem::path& file) noexcept;
};

FileOps& systemFileOps();

struct Replacement {
  std::filesystem::path target;
  std::filesystem::path backup;  // empty: no backup; else must not exist yet
  std::filesystem::path undo;    // empty: no undo file
  std::string undoBytes;
  std::function<void(const std::filesystem::path&)> writeNew;  // writes the new content
};

// Backup (synced), undo file (synced), then the new content through a
// temporary file beside the target. Until the rename, a failure removes the
// temporary file and leaves the target as it was; throws FileError.
void replaceFile(const Replacement& replacement, FileOps& ops = systemFileOps());

// The temporary file replaceFile writes beside `target`.
std::filesystem::path temporaryPathFor(const std::filesystem::path& target);

// A backup name beside `target` that is not taken: TARGET.qvinst98.bak, else
// TARGET.qvinst98-2.bak, -3 and so on.
std::filesystem::path freeBackupPath(const std::filesystem::path& target);

// The undo file that goes with a backup: X.bak gives X.undo.reg.
std::filesystem::path undoPathFor(const std::filesystem::path& backup);

}  // namespace image
