// The hive reader and writer over the real SYSTEM hive of a Windows 7
// installation, and over damaged copies of it.
#include <gtest/gtest.h>
#include <hivex.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Exports.h"
#include "HiveFixture.h"
#include "HiveImage.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"

namespace {

using hivetest::copyOfRealHive;
using hivetest::readBytes;
using hivetest::realHive;
using hivetest::workFolder;
using hivetest::writeBytes;

const auto* const cleanup = ::testing::AddGlobalTestEnvironment(new hivetest::WorkFolderCleanup);

constexpr char kCcs[] = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet";

std::string text(const std::vector<std::uint8_t>& data) {
  return std::string(data.begin(), data.end());
}

TEST(RealHive, PresentsTheCurrentControlSetAsTheLinkAndEverythingElseAsItIs) {
  REQUIRE_REAL_HIVE();
  sim::Machine machine;
  const image::HiveMount mount =
      image::loadHive(machine.registry, realHive(), image::HiveKind::System);
  // The counts hivexml reports for this hive: every key, the root included.
  EXPECT_EQ(mount.keys, 30756u);
  EXPECT_EQ(mount.values, 73456u);
  EXPECT_EQ(mount.currentSet, "ControlSet001");
  EXPECT_TRUE(mount.header.clean());

  const sim::Registry& registry = machine.registry;
  EXPECT_TRUE(registry.keyExists(std::string(kCcs) + "\\Enum\\USB\\VID_0E0F&PID_0003"));
  EXPECT_TRUE(registry.keyExists(std::string(kCcs) + "\\Control\\Class"));
  EXPECT_FALSE(registry.keyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet001"));
  EXPECT_TRUE(registry.keyExists("HKEY_LOCAL_MACHINE\\SYSTEM\\ControlSet002\\Enum\\USB"));
  const auto current = registry.value("HKLM\\SYSTEM\\Select", "Current");
  ASSERT_TRUE(current);
  EXPECT_EQ(current->type, REG_DWORD);
  EXPECT_EQ(current->data, (std::vector<std::uint8_t>{1, 0, 0, 0}));
  // Text is narrowed from the hive's UTF-16LE, its terminating NUL kept.
  const auto partition = registry.value("HKLM\\SYSTEM\\Setup", "SystemPartition");
  ASSERT_TRUE(partition);
  EXPECT_EQ(partition->type, REG_SZ);
  EXPECT_EQ(text(partition->data), std::string("\\Device\\HarddiskVolume1", 24));
  // Nothing loaded differs from the hive.
  EXPECT_TRUE(image::diffHive(registry, mount).empty());
}

struct ExportCase {
  const char* name;
  bool findsDevices;  // the result says whether product devices were found
};

class RealHiveExport : public ::testing::TestWithParam<ExportCase> {};

// On a machine that never had the product, no export changes anything.
TEST_P(RealHiveExport, ChangesNothing) {
  REQUIRE_REAL_HIVE();
  const ExportCase& param = GetParam();
  sim::Machine machine;
  ASSERT_TRUE(machine.setOs("winxp"));
  const image::HiveMount mount =
      image::loadHive(machine.registry, realHive(), image::HiveKind::System);
  machine.configManager.loadFromRegistry();
  machine.log.setRecording(false);
  sim::ScopedMachine installed(machine);
  qvinst::onLoad();
  const qvinst::ExportEntry* entry = nullptr;
  for (const auto& candidate : qvinst::exportTable)
    if (std::strcmp(candidate.name, param.name) == 0) entry = &candidate;
  ASSERT_NE(entry, nullptr);
  const std::int32_t result = entry->fn(nullptr, 0, "");
  if (param.findsDevices) {
    EXPECT_EQ(result, 1) << "1: no product device found";
  }
  for (const sim::Change& change : machine.changes) {
    EXPECT_NE(change.kind, sim::Change::Kind::DeletedKey) << change.describe();
    EXPECT_NE(change.kind, sim::Change::Kind::DeletedValue) << change.describe();
    EXPECT_NE(change.kind, sim::Change::Kind::CreatedKey) << change.describe();
    EXPECT_NE(change.kind, sim::Change::Kind::RemovedDevice) << change.describe();
  }
  EXPECT_TRUE(image::diffHive(machine.registry, mount).empty());
  EXPECT_EQ(machine.openHandleCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Cleanup, RealHiveExport,
                         ::testing::Values(ExportCase{"RemoveUsbDevices", true},
                                           ExportCase{"RemovePedalDevices", true},
                                           ExportCase{"RemoveAuxDevices", true},
                                           ExportCase{"RemoveRootDevice", false},
                                           ExportCase{"UninstUnInitialize", false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct HiveCloser {
  void operator()(hive_h* hive) const noexcept { hivex_close(hive); }
};

// A node by path below the root, read with hivex alone; 0 when missing.
hive_node_h nodeAt(hive_h* hive, const std::vector<const char*>& path) {
  hive_node_h node = hivex_root(hive);
  for (const char* name : path) {
    if (node == 0) return 0;
    node = hivex_node_get_child(hive, node, name);
  }
  return node;
}

TEST(WriteBack, ChangesThroughCurrentControlSetLandInTheCurrentSetAndNothingElseMoves) {
  REQUIRE_REAL_HIVE();
  const auto original = copyOfRealHive("writeback.hive");
  const auto written = workFolder() / "writeback-new.hive";
  sim::Machine machine;
  const image::HiveMount mount =
      image::loadHive(machine.registry, original, image::HiveKind::System);
  sim::Registry& registry = machine.registry;
  const std::string ccs = kCcs;
  ASSERT_TRUE(registry.removeKey(ccs + "\\Enum\\USB\\VID_0E0F&PID_0003"));
  registry.setString(ccs + "\\Control\\Planted\\Below", "Name", "Caf\xE9");
  ASSERT_TRUE(registry.removeValue("HKLM\\SYSTEM\\Select", "Failed"));
  registry.setDword("HKLM\\SYSTEM\\Select", "Extra", 7);

  const image::HiveDiff diff = image::writeHive(registry, mount, written);
  EXPECT_EQ(diff.keysDeleted, 1u);
  EXPECT_EQ(diff.keysAdded, 2u);
  EXPECT_EQ(diff.valueListsChanged, 2u);  // Select, and the new key's value
  image::verifyHive(written);
  EXPECT_EQ(readBytes(original), readBytes(realHive())) << "the original is left alone";

  // Read back with hivex alone: the current set changed, the other did not.
  std::unique_ptr<hive_h, HiveCloser> hive(hivex_open(written.c_str(), 0));
  ASSERT_TRUE(hive);
  EXPECT_EQ(nodeAt(hive.get(), {"ControlSet001", "Enum", "USB", "VID_0E0F&PID_0003"}), 0u);
  EXPECT_NE(nodeAt(hive.get(), {"ControlSet002", "Enum", "USB", "VID_0E0F&PID_0003"}), 0u);
  EXPECT_EQ(nodeAt(hive.get(), {"CurrentControlSet"}), 0u);
  const hive_node_h below = nodeAt(hive.get(), {"ControlSet001", "Control", "Planted", "Below"});
  ASSERT_NE(below, 0u);
  const hive_value_h name = hivex_node_get_value(hive.get(), below, "Name");
  ASSERT_NE(name, 0u);
  hive_type type{};
  std::size_t length = 0;
  std::unique_ptr<char, decltype(&std::free)> data(
      hivex_value_value(hive.get(), name, &type, &length), &std::free);
  EXPECT_EQ(type, hive_t_REG_SZ);
  EXPECT_EQ(std::string(data.get(), length), std::string("C\0a\0f\0\xE9\0\0\0", 10));
  hive.reset();

  // Everything else reads back as it was changed.
  sim::Machine again;
  image::loadHive(again.registry, written, image::HiveKind::System);
  EXPECT_TRUE(image::writeRegText(again.registry) == image::writeRegText(registry));
}

TEST(WriteBack, ChangingTheCurrentSetUnderItsOwnNameIsRefused) {
  REQUIRE_REAL_HIVE();
  sim::Machine machine;
  const image::HiveMount mount =
      image::loadHive(machine.registry, realHive(), image::HiveKind::System);
  machine.registry.addKey("HKLM\\SYSTEM\\ControlSet001\\Control");
  EXPECT_THROW(image::diffHive(machine.registry, mount), image::Error);
}

struct Damage {
  const char* name;
  std::string (*damage)(const std::string& hive);
  const char* expected;  // in the message
};

class DamagedHive : public ::testing::TestWithParam<Damage> {};

// A damaged file gets a one-line error naming it, and the registry is not
// half loaded when the header already gives it away.
TEST_P(DamagedHive, IsRefusedWithOneLine) {
  REQUIRE_REAL_HIVE();
  const Damage& param = GetParam();
  const auto file = workFolder() / (std::string(param.name) + ".hive");
  writeBytes(file, param.damage(readBytes(realHive())));
  sim::Machine machine;
  try {
    image::loadHive(machine.registry, file, image::HiveKind::System);
    FAIL() << "loaded";
  } catch (const image::Error& e) {
    const std::string message = e.what();
    EXPECT_NE(message.find(file.string()), std::string::npos) << message;
    EXPECT_NE(message.find(param.expected), std::string::npos) << message;
    EXPECT_EQ(message.find('\n'), std::string::npos) << message;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, DamagedHive,
    ::testing::Values(
        Damage{"text", [](const std::string&) { return std::string("REGEDIT4\r\n\r\n"); },
               "not a registry hive"},
        Damage{"empty", [](const std::string&) { return std::string(); }, "not a registry hive"},
        Damage{"baseblock", [](const std::string& hive) { return hive.substr(0, 1000); },
               "truncated"},
        Damage{"half", [](const std::string& hive) { return hive.substr(0, hive.size() / 2); },
               "truncated"},
        Damage{"checksum",
               [](const std::string& hive) {
                 std::string damaged = hive;
                 damaged[0x1FC] = static_cast<char>(damaged[0x1FC] ^ 0x55);
                 return damaged;
               },
               "not a readable registry hive"},
        Damage{"bins",
               [](const std::string& hive) {
                 std::string damaged = hive;
                 for (std::size_t at = 4096; at < damaged.size(); at += 4096) damaged[at] = 'X';
                 return damaged;
               },
               "registry hive"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(HiveHeader, ASystemHiveWithoutSelectIsRefused) {
  REQUIRE_REAL_HIVE();
  const auto file = workFolder() / "noselect.hive";
  ASSERT_TRUE(hivetest::plantHelper("drop " + hivetest::quoted(realHive()) + " " +
                                    hivetest::quoted(file) + " Select"));
  sim::Machine machine;
  try {
    image::loadHive(machine.registry, file, image::HiveKind::System);
    FAIL() << "loaded";
  } catch (const image::Error& e) {
    EXPECT_NE(std::string(e.what()).find("Select"), std::string::npos) << e.what();
  }
  // As a SOFTWARE hive it has no control sets to resolve and loads.
  sim::Machine other;
  const auto mount = image::loadHive(other.registry, file, image::HiveKind::Software);
  EXPECT_TRUE(other.registry.keyExists("HKLM\\SOFTWARE\\ControlSet001\\Enum"));
  EXPECT_TRUE(mount.currentSet.empty());
}

TEST(HiveHeader, AnUncleanHiveIsReadButNeverWritten) {
  REQUIRE_REAL_HIVE();
  const auto file = workFolder() / "unclean.hive";
  const auto out = workFolder() / "unclean-out.hive";
  ASSERT_TRUE(hivetest::plantHelper("unclean " + hivetest::quoted(realHive()) + " " +
                                    hivetest::quoted(file)));
  sim::Machine machine;
  const image::HiveMount mount = image::loadHive(machine.registry, file, image::HiveKind::System);
  EXPECT_FALSE(mount.header.clean());
  EXPECT_EQ(mount.header.sequence1, mount.header.sequence2 + 1);
  EXPECT_TRUE(machine.registry.keyExists(std::string(kCcs) + "\\Enum"));
  EXPECT_THROW(image::writeHive(machine.registry, mount, out), image::Error);
  EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(HiveHeader, AFileChangedSinceLoadingIsNotWrittenBack) {
  REQUIRE_REAL_HIVE();
  const auto file = copyOfRealHive("changed.hive");
  const auto out = workFolder() / "changed-out.hive";
  sim::Machine machine;
  const image::HiveMount mount = image::loadHive(machine.registry, file, image::HiveKind::System);
  std::filesystem::resize_file(file, std::filesystem::file_size(file) + 4096);
  EXPECT_THROW(image::writeHive(machine.registry, mount, out), image::Error);
  EXPECT_FALSE(std::filesystem::exists(out));
}

}  // namespace
