// The hive reader and writer over the real SYSTEM hive of a Windows 7
// installation, and over damaged copies of it.
#include <gtest/gtest.h>
#include <hivex.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "Exports.h"
#include "HiveFixture.h"
#include "HiveImage.h"
#include "Machine.h"
#include "RegFile.h"
#include "Tracers.h"
#include "TreeCompare.h"

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

  const image::ImageDiff diff = image::writeHive(registry, mount, written);
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

// One value deleted, the key's others unchanged (an --import with "x"=-, an
// undo file applied offline): every remaining value matches the hive's, and
// still the list is written.
TEST(WriteBack, OneValueDeletedBesideUnchangedOnesLeavesTheHive) {
  REQUIRE_REAL_HIVE();
  const auto written = workFolder() / "onevalue-new.hive";
  sim::Machine machine;
  const image::HiveMount mount =
      image::loadHive(machine.registry, realHive(), image::HiveKind::System);
  const std::string setup = "HKEY_LOCAL_MACHINE\\SYSTEM\\Setup";
  ASSERT_GE(machine.registry.values(setup).size(), 2u);
  ASSERT_TRUE(machine.registry.removeValue(setup, "SystemPartition"));

  const image::ImageDiff diff = image::writeHive(machine.registry, mount, written);
  EXPECT_EQ(image::describe(diff), "0 keys deleted, 0 added, 1 value lists changed");
  EXPECT_NO_THROW(image::verifyHiveAgainst(written, image::HiveKind::System, machine.registry,
                                           mount.mountPath));
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

// A copy of the real hive changed by hive_plant's edit steps.
std::filesystem::path edited(const std::string& name, const std::vector<std::string>& steps) {
  const auto file = workFolder() / (name + ".hive");
  // Appended piece by piece: GCC 12 at -O3 warns falsely on "x" + string.
  std::string arguments = "edit ";
  arguments += hivetest::quoted(realHive());
  arguments += ' ';
  arguments += hivetest::quoted(file);
  for (const std::string& step : steps) {
    arguments += ' ';
    arguments += hivetest::quoted(step);
  }
  return hivetest::plantHelper(arguments) ? file : std::filesystem::path();
}

struct Crafted {
  const char* name;
  std::vector<std::string> steps;
  const char* expected;  // in the message
};

void PrintTo(const Crafted& param, std::ostream* out) {
  *out << param.name;
}

class CraftedHive : public ::testing::TestWithParam<Crafted> {};

// Loaded in a child process: a crash, or a hang stopped by the alarm, fails
// the case instead of the program. The child exits 0 when the message is one
// line naming the file and the damage, and nothing was loaded.
TEST_P(CraftedHive, IsRefusedWithOneLineInBoundedTime) {
  REQUIRE_REAL_HIVE();
  const Crafted& param = GetParam();
  const auto file = edited(param.name, param.steps);
  ASSERT_FALSE(file.empty()) << "cannot plant " << param.name;
  EXPECT_EXIT(
      {
        ::alarm(30);
        sim::Machine machine;
        std::string message = "loaded";
        try {
          image::loadHive(machine.registry, file, image::HiveKind::System);
        } catch (const image::Error& e) {
          message = e.what();
        }
        std::fputs(message.c_str(), stderr);
        std::_Exit(message.rfind(file.string() + ": ", 0) == 0 &&
                           message.find(param.expected) != std::string::npos &&
                           message.find('\n') == std::string::npos && machine.registry.empty()
                       ? 0
                       : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

std::string deepPath() {
  std::string path = "Deep";
  for (int i = 0; i < 520; ++i) path += "\\D";
  return path;
}

INSTANTIATE_TEST_SUITE_P(
    Hives, CraftedHive,
    ::testing::Values(
        Crafted{"self",
                {"link|ControlSet001\\Control\\Print|ControlSet001\\Control\\Print"},
                "subkey list of ControlSet001\\Control\\Print names that key or one above it"},
        Crafted{"ancestor",
                {"link|ControlSet001\\Enum\\USB\\VID_0E0F&PID_0003|ControlSet001\\Enum"},
                "names that key or one above it"},
        Crafted{"shared",
                {"link|ControlSet001\\Enum\\HID|ControlSet001\\Enum\\USB\\VID_0E0F&PID_0003"},
                "ControlSet001\\Enum\\USB\\VID_0E0F&PID_0003 is listed below two keys"},
        Crafted{"indexself", {"ri-self|ControlSet001\\Enum\\HID"}, "cannot read a subkey list"},
        Crafted{"twosets",
                {"rename|ControlSet002|ControlSet001"},
                "root key holds two subkeys named ControlSet001"},
        Crafted{"twosetscase", {"rename|ControlSet002|CONTROLSET001"}, "two subkeys named"},
        Crafted{"manysiblings",
                {"rename|ControlSet001\\Services\\adp94xx|ADPAHCI"},
                "ControlSet001\\services holds two subkeys named"},
        Crafted{
            "latin1case",
            {"key|ControlSet001\\Control\\Caf\xC3\xA9", "key|ControlSet001\\Control\\CAF\xC3\x89"},
            "ControlSet001\\Control holds two subkeys named CAF\xC3\x89"},
        Crafted{"values", {"value|Select|current|1"}, "Select holds two values named"},
        Crafted{"deep", {"key|" + deepPath()}, "deeper than 512 levels"}),
    [](const auto& info) { return std::string(info.param.name); });

constexpr char kPrinters[] = "ControlSet001\\Control\\Print\\Printers";
// Cyrillic: a printer's name, a value name, text; "???????" in 8 bits.
constexpr char kPrinter[] = "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xBD\xD1\x82\xD0\xB5\xD1\x80";
constexpr char kPlotter[] = "\xD0\x9F\xD0\xBB\xD0\xBE\xD1\x82\xD1\x82\xD0\xB5\xD1\x80";
constexpr char kName[] = "\xD0\x98\xD0\xBC\xD1\x8F";
constexpr char kCode[] = "\xD0\x9A\xD0\xBE\xD0\xB4";
constexpr char kLaser[] = "\xD0\x9B\xD0\xB0\xD0\xB7\xD0\xB5\xD1\x80";

std::vector<std::string> localized() {
  const std::string printer = std::string(kPrinters) + "\\" + kPrinter;
  return {"key|" + printer, "value|" + printer + "|Port|LPT1:",
          "value|ControlSet001\\Control\\Print|" + std::string(kName) + "|" + kLaser,
          "value|ControlSet001\\Control\\Print|Comment|" + std::string(kLaser),
          "value|ControlSet001\\Control\\Print|Drop|x"};
}

// A child's name or a value's data as hivex reads them.
std::string childName(hive_h* hive, hive_node_h node) {
  std::unique_ptr<char, decltype(&std::free)> name(hivex_node_name(hive, node), &std::free);
  return name ? name.get() : "";
}
std::string valueData(hive_h* hive, hive_node_h node, const char* name) {
  const hive_value_h value = hivex_node_get_value(hive, node, name);
  if (value == 0) return "(none)";
  hive_type type{};
  std::size_t length = 0;
  std::unique_ptr<char, decltype(&std::free)> data(hivex_value_value(hive, value, &type, &length),
                                                   &std::free);
  return std::string(data.get(), length);
}

TEST(LocalizedNames, KeepTheirBytesThroughACleanupAndTheWriteVerifies) {
  REQUIRE_REAL_HIVE();
  const auto file = edited("localized", localized());
  ASSERT_FALSE(file.empty());
  const auto out = workFolder() / "localized-out.hive";
  sim::Machine machine;
  const image::HiveMount mount = image::loadHive(machine.registry, file, image::HiveKind::System);
  EXPECT_GE(mount.narrowedNames, 2u);
  sim::Registry& registry = machine.registry;
  const std::string print = std::string(kCcs) + "\\Control\\Print";
  ASSERT_TRUE(registry.keyExists(print + "\\Printers\\???????"));
  ASSERT_TRUE(registry.removeValue(print, "Drop"));
  registry.setString(print, "Comment", "changed");
  ASSERT_TRUE(registry.removeKey(std::string(kCcs) + "\\Enum\\USB\\VID_0E0F&PID_0003"));
  EXPECT_NO_THROW(image::checkWritable(registry, mount));

  const image::ImageDiff diff = image::writeHive(registry, mount, out);
  EXPECT_EQ(diff.keysDeleted, 1u);
  EXPECT_EQ(diff.valueListsChanged, 1u);
  EXPECT_NO_THROW(image::verifyHiveAgainst(out, image::HiveKind::System, registry,
                                           image::mountPathFor(image::HiveKind::System)));
  std::unique_ptr<hive_h, HiveCloser> hive(hivex_open(out.c_str(), 0));
  ASSERT_TRUE(hive);
  const hive_node_h printNode = nodeAt(hive.get(), {"ControlSet001", "Control", "Print"});
  const hive_node_h printer =
      nodeAt(hive.get(), {"ControlSet001", "Control", "Print", "Printers", kPrinter});
  ASSERT_NE(printer, 0u);
  EXPECT_EQ(childName(hive.get(), printer), kPrinter);
  EXPECT_EQ(valueData(hive.get(), printer, "Port"), std::string("L\0P\0T\0001\0:\0\0\0", 12));
  // The value the run left alone keeps its name and its UTF-16 text.
  EXPECT_EQ(valueData(hive.get(), printNode, kName),
            std::string("\x1B\x04\x30\x04\x37\x04\x35\x04\x40\x04\0\0", 12));
  EXPECT_EQ(valueData(hive.get(), printNode, "???"), "(none)");
  EXPECT_EQ(valueData(hive.get(), printNode, "Drop"), "(none)");
  EXPECT_EQ(valueData(hive.get(), printNode, "Comment"),
            std::string("c\0h\0a\0n\0g\0e\0d\0\0\0", 16));
}

struct Unwritable {
  const char* name;
  std::vector<std::string> steps;
  std::function<void(sim::Registry&)> run;
  const char* expected;
};

void PrintTo(const Unwritable& param, std::ostream* out) {
  *out << param.name;
}

class UnwritableHive : public ::testing::TestWithParam<Unwritable> {};

// The preview check, the diff and the write refuse alike, and nothing is written.
TEST_P(UnwritableHive, IsRefusedBeforeAnythingIsWritten) {
  REQUIRE_REAL_HIVE();
  const Unwritable& param = GetParam();
  const auto file = edited(param.name, param.steps);
  ASSERT_FALSE(file.empty());
  const auto out = workFolder() / (std::string(param.name) + "-out.hive");
  sim::Machine machine;
  const image::HiveMount mount = image::loadHive(machine.registry, file, image::HiveKind::System);
  param.run(machine.registry);
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      if (attempt == 0) image::checkWritable(machine.registry, mount);
      if (attempt == 1) image::diffHive(machine.registry, mount);
      if (attempt == 2) image::writeHive(machine.registry, mount, out);
      ADD_FAILURE() << "accepted, attempt " << attempt;
    } catch (const image::Error& e) {
      EXPECT_NE(std::string(e.what()).find(param.expected), std::string::npos) << e.what();
      EXPECT_EQ(std::string(e.what()).find('\n'), std::string::npos) << e.what();
    }
  }
  EXPECT_FALSE(std::filesystem::exists(out));
}

const std::string kPrint = std::string(kCcs) + "\\Control\\Print";

INSTANTIATE_TEST_SUITE_P(
    Localized, UnwritableHive,
    ::testing::Values(
        Unwritable{"keycollision",
                   {"key|" + std::string(kPrinters) + "\\" + kPrinter,
                    "key|" + std::string(kPrinters) + "\\" + kPlotter},
                   [](sim::Registry&) {},
                   "one name in 8-bit text"},
        Unwritable{"valuecollision",
                   {"value|ControlSet001\\Control\\Print|" + std::string(kName) + "|a",
                    "value|ControlSet001\\Control\\Print|" + std::string(kCode) + "|b"},
                   [](sim::Registry&) {},
                   "one name in 8-bit text"},
        Unwritable{"deletedkey", localized(),
                   [](sim::Registry& r) { r.removeKey(kPrint + "\\Printers\\???????"); },
                   "undo file cannot restore the name of"},
        Unwritable{"deletedparent", localized(),
                   [](sim::Registry& r) { r.removeKey(kPrint + "\\Printers"); },
                   "undo file cannot restore the name of"},
        Unwritable{"deletedvalue", localized(),
                   [](sim::Registry& r) { r.removeValue(kPrint, "???"); },
                   "undo file cannot restore the name of"},
        Unwritable{"deletedtext", localized(),
                   [](sim::Registry& r) { r.removeValue(kPrint, "Comment"); },
                   "undo file cannot restore the text of"},
        Unwritable{"deletedbelow", localized(),
                   [](sim::Registry& r) { r.removeValue(kPrint + "\\Printers\\???????", "Port"); },
                   "undo file cannot restore the path of"},
        // Damage that only deleting the key meets: hivex would fail midway.
        Unwritable{"security",
                   {"sk|ControlSet001\\Enum\\USB\\VID_0E0F&PID_0003"},
                   [](sim::Registry& r) {
                     r.removeKey(std::string(kCcs) + "\\Enum\\USB\\VID_0E0F&PID_0003");
                   },
                   "cannot delete the key"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(VerifyAgainst, PassesOnAnHonestWriteAndNamesTheFirstDifference) {
  REQUIRE_REAL_HIVE();
  const auto out = workFolder() / "verify-out.hive";
  sim::Machine machine;
  sim::Registry& registry = machine.registry;
  const image::HiveMount mount = image::loadHive(registry, realHive(), image::HiveKind::System);
  ASSERT_TRUE(registry.removeKey(std::string(kCcs) + "\\Enum\\USB\\VID_0E0F&PID_0003"));
  image::writeHive(registry, mount, out);
  const std::string at = mount.mountPath;
  EXPECT_NO_THROW(image::verifyHiveAgainst(out, image::HiveKind::System, registry, at));
  // The registry moves on; the file does not.
  const std::vector<std::pair<std::function<void()>, std::string>> changes = {
      {[&] { registry.setDword("HKLM\\SYSTEM\\Select", "Extra", 7); },
       "missing value HKEY_LOCAL_MACHINE\\SYSTEM\\Select|Extra"},
      {[&] { registry.setDword("HKLM\\SYSTEM\\Select", "Default", 9); },
       "value HKEY_LOCAL_MACHINE\\SYSTEM\\Select|Default has other data"},
      {[&] { registry.removeKey("HKLM\\SYSTEM\\Setup"); },
       "unexpected key HKEY_LOCAL_MACHINE\\SYSTEM\\Setup"},
  };
  for (const auto& [change, expected] : changes) {
    change();
    try {
      image::verifyHiveAgainst(out, image::HiveKind::System, registry, at);
      ADD_FAILURE() << "passed after a change; expected " << expected;
    } catch (const image::Error& e) {
      EXPECT_NE(std::string(e.what()).find(expected), std::string::npos) << e.what();
    }
  }
  // A hive whose Select is gone no longer loads as a SYSTEM hive.
  const auto noSelect = workFolder() / "verify-noselect.hive";
  ASSERT_TRUE(hivetest::plantHelper("drop " + hivetest::quoted(out) + " " +
                                    hivetest::quoted(noSelect) + " Select"));
  EXPECT_THROW(image::verifyHiveAgainst(noSelect, image::HiveKind::System, registry, at),
               image::Error);
}

TEST(TreeCompare, NamesAreComparedExactlyAndValueOrderDoesNotCount) {
  sim::Machine a;
  sim::Machine b;
  sim::Machine c;
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T\\";
  image::applyRegText(a.registry, head + "Sub]\r\n\"One\"=\"1\"\r\n\"Two\"=\"2\"\r\n", "a.reg");
  image::applyRegText(b.registry, head + "Sub]\r\n\"Two\"=\"2\"\r\n\"One\"=\"1\"\r\n", "b.reg");
  image::applyRegText(c.registry, head + "SUB]\r\n\"One\"=\"1\"\r\n\"two\"=\"2\"\r\n", "c.reg");
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T"), std::nullopt);
  EXPECT_EQ(image::firstDifference(a.registry, c.registry, "HKLM\\T").value_or(""),
            "key HKLM\\T\\Sub is spelt SUB");
  EXPECT_EQ(image::firstDifference(a.registry, c.registry, "HKLM\\T\\Sub").value_or(""),
            "value HKLM\\T\\Sub|Two is spelt two");
  a.registry.addKey("HKLM\\T\\Sub\\Deep\\Er");
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T").value_or(""),
            "missing key HKLM\\T\\Sub\\Deep");
  EXPECT_EQ(image::firstDifference(b.registry, a.registry, "HKLM\\T").value_or(""),
            "unexpected key HKLM\\T\\Sub\\Deep");
}

// The key compared from is an image's root: its values count as any key's
// (a format that cannot hold them must not drop them unseen). A format's own
// rules: data the same to it, and the order of values kept.
TEST(TreeCompare, TheRootsValuesCountAndAFormatMayCompareDataAndOrderItsWay) {
  sim::Machine a;
  sim::Machine b;
  const std::string head = "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\T]\r\n";
  image::applyRegText(a.registry, head + "\"Root\"=\"1\"\r\n\"Two\"=\"2\"\r\n", "a.reg");
  image::applyRegText(b.registry, head + "\"Two\"=\"2\"\r\n", "b.reg");
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T").value_or(""),
            "missing value HKLM\\T|Root");
  b.registry.setValue("HKLM\\T", "Root", REG_SZ, {'1'});  // no NUL
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T").value_or(""),
            "value HKLM\\T|Root has other data");
  image::CompareRules rules;
  rules.sameData = [](std::uint32_t, std::span<const std::uint8_t> x,
                      std::span<const std::uint8_t> y) {
    return std::ranges::equal(x.first(std::min(x.size(), y.size())),
                              y.first(std::min(x.size(), y.size())));
  };
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T", rules), std::nullopt);
  rules.valueOrder = true;
  EXPECT_EQ(image::firstDifference(a.registry, b.registry, "HKLM\\T", rules).value_or(""),
            "the values of HKLM\\T are in another order");
}

}  // namespace
