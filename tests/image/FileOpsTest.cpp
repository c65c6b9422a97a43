// Committing a hive: whichever step fails (the backup, the undo file, writing
// the new hive, syncing it, the rename, syncing the folder), what is left is
// the old hive or the complete new one, and the backup is complete before
// the original is touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FileOps.h"
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

  void copyNew(const std::filesystem::path& from, const std::filesystem::path& to) override {
    step("copyNew", to);
    FileOps::copyNew(from, to);
  }
  void writeBytes(const std::filesystem::path& file, const std::string& bytes) override {
    step("writeBytes", file);
    FileOps::writeBytes(file, bytes);
  }
  void produce(const std::filesystem::path& file,
               const std::function<void(const std::filesystem::path&)>& write) override {
    if (fails("produce", file)) {
      write(file);
      std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
      throw image::FileError(file.string() + ": cannot be written (No space left on device)");
    }
    FileOps::produce(file, write);
  }
  void sync(const std::filesystem::path& file) override {
    step("sync", file);
    FileOps::sync(file);
  }
  void rename(const std::filesystem::path& from, const std::filesystem::path& to) override {
    step("rename", to);
    FileOps::rename(from, to);
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
    if (fails(op, path)) throw image::FileError(path.string() + ": " + op + " failed");
  }
};

struct Fault {
  const char* op;  // empty: nothing fails
  int nth;
  bool replaced;    // the target holds the new hive afterwards
  bool backupKept;  // the backup exists afterwards
  bool undoKept;    // the undo file exists afterwards
};

class CommitFault : public ::testing::TestWithParam<Fault> {};

TEST_P(CommitFault, LeavesTheOldHiveOrTheCompleteNewOne) {
  REQUIRE_REAL_HIVE();
  const Fault& fault = GetParam();
  const std::filesystem::path folder =
      workFolder() / ("commit-" + std::string(fault.op) + std::to_string(fault.nth));
  std::filesystem::create_directories(folder);
  const std::filesystem::path target = folder / "SYSTEM";
  std::filesystem::copy_file(hivetest::realHive(), target);
  const std::string before = readBytes(target);

  sim::Machine machine;
  const image::HiveMount mount = image::loadHive(machine.registry, target, image::HiveKind::System);
  ASSERT_TRUE(
      machine.registry.removeKey("HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0E0F&PID_0003"));

  const std::filesystem::path backup = image::freeBackupPath(target);
  const std::filesystem::path undo = image::undoPathFor(backup);
  EXPECT_EQ(backup.filename(), "SYSTEM.qvinst98.bak");
  EXPECT_EQ(undo.filename(), "SYSTEM.qvinst98.undo.reg");
  FaultyOps ops(fault.op, fault.nth);
  bool failed = false;
  try {
    image::replaceFile({target, backup, undo, "REGEDIT4\r\n",
                        [&](const std::filesystem::path& file) {
                          image::writeHive(machine.registry, mount, file);
                        }},
                       ops);
  } catch (const image::FileError&) {
    failed = true;
  }
  EXPECT_EQ(failed, std::string(fault.op) != "");

  // Only the target, the backup and the undo file are left: no temporary
  // file, no partial backup.
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  std::vector<std::string> expected{"SYSTEM"};
  if (fault.backupKept) expected.push_back("SYSTEM.qvinst98.bak");
  if (fault.undoKept) expected.push_back("SYSTEM.qvinst98.undo.reg");
  EXPECT_EQ(names, expected);

  if (fault.backupKept) {
    EXPECT_TRUE(readBytes(backup) == before) << "the backup is complete";
  }
  if (fault.replaced) {
    image::verifyHive(target);
    sim::Machine reloaded;
    image::loadHive(reloaded.registry, target, image::HiveKind::System);
    EXPECT_FALSE(reloaded.registry.keyExists(
        "HKLM\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_0E0F&PID_0003"));
  } else {
    EXPECT_TRUE(readBytes(target) == before) << "the original is untouched";
  }

  // The backup is copied and its folder synced before anything reaches the
  // target, which only the rename does.
  const auto at = [&ops](const std::string& entry) {
    return std::find(ops.log.begin(), ops.log.end(), entry) - ops.log.begin();
  };
  const auto rename = at("rename SYSTEM");
  if (rename < static_cast<long>(ops.log.size())) {
    EXPECT_LT(at("copyNew SYSTEM.qvinst98.bak"), rename);
    EXPECT_LT(at("syncDirectory " + folder.filename().string()), rename);
    EXPECT_LT(at("writeBytes SYSTEM.qvinst98.undo.reg"), rename);
    EXPECT_LT(at("sync " + image::temporaryPathFor(target).filename().string()), rename);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CommitFault,
    ::testing::Values(Fault{"", 0, true, true, true}, Fault{"copyNew", 1, false, false, false},
                      Fault{"syncDirectory", 1, false, false, false},
                      Fault{"writeBytes", 1, false, true, false},
                      Fault{"produce", 1, false, true, true}, Fault{"sync", 1, false, true, true},
                      Fault{"rename", 1, false, true, true},
                      Fault{"syncDirectory", 2, true, true, true}),
    [](const auto& info) {
      const std::string op = info.param.op;
      return (op.empty() ? std::string("none") : op) + std::to_string(info.param.nth);
    });

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
