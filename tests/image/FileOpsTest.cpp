// Committing a hive: whichever step fails (building the new hive, the backup,
// the undo file, the rename, syncing the folder), what is left is the old
// hive with nothing beside it, or the complete new one with its complete
// backup and undo file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <hivex.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Commit.h"
#include "DatImage.h"
#include "FileOps.h"
#include "HiveFile.h"
#include "HiveFixture.h"
#include "HiveImage.h"
#include "Machine.h"

namespace {

using hivetest::readBytes;
using hivetest::workFolder;

const auto* const cleanup = ::testing::AddGlobalTestEnvironment(new hivetest::WorkFolderCleanup);

// Real file operations, logged, with the `nth` call of one of them failing.
// A failing write leaves half a file behind, as a full disk does.
class FaultyOps : public image::FileOps {
public:
  FaultyOps(std::string failing, int nth) : failing_(std::move(failing)), nth_(nth) {}
  std::vector<std::string> log;

  image::TempFile create(const std::filesystem::path& folder, const std::string& stem) override {
    step("create", stem);
    return FileOps::create(folder, stem);
  }
  void copy(int from, const std::filesystem::path& fromName, image::TempFile& to) override {
    if (fails("copy", fromName)) {
      FileOps::copy(from, fromName, to);
      ::ftruncate(to.fd(), 4096);
      throw image::Error(fromName, "copy failed (No space left on device)");
    }
    FileOps::copy(from, fromName, to);
  }
  void write(image::TempFile& to, const std::string& bytes) override {
    step("write", "");
    FileOps::write(to, bytes);
  }
  void produce(image::TempFile& to,
               const std::function<void(const std::filesystem::path&)>& writer) override {
    if (fails("produce", "")) {
      writer(to.openPath());
      ::ftruncate(to.fd(), 4096);
      throw image::Error(to.openPath(), "cannot be written (No space left on device)");
    }
    FileOps::produce(to, writer);
  }
  void keepOwner(image::TempFile& file, const struct stat& like) override {
    step("keepOwner", "");
    FileOps::keepOwner(file, like);
  }
  void sync(image::TempFile& file) override {
    step("sync", "");
    FileOps::sync(file);
  }
  bool placeNew(image::TempFile& file, const std::filesystem::path& name) override {
    step("placeNew", name);
    return FileOps::placeNew(file, name);
  }
  void replace(image::TempFile& file, const std::filesystem::path& target) override {
    step("replace", target);
    FileOps::replace(file, target);
  }
  void syncDirectory(const std::filesystem::path& directory) override {
    step("syncDirectory", directory);
    FileOps::syncDirectory(directory);
  }

private:
  std::string failing_;
  int nth_;
  int seen_ = 0;

