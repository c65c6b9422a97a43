// Crafted registries over the sample machines: names holding a NUL, "Driver"
// references that Windows would normalise into another key, and paths that
// a short string would cut. The scope rule throughout: a run deletes
// nothing that the same export does not delete on the untouched machine.
#include <algorithm>
#include <functional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "Exports.h"
#include "ScenarioFixture.h"

namespace {

using namespace std::string_literals;

using Export = std::int32_t(WINAPI*)(HWND, std::int32_t, const char*);

constexpr const char* kEnumUsbXp = "HKLM\\System\\CurrentControlSet\\Enum\\USB";
constexpr const char* kAsdFirst =
    "HKLM\\System\\CurrentControlSet\\Control\\ASD\\Prob\\{9b4e7760-3196-11cf-97ea-00aa0034319d}";
constexpr const char* kJoystick =
    "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\joystick";

class HostileRegistryTest : public MachineTest {
protected:
  void load(sim::Machine& target, const char* os) {
    ASSERT_TRUE(target.setOs(os));
    image::loadRegFile(target.registry, std::string(QVINST98_MACHINES_DIR) + "/" + os + ".reg");
    target.configManager.loadFromRegistry();
  }

  static std::set<std::string> changesOf(const sim::Machine& m) {
    std::set<std::string> out;
    for (const sim::Change& change : m.changes) out.insert(change.describe());
    return out;
  }

  // What the export changes on the untouched sample machine.
  std::set<std::string> cleanRun(const char* os, Export fn) {
    sim::Machine clean;
    load(clean, os);
    sim::ScopedMachine use(clean);
    qvinst::onLoad();
    fn(nullptr, 0, "");
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    return changesOf(clean);
  }

  // Changes of this machine that the clean run does not make. A crafted key
  // below a product key may go with it when the platform deletes the tree.
  std::vector<std::string> beyond(const std::set<std::string>& clean) const {
    std::vector<std::string> out;
    for (const std::string& change : changesOf(machine))
      if (!clean.contains(change) && change.find('\0') == std::string::npos) out.push_back(change);
    return out;
  }

