#include "Commit.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <utility>
#include <vector>

#include "ImageText.h"

namespace image {

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  throw Error(file, what);
}

std::string reason() {
  return errno != 0 ? std::strerror(errno) : "unknown error";
}

bool sameInode(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

using text::folderOf;

// A digest of the bytes (FNV-1a): a same-size rewrite within the time
// stamps' grain (two seconds on FAT) shows only there.
std::uint64_t digestOf(int fd, const std::filesystem::path& name) {
  std::vector<unsigned char> buffer(1 << 20);
  std::uint64_t hash = 14695981039346656037ULL;
  off_t offset = 0;
  for (;;) {
    errno = 0;
    const ssize_t got = ::pread(fd, buffer.data(), buffer.size(), offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(name, "cannot be read (" + reason() + ")");
    }
    if (got == 0) return hash;
    for (ssize_t i = 0; i < got; ++i) hash = (hash ^ buffer[i]) * 1099511628211ULL;
    offset += got;
  }
}

}  // namespace

InputFile InputFile::open(const std::filesystem::path& given, bool lock) {
  InputFile input;
  input.given_ = given;
  // Up to a few attempts: a run that replaced the file between our open and
  // our lock leaves the name on a new file, which is the one to read.
  for (int attempt = 0; attempt < 10; ++attempt) {
    struct stat named {};
    errno = 0;
    if (::stat(given.c_str(), &named) != 0) fail(given, "cannot be read (" + reason() + ")");
    if (!S_ISREG(named.st_mode)) fail(given, "not a regular file; refused");
    std::error_code error;
    input.real_ = std::filesystem::canonical(given, error);
    if (error) fail(given, "cannot be read (" + error.message() + ")");
    input.fd_ = Descriptor(
        ::open(input.real_.c_str(), O_RDONLY | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    if (input.fd_.get() < 0) fail(given, "cannot be read (" + reason() + ")");
    if (::fstat(input.fd_.get(), &input.info_) != 0 || !S_ISREG(input.info_.st_mode))
      fail(given, "not a regular file; refused");
    if (lock && ::flock(input.fd_.get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno == EWOULDBLOCK) fail(given, "in use by another qvinst98 run");
      fail(given, "cannot be locked (" + reason() + ")");
    }
    struct stat now {};
    if (::stat(input.real_.c_str(), &now) == 0 && sameInode(now, input.info_) &&
        ::fstat(input.fd_.get(), &input.info_) == 0) {
      if (lock) input.digest_ = digestOf(input.fd_.get(), given);
      return input;
    }
  }
  fail(given, "keeps changing while it is opened; refused");
}

void InputFile::recheck() const {
  struct stat named {};
  struct stat now {};
  errno = 0;
  if (::stat(given_.c_str(), &named) != 0 || !sameInode(named, info_))
    fail(given_, "is no longer the file that was read; nothing written");
  if (::fstat(fd_.get(), &now) != 0 || now.st_size != info_.st_size ||
      now.st_mtim.tv_sec != info_.st_mtim.tv_sec || now.st_mtim.tv_nsec != info_.st_mtim.tv_nsec ||
      (digest_ && digestOf(fd_.get(), given_) != *digest_))
    fail(given_, "changed since it was read; nothing written");
}

std::optional<FileIdentity> identityOf(const std::filesystem::path& name) {
  struct stat info {};
  if (::stat(name.c_str(), &info) == 0) return FileIdentity{info.st_dev, info.st_ino, {}};
  if (::stat(folderOf(name).c_str(), &info) != 0) return std::nullopt;
  return FileIdentity{info.st_dev, info.st_ino, name.filename().string()};
}

void testPause(std::string_view step) {
  const char* setting = std::getenv("QVINST98_TEST_PAUSE");
  if (setting == nullptr) return;
  const std::string_view text(setting);
  const auto colon = text.find(':');
  if (colon == std::string_view::npos || text.substr(0, colon) != step) return;
  const std::filesystem::path release(text.substr(colon + 1));
  std::ofstream(release.string() + ".paused").put('\n');
  std::error_code error;
  while (!std::filesystem::exists(release, error))
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

namespace {

struct Planned {
  ImageFile* image;
  std::optional<TempFile> next;
  std::string summary;
  std::filesystem::path backup;
};

// Names placed by the run, removed again when a later step before the
// replacing fails.
class Created {
public:
  explicit Created(FileOps& ops) : ops_(ops) {}
  ~Created() {
    if (!kept_)
      for (auto it = names_.rbegin(); it != names_.rend(); ++it) ops_.remove(*it);
  }
  Created(const Created&) = delete;
  Created& operator=(const Created&) = delete;
  void add(const std::filesystem::path& name) { names_.push_back(name); }
  void keep() { kept_ = true; }

private:
  FileOps& ops_;
  std::vector<std::filesystem::path> names_;
  bool kept_ = false;
};

void build(Planned& planned, FileOps& ops) {
  const InputFile& input = planned.image->input();
  const std::filesystem::path folder = folderOf(input.real());
  testPause("build");
  planned.next.emplace(ops.create(folder, input.real().filename().string()));
  try {
    ops.produce(*planned.next, [&](const std::filesystem::path& out) {
      planned.summary = planned.image->build(out);
    });
  } catch (const Error& error) {
    // Named as the user knows it, the file a commit replaces: never the
    // descriptor the writer was given.
    if (error.file() != planned.next->openPath() && error.file() != planned.next->name()) throw;
    throw Error(input.real(), error.detail());
  }
  ops.keepOwner(*planned.next, input.info());
  ops.sync(*planned.next);
  testPause("verify");
  planned.image->verify(planned.next->openPath());
}

// The backup of one input under a new name: the given one, or the first free
// one beside the file whose undo name is free too.
void backUp(Planned& planned, const CommitRequest& request, Created& created, FileOps& ops) {
  const InputFile& input = planned.image->input();
  const std::filesystem::path folder = folderOf(input.real());
  TempFile copy = ops.create(request.backup ? folderOf(*request.backup) : folder,
                             input.real().filename().string());
  ops.copy(input.fd(), input.given(), copy);
  ops.keepOwner(copy, input.info());
  ops.sync(copy);
  if (request.backup) {
    if (!ops.placeNew(copy, *request.backup))
      fail(*request.backup, "exists; a backup is never overwritten");
    planned.backup = *request.backup;
  } else {
    for (int n = 1;; ++n) {
      const std::filesystem::path name = backupName(input.real(), n);
      if (nameTaken(undoPathFor(name))) continue;
      if (ops.placeNew(copy, name)) {
        planned.backup = name;
        break;
      }
    }
  }
  created.add(planned.backup);
  ops.syncDirectory(folderOf(planned.backup));
}

std::filesystem::path writeUndo(const std::filesystem::path& name, const std::string& bytes,
                                const InputFile& like, Created& created, FileOps& ops) {
  TempFile undo = ops.create(folderOf(name), name.filename().string());
  ops.write(undo, bytes);
  ops.keepOwner(undo, like.info());  // it holds what the hive holds
  ops.sync(undo);
  if (!ops.placeNew(undo, name)) fail(name, "exists; an undo file is never overwritten");
  created.add(name);
  ops.syncDirectory(folderOf(name));
  return name;
}

std::string committedLine(const Planned& planned, const std::filesystem::path& undo) {
  std::string line = planned.image->label() + " committed to " +
                     planned.image->input().given().string() + ": " + planned.summary +
                     "; backup " + planned.backup.string();
  if (!undo.empty()) line += ", undo " + undo.string();
  return line;
}

}  // namespace

void commitImages(const CommitRequest& request, std::ostream& err, FileOps& ops) {
  std::vector<Planned> plan;
  for (ImageFile* image : request.images) {
    if (image->changed()) {
      plan.push_back(Planned{image, std::nullopt, {}, {}});
    } else {
      err << "qvinst98: " << image->label() << ": nothing to change; "
          << image->input().given().string() << " is left as it is\n";
    }
  }
  if (plan.empty()) return;

  for (Planned& planned : plan) build(planned, ops);

  // The lock is held since before the inputs were read.
  testPause("recheck");
  for (const Planned& planned : plan) planned.image->input().recheck();

  Created created(ops);
  for (Planned& planned : plan) {
    testPause("backup");
    backUp(planned, request, created, ops);
  }
  testPause("undo");
  const std::filesystem::path undo =
      writeUndo(request.undo ? *request.undo : undoPathFor(plan.front().backup), request.undoBytes,
                plan.front().image->input(), created, ops);

  std::vector<std::string> committed;
  for (std::size_t i = 0; i < plan.size(); ++i) {
    testPause("replace");
    try {
      ops.replace(*plan[i].next, plan[i].image->input().real());
    } catch (const Error& error) {
      if (i == 0) throw;  // nothing replaced: the backups and the undo go
      // The committed files keep their backups and the undo file; the
      // others are as they were, and their backups go.
      created.keep();
      std::string line = error.detail();
      for (const std::string& done : committed) line += "; " + done;
      for (std::size_t k = i; k < plan.size(); ++k) {
        ops.remove(plan[k].backup);
        line += "; " + plan[k].image->label() + " not committed";
      }
      throw Error(error.file(), line);
    }
    committed.push_back(committedLine(plan[i], i == 0 ? undo : std::filesystem::path()));
  }
  created.keep();
  for (const std::string& line : committed) err << "qvinst98: " << line << '\n';
  testPause("sync");
  for (const Planned& planned : plan) ops.syncDirectory(folderOf(planned.image->input().real()));
}

}  // namespace image