  bool fails(const std::string& op, const std::filesystem::path& path) {
    log.push_back(op + " " + path.filename().string());
    return op == failing_ && ++seen_ == nth_;
  }
  void step(const std::string& op, const std::filesystem::path& path) {
    if (fails(op, path)) throw image::Error(path, op + " failed");
  }
};

// The road the file operations take while it lives: "" as the file system
// allows, "named" as on FAT (no unnamed temporary files), "reserved" as on a
// FUSE FAT driver (no exclusive rename or link either).
class Road {
public:
  explicit Road(const std::string& road) {
    if (road.empty())
      ::unsetenv("QVINST98_TEST_TEMPORARIES");
    else
      ::setenv("QVINST98_TEST_TEMPORARIES", road.c_str(), 1);
  }
  ~Road() { ::unsetenv("QVINST98_TEST_TEMPORARIES"); }
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;
};
std::string roadName(const ::testing::TestParamInfo<std::string>& info) {
  return info.param.empty() ? "unnamed" : info.param;
}

struct HiveCloser {
  void operator()(hive_h* hive) const noexcept { hivex_close(hive); }
};

// The real hive without the subtrees that no commit step reads (the services,
// the control data, the second control set and every bus but USB): the same
// file layout and the key a commit deletes, in a few hundred keys, so that
// each fault case loads, writes and reads back in a moment. Made once per
// test program, with hivex alone.
const std::filesystem::path& smallHive() {
  static const std::filesystem::path small = [] {
    const std::filesystem::path out = workFolder() / "SYSTEM-small";
    std::unique_ptr<hive_h, HiveCloser> hive(
        hivex_open(hivetest::realHive().c_str(), HIVEX_OPEN_WRITE));
    if (!hive) return std::filesystem::path();
    const auto child = [&hive](hive_node_h node, const char* name) {
      return node == 0 ? node : hivex_node_get_child(hive.get(), node, name);
    };
    const hive_node_h root = hivex_root(hive.get());
    const hive_node_h set = child(root, "ControlSet001");
    const hive_node_h enumKey = child(set, "Enum");
    std::vector<hive_node_h> dropped{child(root, "ControlSet002"), child(set, "services"),
                                     child(set, "Control")};
    if (enumKey != 0) {
      std::unique_ptr<hive_node_h, decltype(&std::free)> buses(
          hivex_node_children(hive.get(), enumKey), &std::free);
      for (hive_node_h* bus = buses.get(); bus && *bus; ++bus) {
        std::unique_ptr<char, decltype(&std::free)> name(hivex_node_name(hive.get(), *bus),
                                                         &std::free);
        if (name && std::string(name.get()) != "USB") dropped.push_back(*bus);
      }
    }
    for (const hive_node_h node : dropped)
      if (node == 0 || hivex_node_delete_child(hive.get(), node) != 0)
        return std::filesystem::path();
    if (hivex_commit(hive.get(), out.c_str(), 0) != 0) return std::filesystem::path();
    return out;
  }();
  return small;
}

// The SYSTEM.DAT of Windows Me, unpacked once per test program.
const std::filesystem::path& realDat() {
  static const std::filesystem::path dat = [] {
    const std::filesystem::path out = workFolder() / "SYSTEM.DAT";
    const std::string unpack =
        "xz -dc " + hivetest::quoted(QVINST98_REAL_DAT) + " > " + hivetest::quoted(out);
    if (std::system(unpack.c_str()) != 0) return std::filesystem::path();
    return out;
  }();
  return dat;
}

// Which registry file a commit writes.
enum class Source { SmallHive, RealHive, RealDat };

// A copy of a registry file in a folder of its own (the small or the real
// SYSTEM hive, or the SYSTEM.DAT of Windows Me), loaded, with one key
// deleted: the change a commit is to write.
struct ChangedImage {
  std::filesystem::path folder;
  std::filesystem::path target;
  std::string before;
  sim::Machine machine;
  image::HiveMount mount;
  image::DatMount datMount;
  std::optional<image::InputFile> input;
  std::unique_ptr<image::ImageFile> file;
  bool dat;