  bool tracedPrefix(const std::string& prefix) const {
    return std::any_of(trace().begin(), trace().end(),
                       [&](const std::string& line) { return line.starts_with(prefix); });
  }
};

// A NUL inside an enumerator key's name once left a NUL inside the Setup API
// query text, which lasted from call to call and moved every later write
// four characters earlier, finally before the buffer.
TEST_F(HostileRegistryTest, NulInAPnpKeyNameNeverReachesTheQuery) {
  load(machine, "winxp");
  const std::string crafted = "ZZZZZZZZZZZZZ\0VID_1D9F&PID_2100"s;
  machine.registry.addKey(std::string(kEnumUsbXp) + "\\" + crafted);
  for (int run = 1; run <= 6; ++run) {
    SCOPED_TRACE(run);
    machine.debug.clear();
    RemoveUsbDevices(nullptr, 0, "");
    EXPECT_TRUE(tracedPrefix("  WR: Skipping Name With NUL:ZZZZZZZZZZZZZ"));
  }
  // Every query is a whole device ID of the product line.
  const std::regex wellFormed(R"(null (USB|HID|QVProducts)\\VID_1D9F&PID_[0-9A-Fa-f]{4} .*)");
  const std::vector<std::string> queries = calls("SetupDiGetClassDevsA");
  EXPECT_FALSE(queries.empty());
  for (const std::string& query : queries)
    EXPECT_TRUE(std::regex_match(query, wellFormed)) << query;
  EXPECT_TRUE(machine.registry.keyExists(std::string(kEnumUsbXp) + "\\" + crafted));
}

// A key name that starts with a NUL reads as the empty name through the ANSI
// calls, which reopened the key being deleted, without end.
TEST_F(HostileRegistryTest, KeyNameStartingWithNulEndsTheDeletion) {
  struct Case {
    const char* os;
    Export fn;
    const char* productKey;  // deleted by the run with everything below it
  };
  const Case cases[] = {
      {"win98", RemoveUsbDevices, "HKLM\\Enum\\USB\\VID_1D9F&PID_2100"},
      {"winxp", RemoveUsbDevices,
       "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick\\DINPUT.DLL\\"
       "JoystickSettings\\VID_1D9F&PID_2100"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    const std::set<std::string> clean = cleanRun(c.os, c.fn);
    machine.registry.clear();
    machine.changes.clear();
    machine.debug.clear();
    load(machine, c.os);
    machine.registry.addKey(c.productKey + "\\\0deeper"s);

    EXPECT_EQ(c.fn(nullptr, 0, ""), 0);
    EXPECT_TRUE(tracedPrefix("  WR: Skipping Name With NUL:"));
    EXPECT_EQ(beyond(clean), std::vector<std::string>{});
  }
}

// A NUL in a name cut it, through the ANSI calls, to another maker's key or
// value: here the mouse's device key and its ASD entry.
TEST_F(HostileRegistryTest, NulInANameNeverReachesAnotherMakersRecord) {
  const std::set<std::string> clean = cleanRun("win98", RemoveUsbDevices);
  load(machine, "win98");
  const std::string mouseKey = "HKLM\\Enum\\USB\\VID_045E&PID_0040";
  const std::string mouseAsd = "USB\\VID_045E&PID_0040\\5&3A2B1C0D&0&2";
  ASSERT_TRUE(machine.registry.value(kAsdFirst, mouseAsd).has_value());
  machine.registry.addKey("HKLM\\Enum\\USB\\VID_045E&PID_0040\0VID_1D9F&PID_2100\\1"s);
  machine.registry.setDword(kAsdFirst, mouseAsd + "\0VID_1D9F&PID_2100"s, 1);

  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  EXPECT_EQ(beyond(clean), std::vector<std::string>{});
  EXPECT_TRUE(machine.registry.keyExists(mouseKey + "\\5&3A2B1C0D&0&2"));
  EXPECT_TRUE(machine.registry.value(kAsdFirst, mouseAsd).has_value());
  EXPECT_EQ(std::count_if(trace().begin(), trace().end(),
                          [](const std::string& line) {
                            return line.starts_with("  WR: Skipping Name With NUL:");
                          }),
            2);
}

// A "Driver" reference that the driver-key step refuses once named another
// maker's joystick resource key: characters 7 to 10 were taken unguarded.
TEST_F(HostileRegistryTest, RefusedDriverReferenceNamesNoJoystickResourceKey) {
  const std::string instance = "HKLM\\Enum\\HID\\VID_1D9F&PID_2100\\7&1E2F3A4B&0&0000";
  const std::set<std::string> clean = cleanRun("win98", RemoveAuxDevices);
  for (const char* driver : {"MEDIA\\0004\\", "MEDIA\\0004\\\\", "MEDIA\\0004\\..",
                             "MEDIA\\0004\\.", "MEDIA\\0004 ", "MEDIA\\0004.", "MEDIA\\0004\\x "}) {
    SCOPED_TRACE(driver);
    machine.registry.clear();
    machine.changes.clear();
    machine.debug.clear();
    load(machine, "win98");
    machine.registry.setString(instance, "Driver", driver);

    EXPECT_EQ(RemoveAuxDevices(nullptr, 0, ""), 0);
    EXPECT_EQ(beyond(clean), std::vector<std::string>{});
    EXPECT_TRUE(machine.registry.keyExists(std::string(kJoystick) +
                                           "\\msjstick.drv<0004>\\CurrentJoystickSettings"));
    EXPECT_TRUE(machine.registry.keyExists(
        "HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0004"));
    EXPECT_TRUE(std::count(trace().begin(), trace().end(), "  EU: Not a driver key:"s + driver) >=
                1);
  }
}

// Windows takes key and value names of up to 255 characters, and so do the
// sweeps: a name of 256 would be cut to another record's name, so it is
// skipped with a trace line, while one of 255 is an ordinary record.
TEST_F(HostileRegistryTest, NamesOf255CharactersAreSweptAndLongerOnesSkipped) {
  const std::string control = "HKLM\\System\\CurrentControlSet\\Control\\";
  struct Sweep {
    const char* os;
    std::string parent;
    bool valueName;  // the record is a value of `parent`, else a key below it
    char pad;        // makes each sweep's names its own
  };
  const Sweep sweeps[] = {
      {"win98", "HKLM\\Enum\\USB", false, 'E'},
      {"win98", control + "MediaResources\\joystick\\<FixedKey>\\JoystickSettings", false, 'S'},
      {"win98", control + "MediaProperties\\PrivateProperties\\Joystick\\OEM", false, 'O'},
      {"win98", kAsdFirst, true, 'A'},
      {"win98", control + "DeviceClasses\\{a5dcbf10-6530-11d2-901f-00c04fb951ed}", false, 'C'},
      {"winxp", control + "MediaResources\\Joystick\\DINPUT.DLL\\JoystickSettings", false, 'S'},
      {"winxp", control + "MediaProperties\\PrivateProperties\\Joystick\\OEM", false, 'O'},
  };
  const auto name = [](char pad, std::size_t length) {
    const std::string id = "VID_1D9F&PID_2100&";
    return id + std::string(length - id.size(), pad);
  };
  for (const char* os : {"win98", "winxp"}) {
    SCOPED_TRACE(os);
    machine.registry.clear();
    machine.debug.clear();
    load(machine, os);
    qvinst::onLoad();  // the platform facts are gathered once per load
    qvinst::setTraceEnabled(true);
    for (const Sweep& sweep : sweeps) {
      if (std::string(sweep.os) != os) continue;
      for (std::size_t length : {254u, 255u, 256u}) {
        const std::string record = name(sweep.pad, length);
        if (sweep.valueName) {
          machine.registry.setDword(sweep.parent, record, 1);
        } else if (sweep.pad == 'C') {
          machine.registry.setString(sweep.parent + "\\" + record, "DeviceInstance",
                                     "USB\\VID_1D9F&PID_2100\\1");
        } else {
          machine.registry.addKey(sweep.parent + "\\" + record + "\\1");
        }
      }
    }
    EXPECT_EQ(RemoveAuxDevices(nullptr, 0, ""), 0);
    for (const Sweep& sweep : sweeps) {
      if (std::string(sweep.os) != os) continue;
      SCOPED_TRACE(sweep.parent);
      for (std::size_t length : {254u, 255u, 256u}) {
        const std::string record = name(sweep.pad, length);
        const bool present = sweep.valueName
                                 ? machine.registry.value(sweep.parent, record).has_value()
                                 : machine.registry.keyExists(sweep.parent + "\\" + record);
        EXPECT_EQ(present, length == 256) << length;
      }
      EXPECT_EQ(std::count(trace().begin(), trace().end(),
                           "  EU: Name too long, skipped:" + name(sweep.pad, 255)),
                1);
    }
  }
}

// With a Windows directory of 241 characters the database paths do not fit
// 255 characters; the cut paths name other files, which must stay.
TEST_F(HostileRegistryTest, CutDatabasePathsDeleteNoFile) {
  const std::string inf = "C:\\" + std::string(238, 'W') + "\\inf\\";
  machine.files.setWindowsDirectory(inf.substr(0, inf.size() - 5));
  for (const char* file : {"drvdata.bin", "drvdata.b", "drvidx.bin", "drvidx.bi"})
    machine.files.addFile(inf + file);

  EXPECT_EQ(UninstUnInitialize(nullptr, 0, ""), 0);
  EXPECT_TRUE(calls("DeleteFileA").empty());
  for (const char* file : {"drvdata.bin", "drvdata.b", "drvidx.bin", "drvidx.bi"})
    EXPECT_TRUE(machine.files.fileExists(inf + file)) << file;
  EXPECT_EQ(std::count(trace().begin(), trace().end(), "  I98: Path too long, file not deleted"),
            2);
}

}  // namespace