  explicit ChangedImage(const std::string& name, Source source = Source::SmallHive)
      : dat(source == Source::RealDat) {
    folder = workFolder() / name;
    std::filesystem::create_directories(folder);
    target = folder / (dat ? "SYSTEM.DAT" : "SYSTEM");
    const std::filesystem::path& from = source == Source::RealDat    ? realDat()
                                        : source == Source::RealHive ? hivetest::realHive()
                                                                     : smallHive();
    if (from.empty()) {
      ADD_FAILURE() << "cannot make the " << (dat ? "SYSTEM.DAT" : "hive") << " to commit";
      return;
    }
    std::filesystem::copy_file(from, target);
    before = readBytes(target);
    input.emplace(image::InputFile::open(target, /*lock=*/true));
    if (dat) {
      datMount = image::loadDat(machine.registry, target);
      file = std::make_unique<image::DatImageFile>(*input, datMount, machine.registry);
    } else {
      mount = image::loadHive(machine.registry, target, image::HiveKind::System);
      file = std::make_unique<image::HiveFile>(*input, "SYSTEM", mount, machine.registry);
    }
    machine.registry.removeKey(deleted(dat));
  }
  std::vector<std::string> names() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
      names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
  // Whether the target, read again, holds the key that was deleted.
  bool holdsDeletedKey() const {
    sim::Machine reloaded;
    if (dat)
      image::loadDat(reloaded.registry, target);
    else
      image::loadHive(reloaded.registry, target, image::HiveKind::System);
    return reloaded.registry.keyExists(deleted(dat));
  }
  static const char* deleted(bool dat) {
    return dat ? "HKLM\\System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\"
                 "Joystick\\OEM"
               : "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0E0F&PID_0003";
  }
};

struct Fault {
  const char* op;  // empty: nothing fails
  int nth;
  bool replaced;  // the target holds the new hive, the backup and undo file are kept
};

// What a commit with that fault leaves, checked for the file it wrote.
void expectOldFileOrCompleteNewOne(const Fault& fault, Source source,
                                   const std::string& road = "") {
  ChangedImage image("commit-" + std::string(fault.op) + std::to_string(fault.nth) +
                         (source == Source::RealDat    ? "-creg"
                          : source == Source::RealHive ? "-real"
                                                       : "") +
                         road,
                     source);
  ASSERT_TRUE(image.file) << "no image to commit";
  const Road taken(road);
  FaultyOps ops(fault.op, fault.nth);
  std::ostringstream report;
  bool failed = false;
  try {
    image::commitImages({{image.file.get()}, std::nullopt, std::nullopt, "REGEDIT4\r\n"}, report,
                        ops);
  } catch (const image::Error&) {
    failed = true;
  }
  EXPECT_EQ(failed, std::string(fault.op) != "");

  // Only the target, and after the replacing the backup and the undo file:
  // no temporary file, no partial backup.
  const std::string name = image.target.filename().string();
  std::vector<std::string> expected{name};
  if (fault.replaced) {
    expected.push_back(name + ".qvinst98.bak");
    expected.push_back(name + ".qvinst98.undo.reg");
  }
  EXPECT_EQ(image.names(), expected);
  if (fault.replaced) {
    EXPECT_TRUE(readBytes(image.folder / (name + ".qvinst98.bak")) == image.before)
        << "the backup is complete";
    EXPECT_FALSE(image.holdsDeletedKey());
  } else {
    EXPECT_TRUE(readBytes(image.target) == image.before) << "the original is untouched";
  }

  // The backup and the undo file have their names, and their folder is
  // synced, before anything reaches the target, which only the replace does.
  const auto at = [&ops](const std::string& entry) {
    return std::find(ops.log.begin(), ops.log.end(), entry) - ops.log.begin();
  };
  const auto replace = at("replace " + name);
  if (replace < static_cast<long>(ops.log.size())) {
    EXPECT_LT(at("placeNew " + name + ".qvinst98.bak"), replace);
    EXPECT_LT(at("placeNew " + name + ".qvinst98.undo.reg"), replace);
    EXPECT_LT(at("syncDirectory " + image.folder.filename().string()), replace);
  }
}

// A fault, whether the file is a CREG file rather than a hive, and the road.
class CommitFault : public ::testing::TestWithParam<std::tuple<Fault, bool, std::string>> {};

// Over the small hive: what is left depends on the step that failed, not on
// the hive's size.
TEST_P(CommitFault, LeavesTheOldFileOrTheCompleteNewOne) {
  REQUIRE_REAL_HIVE();
  const auto& [fault, dat, road] = GetParam();
  expectOldFileOrCompleteNewOne(fault, dat ? Source::RealDat : Source::SmallHive, road);
}

std::string faultName(const ::testing::TestParamInfo<CommitFault::ParamType>& info) {
  const auto& [fault, dat, road] = info.param;
  const std::string op = fault.op;
  return (op.empty() ? std::string("none") : op) + std::to_string(fault.nth) +
         (dat ? "_creg" : "_hive") + (road.empty() ? "" : "_" + road);
}

// The whole real hive, committed and failing at the last step: the full
// size of every copy, write and read-back.
TEST(CommitRealHive, LeavesTheCompleteNewOneWhenTheLastSyncFails) {
  REQUIRE_REAL_HIVE();
  expectOldFileOrCompleteNewOne(Fault{"syncDirectory", 3, true}, Source::RealHive);
}

// Every step, each of its calls, for either kind of file: nothing is left of
// a run that fails before the replace; after it, the new file with its backup
// and undo file.
INSTANTIATE_TEST_SUITE_P(
    Steps, CommitFault,
    ::testing::Combine(
        ::testing::Values(Fault{"", 0, true}, Fault{"create", 1, false}, Fault{"produce", 1, false},
                          Fault{"keepOwner", 1, false}, Fault{"sync", 1, false},
                          Fault{"create", 2, false}, Fault{"copy", 1, false},
                          Fault{"keepOwner", 2, false}, Fault{"sync", 2, false},
                          Fault{"placeNew", 1, false}, Fault{"syncDirectory", 1, false},
                          Fault{"create", 3, false}, Fault{"write", 1, false},
                          Fault{"keepOwner", 3, false}, Fault{"sync", 3, false},
                          Fault{"placeNew", 2, false}, Fault{"syncDirectory", 2, false},
                          Fault{"replace", 1, false}, Fault{"syncDirectory", 3, true}),
        ::testing::Bool(), ::testing::Values("")),
    faultName);

// The roads of file systems without unnamed temporary files: each step that
// names or places a file, over the small hive and the CREG file.
INSTANTIATE_TEST_SUITE_P(
    Roads, CommitFault,
    ::testing::Combine(::testing::Values(Fault{"", 0, true}, Fault{"produce", 1, false},
                                         Fault{"placeNew", 1, false}, Fault{"placeNew", 2, false},
                                         Fault{"replace", 1, false},
                                         Fault{"syncDirectory", 3, true}),
                       ::testing::Bool(), ::testing::Values("named")),
    faultName);
// Placing by a reserved name, over the small hive.
INSTANTIATE_TEST_SUITE_P(Reserved, CommitFault,
                         ::testing::Combine(::testing::Values(Fault{"", 0, true},
                                                              Fault{"placeNew", 1, false},
                                                              Fault{"placeNew", 2, false}),
                                            ::testing::Values(false),
                                            ::testing::Values("reserved")),
                         faultName);

// An image whose new content fails its read-back check.
class FailingVerify : public image::HiveFile {
public:
  using HiveFile::HiveFile;
  void verify(const std::filesystem::path&) override {
    throw image::Error("SYSTEM", "the new hive differs");
  }
};

// The pipeline's tests on the road of the file system and on the named one;
// the reserved road differs in placing only, which NewFilesOnRoad takes.
class CommitOnRoad : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Roads, CommitOnRoad, ::testing::Values("", "named"), roadName);

TEST_P(CommitOnRoad, SeveralFilesAreAllCheckedBeforeAnyIsWritten) {
  REQUIRE_REAL_HIVE();
  const std::string& road = GetParam();
  const Road taken(road);
  ChangedImage first("all-first" + road);
  ChangedImage second("all-second" + road);
  ASSERT_TRUE(first.file && second.file) << "no image to commit";
  image::HiveFile good(*first.input, "SYSTEM", first.mount, first.machine.registry);
  FailingVerify bad(*second.input, "SOFTWARE", second.mount, second.machine.registry);
  std::ostringstream report;
  EXPECT_THROW(image::commitImages({{&good, &bad}, std::nullopt, std::nullopt, ""}, report),
               image::Error);
  EXPECT_EQ(first.names(), std::vector<std::string>{"SYSTEM"});
  EXPECT_EQ(second.names(), std::vector<std::string>{"SYSTEM"});
  EXPECT_TRUE(readBytes(first.target) == first.before);
}

TEST_P(CommitOnRoad, AReplaceFailingMidwayNamesWhatWasCommitted) {
  REQUIRE_REAL_HIVE();
  const std::string& road = GetParam();
  const Road taken(road);
  ChangedImage first("midway-first" + road);
  ChangedImage second("midway-second" + road);
  ASSERT_TRUE(first.file && second.file) << "no image to commit";
  image::HiveFile one(*first.input, "SYSTEM", first.mount, first.machine.registry);
  image::HiveFile two(*second.input, "SOFTWARE", second.mount, second.machine.registry);
  FaultyOps ops("replace", 2);
  std::ostringstream report;
  std::string message;
  try {
    image::commitImages({{&one, &two}, std::nullopt, std::nullopt, ""}, report, ops);
  } catch (const image::Error& e) {
    message = e.what();
  }
  EXPECT_NE(message.find("SYSTEM committed to " + first.target.string()), std::string::npos)
      << message;
  EXPECT_NE(message.find("backup " + (first.folder / "SYSTEM.qvinst98.bak").string()),
            std::string::npos)
      << message;
  EXPECT_NE(message.find("SOFTWARE not committed"), std::string::npos) << message;
  EXPECT_EQ(first.names(), (std::vector<std::string>{"SYSTEM", "SYSTEM.qvinst98.bak",
                                                     "SYSTEM.qvinst98.undo.reg"}));
  EXPECT_EQ(second.names(), std::vector<std::string>{"SYSTEM"});
  EXPECT_TRUE(readBytes(second.target) == second.before);
}

// A backup or undo name given that exists: the commit is refused, or fails
// placing the undo file, and leaves that file as it was, on every road.
TEST_P(CommitOnRoad, AGivenNameThatExistsIsNeverTheRunsToRemove) {
  REQUIRE_REAL_HIVE();
  const std::string& road = GetParam();
  for (const bool undo : {true, false})
    for (const bool placingFails : {false, true}) {
      if (!undo && placingFails) continue;  // the backup is placed first
      SCOPED_TRACE(std::string(undo ? "undo" : "backup") + (placingFails ? ", placing fails" : ""));
      const Road taken(road);
      ChangedImage image("given-" + road + (undo ? "undo" : "backup") +
                         (placingFails ? "-fails" : ""));
      ASSERT_TRUE(image.file) << "no image to commit";
      const std::filesystem::path other = image.folder / (undo ? "X.undo.reg" : "X.bak");
      hivetest::writeBytes(other, "not the run's");
      FaultyOps ops(placingFails ? "placeNew" : "", 2);
      std::ostringstream report;
      image::CommitRequest request{{image.file.get()}, std::nullopt, std::nullopt, ""};
      (undo ? request.undo : request.backup) = other;
      EXPECT_THROW(image::commitImages(request, report, ops), image::Error);
      EXPECT_EQ(image.names(), (std::vector<std::string>{"SYSTEM", other.filename().string()}));
      EXPECT_EQ(readBytes(other), "not the run's");
      EXPECT_TRUE(readBytes(image.target) == image.before);
    }
}

TEST(CommitPipeline, TheReadBackNamesTheFirstDifferenceFromThePlan) {
  REQUIRE_REAL_HIVE();
  ChangedImage hive("readback");
  ASSERT_TRUE(hive.file) << "no image to commit";
  const std::filesystem::path written = hive.folder / "written";
  image::writeHive(hive.machine.registry, hive.mount, written);
  const std::string mount = image::mountPathFor(image::HiveKind::System);
  const auto differs = [&]() -> std::string {
    try {
      image::verifyWrittenHive(written, image::HiveKind::System, hive.machine.registry, mount);
    } catch (const image::Error& e) {
      return e.what();
    }
    return "";
  };
  EXPECT_EQ(differs(), "");
  hive.machine.registry.setDword("HKLM\\SYSTEM\\Select", "Planned", 1);  // a value not written
  EXPECT_NE(differs().find("Select|Planned"), std::string::npos) << differs();
  hive.machine.registry.removeValue("HKLM\\SYSTEM\\Select", "Planned");
  hive.machine.registry.removeKey("HKLM\\SYSTEM\\Setup");  // a key written that is not planned
  EXPECT_NE(differs().find("unexpected key HKEY_LOCAL_MACHINE\\SYSTEM\\Setup"), std::string::npos)
      << differs();
}

TEST(InputFiles, ALockedFileAndOneThatIsNotRegularAreRefused) {
  const std::filesystem::path folder = workFolder() / "inputs";
  std::filesystem::create_directories(folder);
  hivetest::writeBytes(folder / "hive", "regf");
  const image::InputFile held = image::InputFile::open(folder / "hive", /*lock=*/true);
  EXPECT_THROW(image::InputFile::open(folder / "hive", true), image::Error);
  EXPECT_NO_THROW(image::InputFile::open(folder / "hive", false));
  ASSERT_EQ(::mkfifo((folder / "fifo").c_str(), 0600), 0);
  EXPECT_THROW(image::InputFile::open(folder / "fifo", false), image::Error);  // no hang
  EXPECT_THROW(image::InputFile::open(folder, false), image::Error);
  // Rewritten in place at the same size: a new time alone, then new bytes
  // under the old time (FAT keeps times to two seconds), each seen.
  EXPECT_NO_THROW(held.recheck());
  const struct stat& read = held.info();
  const struct timespec later[2] = {read.st_atim, {read.st_mtim.tv_sec, read.st_mtim.tv_nsec ^ 1}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "hive").c_str(), later, 0), 0);
  EXPECT_THROW(held.recheck(), image::Error);
  hivetest::writeBytes(folder / "hive", "regF");
  const struct timespec same[2] = {read.st_atim, read.st_mtim};
  ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "hive").c_str(), same, 0), 0);
  EXPECT_THROW(held.recheck(), image::Error);
  hivetest::writeBytes(folder / "hive", "regf");
  ASSERT_EQ(::utimensat(AT_FDCWD, (folder / "hive").c_str(), same, 0), 0);
  EXPECT_NO_THROW(held.recheck());
  // Replaced under the same name since it was opened: the recheck sees it.
  hivetest::writeBytes(folder / "other", "regf");
  std::filesystem::rename(folder / "other", folder / "hive");
  EXPECT_THROW(held.recheck(), image::Error);
}

class NewFilesOnRoad : public ::testing::TestWithParam<std::string> {};
INSTANTIATE_TEST_SUITE_P(Roads, NewFilesOnRoad, ::testing::Values("", "named", "reserved"),
                         roadName);

TEST_P(NewFilesOnRoad, AreInvisibleUntilPlacedAndNeverTakeANameThatExists) {
  const std::string& road = GetParam();
  const Road taken(road);
  const std::filesystem::path folder = workFolder() / ("placing" + road);
  std::filesystem::create_directories(folder);
  std::filesystem::create_symlink(folder / "nowhere", folder / "taken");
  image::FileOps& ops = image::systemFileOps();
  {
    image::TempFile file = ops.create(folder, "made");
    ops.write(file, "bytes");
    EXPECT_FALSE(ops.placeNew(file, folder / "taken"));  // a dangling link is a name too
    EXPECT_TRUE(std::filesystem::is_symlink(folder / "taken"));
    EXPECT_FALSE(std::filesystem::exists(folder / "nowhere")) << "written through the link";
    EXPECT_TRUE(ops.placeNew(file, folder / "made"));
  }
  { image::TempFile dropped = ops.create(folder, "dropped"); }
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"made", "taken"}));
  EXPECT_EQ(readBytes(folder / "made"), "bytes");
}

TEST(BackupNames, ATakenNameIsNeverReused) {
  const std::filesystem::path folder = workFolder() / "names";
  std::filesystem::create_directories(folder);
  const std::filesystem::path target = folder / "SYSTEM";
  hivetest::writeBytes(folder / "SYSTEM.qvinst98.bak", "x");
  EXPECT_EQ(image::freeBackupPath(target).filename(), "SYSTEM.qvinst98-2.bak");
  hivetest::writeBytes(folder / "SYSTEM.qvinst98-2.undo.reg", "x");
  EXPECT_EQ(image::freeBackupPath(target).filename(), "SYSTEM.qvinst98-3.bak");
  EXPECT_EQ(image::undoPathFor(folder / "SYSTEM.qvinst98-3.bak").filename(),
            "SYSTEM.qvinst98-3.undo.reg");
}

}  // namespace
