// The root device over whole machines: the detection count, its creation
// through the Configuration Manager, and its removal with its keys.
#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "DelKeys.h"
#include "Exports.h"
#include "MachineFixture.h"
#include "QVInst98.h"
#include "RegFile.h"

namespace {

constexpr const char* rootInstance = "Root\\*QV_TILLERDESK\\0000";
constexpr const char* rootKey = "HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000";
constexpr const char* rootParentKey = "HKLM\\Enum\\Root\\*QV_TILLERDESK";
constexpr const char* classKey = "HKLM\\System\\CurrentControlSet\\Services\\Class";
constexpr const char* asdKey = "HKLM\\System\\CurrentControlSet\\Control\\ASD\\Prob";
constexpr const char* asd1 = "{9b4e7760-3196-11cf-97ea-00aa0034319d}";
constexpr const char* asd2 = "{cf2524c0-29ae-11cf-97ea-00aa0034319d}";

bool contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

bool anyStartsWith(const std::vector<std::string>& lines, const std::string& prefix) {
  return std::any_of(lines.begin(), lines.end(),
                     [&](const std::string& line) { return line.starts_with(prefix); });
}

void loadWin98Into(sim::Machine& m) {
  image::loadRegFile(m.registry, QVINST98_MACHINES_DIR "/win98.reg");
}

// The root device's key, its driver key and its ASD entries, as the
// installation leaves them on the version-4 family.
void addRootDeviceTo(sim::Machine& m) {
  m.registry.setString(rootKey, "Driver", "QVProducts\\0001");
  m.registry.setString(std::string(classKey) + "\\QVProducts\\0001", "MatchingDeviceId",
                       "*QV_TILLERDESK");
  for (const char* sub : {asd1, asd2}) {
    m.registry.setValue(std::string(asdKey) + "\\" + sub, "ROOT\\*QV_TILLERDESK\\0000", REG_BINARY,
                        {1, 0, 0, 0});
  }
}

bool rootAsdValuePresent(const sim::Machine& m) {
  for (const char* sub : {asd1, asd2}) {
    if (m.registry.value(std::string(asdKey) + "\\" + sub, "ROOT\\*QV_TILLERDESK\\0000")) {
      return true;
    }
  }
  return false;
}

class RootDeviceTest : public MachineTest {
protected:
  void loadWin98() { loadWin98Into(machine); }
  void addRootDevice() { addRootDeviceTo(machine); }
  bool rootAsdValuesPresent() const { return rootAsdValuePresent(machine); }

  // A legacy root driver instance below Enum\Root\System and its driver key
  // System\<instance> below the class key.
  void addLegacyInstance(const std::string& instance, const std::string& compatibleIds,
                         const char* matchingDeviceId) {
    const std::string key = "HKLM\\Enum\\Root\\System\\" + instance;
    const std::string driverKey = std::string(classKey) + "\\System\\" + instance;
    machine.registry.setString(key, "CompatibleIDs", compatibleIds);
    machine.registry.setString(key, "Driver", "System\\" + instance);
    machine.registry.addKey(driverKey);
    if (matchingDeviceId != nullptr) {
      machine.registry.setString(driverKey, "MatchingDeviceId", matchingDeviceId);
    }
  }
};

TEST_F(RootDeviceTest, CountAddsTwoPerLegacyInstanceAndOneForTheRootKey) {
  struct Instance {
    const char* compatibleIds;
    const char* matchingDeviceId;  // null: the value is missing
  };
  struct Case {
    const char* name;
    std::vector<Instance> instances;
    bool rootKeyPresent;
    int count;
    const char* countLine;
  };
  const std::vector<Case> cases = {
      {"nothing", {}, false, 0, "  I98: Exiting RootDeviceCount - count:0"},
      {"root key only", {}, true, 1, "  I98: Exiting RootDeviceCount - count:1"},
      {"one legacy",
       {{"*QVDRVR03", "*QVDRVR03"}},
       false,
       2,
       "  I98: Exiting RootDeviceCount - count:2"},
      {"one legacy and the root key",
       {{"*QVDRVR03", "*QVDRVR03"}},
       true,
       3,
       "  I98: Exiting RootDeviceCount - count:3"},
      {"two legacy",
       {{"*QVDRVR03", "*QVDRVR03"}, {"*QVDRVR03", "*QVDRVR03"}},
       false,
       4,
       "  I98: Exiting RootDeviceCount - count:4"},
      // The count is traced in hexadecimal.
      {"five legacy and the root key", std::vector<Instance>(5, Instance{"*QVDRVR03", "*QVDRVR03"}),
       true, 11, "  I98: Exiting RootDeviceCount - count:B"},
      {"compatible ID in other letter case",
       {{"*qvdrvr03", "*QVDRVR03"}},
       false,
       0,
       "  I98: Exiting RootDeviceCount - count:0"},
      {"compatible IDs holding a further ID",
       {{"*QVDRVR03,*PNP0F13", "*QVDRVR03"}},
       false,
       0,
       "  I98: Exiting RootDeviceCount - count:0"},
      {"matching device ID differs",
       {{"*QVDRVR03", "*QVDRVR02"}},
       true,
       1,
       "  I98: Exiting RootDeviceCount - count:1"},
      {"matching device ID missing",
       {{"*QVDRVR03", nullptr}},
       false,
       0,
       "  I98: Exiting RootDeviceCount - count:0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    machine.registry.addKey("HKLM\\Enum\\Root\\System");
    for (std::size_t i = 0; i < c.instances.size(); ++i) {
      addLegacyInstance("000" + std::to_string(i), c.instances[i].compatibleIds,
                        c.instances[i].matchingDeviceId);
    }
    if (c.rootKeyPresent) machine.registry.addKey(rootKey);
    machine.debug.clear();

    EXPECT_EQ(RootDeviceCount(nullptr, 0, ""), c.count);
    EXPECT_EQ(trace().back(), c.countLine);
    // Every legacy instance is matched only through its compatible ID and
    // its driver key's matching ID, both exactly "*QVDRVR03".
    const auto found = std::count(trace().begin(), trace().end(), "  I98: Found *QVDRVR03");
    EXPECT_EQ(found, c.count / 2);
  }
  EXPECT_TRUE(machine.changes.empty()) << "detection writes nothing";
}

TEST_F(RootDeviceTest, CompatibleIdsThatDoNotMatchStopBeforeTheDriverValue) {
  machine.registry.addKey("HKLM\\Enum\\Root\\System");
  addLegacyInstance("0000", "*qvdrvr03", "*QVDRVR03");
  addLegacyInstance("0001", "*QVDRVR03,*PNP0F13", "*QVDRVR03");
  addLegacyInstance("0002", "*QVDRVR03", "HID\\VID_1D9F&PID_2100");

  EXPECT_EQ(RootDeviceCount(nullptr, 0, ""), 0);
  EXPECT_EQ(trace(),
            (std::vector<std::string>{
                "INST98: RootDeviceCount",
                "INST98: checkDeviceKeys",
                "WINREG: OpenWithKey - FileName:Enum\\Root\\System",
                "  WR: OpenKey SUCCEEDED!",
                "  I98: CompatibleIDs:\"*qvdrvr03\"",
                "  I98: CompatibleIDs:\"*QVDRVR03,*PNP0F13\"",
                "  I98: CompatibleIDs:\"*QVDRVR03\"",
                "  I98: Driver:\"System\\0002\"",
                "  I98: classKey:System\\CurrentControlSet\\Services\\Class",
                "WINREG: OpenWithKey - FileName:System\\CurrentControlSet\\Services\\Class",
                "  WR: OpenKey SUCCEEDED!",
                "  I98: MatchingDeviceId:HID\\VID_1D9F&PID_2100",
                "WINREG: OpenWithKey - FileName:Enum\\Root\\*QV_TILLERDESK\\0000",
                "  WR: OpenKey FAILED!",
                "  I98: Exiting RootDeviceCount - count:0",
            }));
}

TEST_F(RootDeviceTest, ClassKeyThatWillNotOpenIsTracedAndTheWalkGoesOn) {
  machine.registry.addKey("HKLM\\Enum\\Root\\System");
  addLegacyInstance("0000", "*QVDRVR03", "*QVDRVR03");
  addLegacyInstance("0001", "*QVDRVR03", "*QVDRVR03");
  machine.registry.addKey(rootKey);
  // Reading is allowed, the full access that OpenWithKey asks for is not.
  machine.registry.setAllowedAccess(classKey, KEY_READ);

  EXPECT_EQ(RootDeviceCount(nullptr, 0, ""), 1);
  EXPECT_EQ(std::count(trace().begin(), trace().end(), "  I98: Class Key Wouldn't Open"), 2);
  EXPECT_FALSE(anyStartsWith(trace(), "  I98: MatchingDeviceId:"));
  EXPECT_EQ(trace().back(), "  I98: Exiting RootDeviceCount - count:1");
}

TEST_F(RootDeviceTest, Windows98SampleHoldsOnlyTheRootDeviceKey) {
  loadWin98();
  EXPECT_EQ(RootDeviceCount(nullptr, 0, ""), 1);
}

TEST_F(RootDeviceTest, CreateReturnsTheCountWithoutCreatingWhenAnythingIsThere) {
  struct Case {
    const char* name;
    bool legacy;
    bool rootKeyPresent;
    int result;
  };
  for (const Case& c : {Case{"root key only", false, true, 1}, Case{"one legacy", true, false, 2},
                        Case{"both", true, true, 3}}) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    machine.log.clear();
    machine.debug.clear();
    if (c.legacy) addLegacyInstance("0000", "*QVDRVR03", "*QVDRVR03");
    if (c.rootKeyPresent) machine.registry.addKey(rootKey);
    machine.configManager.loadFromRegistry();

    EXPECT_EQ(CreateRootDevice(nullptr, 0, "C:\\Program Files\\QV"), c.result);
    EXPECT_TRUE(calls("CM_Locate_DevNodeA").empty());
    EXPECT_TRUE(calls("CM_Create_DevNodeA").empty());
    EXPECT_FALSE(contains(trace(), "  I98: Trying to Create:\"Root\\*QV_TILLERDESK\\0000\""));
    EXPECT_EQ(trace().back(), "  I98: Create Returning:" + std::to_string(c.result));
  }
}

TEST_F(RootDeviceTest, CreateOnAnEmptyMachineMakesTheNodeAndItsKey) {
  EXPECT_EQ(CreateRootDevice(nullptr, 0, "C:\\Program Files\\QV"), 1);
  EXPECT_EQ(qvinst::targetDir, "C:\\Program Files\\QV");
  EXPECT_EQ(calls("CM_Locate_DevNodeA"), (std::vector<std::string>{"null 0x0 -> 0"}));
  EXPECT_EQ(calls("CM_Create_DevNodeA"),
            (std::vector<std::string>{"Root\\*QV_TILLERDESK\\0000 0x1 0x0 -> 0"}));
  EXPECT_TRUE(machine.configManager.hasNode(rootInstance));
  EXPECT_TRUE(machine.registry.keyExists(rootKey));
  EXPECT_EQ(trace(), (std::vector<std::string>{
                         "INST98: createRootDevice - targetDir:C:\\Program Files\\QV",
                         "INST98: checkDeviceKeys",
                         "WINREG: OpenWithKey - FileName:Enum\\Root\\System",
                         "  WR: OpenKey FAILED!",
                         "WINREG: OpenWithKey - FileName:Enum\\Root\\*QV_TILLERDESK\\0000",
                         "  WR: OpenKey FAILED!",
                         "  I98: Trying to Create:\"Root\\*QV_TILLERDESK\\0000\"",
                         "  I98: CM_Locate_Devnode returned:0",
                         "  I98: CM_CreateDevode returned:0",
                         "  I98: Create Returning:1",
                     }));

  // Afterwards the count sees it, and a second creation does nothing.
  EXPECT_EQ(RootDeviceCount(nullptr, 0, ""), 1);
  EXPECT_EQ(CreateRootDevice(nullptr, 0, "C:\\Program Files\\QV"), 1);
  EXPECT_EQ(calls("CM_Create_DevNodeA").size(), 1u);
}

TEST_F(RootDeviceTest, CreateFailuresPassTheirCodeThrough) {
  struct Case {
    const char* failing;
    std::uint32_t code;
    const char* codeLine;
    const char* returnLine;
    bool createAttempted;
  };
  for (const Case& c : {Case{"CM_Create_DevNodeA", 0x13, "  I98: CM_CreateDevode returned:13",
                             "  I98: Create Returning:13", true},
                        // Locating the root fails: that code is the answer, nothing is created.
                        Case{"CM_Locate_DevNodeA", 0x1F, "  I98: CM_Locate_Devnode returned:1F",
                             "  I98: Create Returning:1F", false}}) {
    SCOPED_TRACE(c.failing);
    machine.log.clear();
    machine.log.clearFailures();
    machine.debug.clear();
    machine.log.failCall(c.failing, c.code);

    EXPECT_EQ(CreateRootDevice(nullptr, 0, "C:\\QV"), static_cast<std::int32_t>(c.code));
    EXPECT_TRUE(contains(trace(), c.codeLine));
    EXPECT_EQ(trace().back(), c.returnLine);
    EXPECT_EQ(calls("CM_Create_DevNodeA").size(), c.createAttempted ? 1u : 0u);
    EXPECT_FALSE(machine.configManager.hasNode(rootInstance));
    EXPECT_FALSE(machine.registry.keyExists(rootKey));
    EXPECT_TRUE(machine.changes.empty());
  }
}

// Every row of RemoveRootDevice's results, each on a machine of its own.
TEST_F(RootDeviceTest, RemoveResults) {
  struct Case {
    const char* name;
    std::function<void(sim::Machine&)> setUp;
    int result;
    bool nodeRemoved;
    bool keysRemoved;
    const char* line;  // a trace line that shows why
  };
  const std::vector<Case> cases = {
      {"root device key absent",
       [](sim::Machine& m) {
         loadWin98Into(m);
         m.registry.removeKey(rootKey);
         m.configManager.loadFromRegistry();
       },
       0, false, false, "  I98: No Root Device Detected"},
      {"node not in the device tree",
       [](sim::Machine& m) {
         loadWin98Into(m);
         m.configManager.loadFromRegistry();
         m.configManager.markUnplugged(rootInstance);
       },
       0, false, false, "  I98: Could not find the *QV_TILLERDESK\\0000 device"},
      {"cleanup run matched a device ID",
       [](sim::Machine& m) {
         loadWin98Into(m);
         m.configManager.loadFromRegistry();
       },
       0, true, true, "DELKEYS: removeRootKey"},
      {"cleanup run matched nothing",
       [](sim::Machine& m) {
         addRootDeviceTo(m);
         m.configManager.loadFromRegistry();
       },
       1, true, false, "DELKEYS: cleanDeviceKeys"},
      {"caller not an administrator",
       [](sim::Machine& m) {
         m.setOs("winxp");
         m.system.setProcessToken(sim::TokenSetup{false, false});
         addRootDeviceTo(m);
         // The probe reads the path above on every platform; on XP the
         // device tree is built from the NT enumerator key.
         m.registry.addKey("HKLM\\System\\CurrentControlSet\\Enum\\Root\\*QV_TILLERDESK\\0000");
         m.configManager.loadFromRegistry();
       },
       2, true, false, "DELKEYS: cleanDeviceKeys"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::Machine m;
    sim::ScopedMachine scoped(m);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    c.setUp(m);
    const bool nodeBefore = m.configManager.hasNode(rootInstance);
    const bool keyBefore = m.registry.keyExists(rootKey);

    EXPECT_EQ(RemoveRootDevice(nullptr, 0, ""), c.result);
    EXPECT_TRUE(contains(m.debug.lines(), c.line));
    const auto names = m.log.names();
    const auto removals = std::count(names.begin(), names.end(), "CM_Remove_SubTree");
    if (c.nodeRemoved) {
      EXPECT_TRUE(nodeBefore);
      EXPECT_FALSE(m.configManager.hasNode(rootInstance));
      EXPECT_EQ(removals, 1);
    } else {
      EXPECT_EQ(removals, 0);
      EXPECT_TRUE(m.changes.empty()) << "nothing is touched";
    }
    if (c.keysRemoved) {
      EXPECT_FALSE(m.registry.keyExists(rootKey));
      EXPECT_TRUE(m.registry.keyExists(rootParentKey)) << "the device key itself stays";
      EXPECT_FALSE(m.registry.keyExists(std::string(classKey) + "\\QVProducts\\0001"));
      EXPECT_FALSE(rootAsdValuePresent(m));
    } else {
      EXPECT_EQ(m.registry.keyExists(rootKey), keyBefore);
      if (keyBefore) {
        EXPECT_TRUE(m.registry.keyExists(std::string(classKey) + "\\QVProducts\\0001"));
        EXPECT_TRUE(rootAsdValuePresent(m));
      }
      EXPECT_FALSE(contains(m.debug.lines(), "DELKEYS: removeRootKey"));
    }
    EXPECT_EQ(m.openHandleCount(), 0u);
  }
}

TEST_F(RootDeviceTest, RemoveMatchedDeletesOnlyTheRootDevicesAsdEntries) {
  loadWin98();
  machine.configManager.loadFromRegistry();
  ASSERT_EQ(RemoveRootDevice(nullptr, 0, ""), 0);
  // What the root mode must leave: other makers' and the PCI entries.
  const std::string first = std::string(asdKey) + "\\" + asd1;
  const std::string second = std::string(asdKey) + "\\" + asd2;
  EXPECT_TRUE(machine.registry.value(first, "USB\\VID_045E&PID_0040\\5&3A2B1C0D&0&2"));
  EXPECT_TRUE(machine.registry.value(
      first, "PCI\\VEN_8086&DEV_7112&SUBSYS_00000000&REV_01\\BUS_00&DEV_07&FUNC_02"));
  EXPECT_TRUE(machine.registry.value(second, "HID\\VID_046D&PID_C216\\6&0F1E2D3C&0&0000"));
  EXPECT_EQ(machine.registry.values(first).size(), 2u);
  EXPECT_EQ(machine.registry.values(second).size(), 1u);
  // The other QVProducts driver keys went with the cleanup run, the class
  // key itself stays.
  EXPECT_TRUE(machine.registry.keyExists(std::string(classKey) + "\\QVProducts"));
  EXPECT_TRUE(machine.registry.subkeyNames(std::string(classKey) + "\\QVProducts").empty());
}

// A "Driver" value that does not name one driver key below the class key
// must not make removeRootKey delete anything there.
TEST_F(RootDeviceTest, RemoveRootKeyLeavesTheClassKeyAloneForUnsafeDriverValues) {
  struct Case {
    const char* driver;  // null: the value is missing
  };
  const std::vector<Case> cases = {
      {nullptr},      {""},  {"\\QVProducts\\0001"}, {"QVProducts\\\\0001"}, {"QVProducts\\"},
      {"QVProducts"}, {"\\"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.driver ? c.driver : "(missing)");
    machine.registry.clear();
    machine.debug.clear();
    machine.changes.clear();
    addRootDevice();
    machine.registry.removeValue(rootKey, "Driver");
    if (c.driver) machine.registry.setString(rootKey, "Driver", c.driver);
    // What a leading backslash would reach from the root.
    machine.registry.addKey("HKLM\\QVProducts\\0001");
    machine.registry.addKey(std::string(classKey) + "\\QVProducts\\0000");
    const auto classesBefore = machine.registry.subkeyNames(std::string(classKey) + "\\QVProducts");

    EXPECT_EQ(qvinst::removeRootKey(), 0);
    EXPECT_FALSE(machine.registry.keyExists(rootKey));
    EXPECT_TRUE(machine.registry.keyExists(rootParentKey));
    EXPECT_TRUE(machine.registry.keyExists("HKLM\\QVProducts\\0001"));
    EXPECT_EQ(machine.registry.subkeyNames(std::string(classKey) + "\\QVProducts"), classesBefore);
    EXPECT_TRUE(contains(trace(), "  EU: Deleting System Key"));
    EXPECT_FALSE(contains(trace(), "  EU: Deleting Root Driver"));
    // Besides "Driver is:", a line names the value that was passed over.
    std::string quoted = "\"";  // appended: GCC 12 at -O3 warns falsely on "x" + string
    quoted += c.driver ? c.driver : "";
    quoted += '"';
    EXPECT_GE(std::count_if(trace().begin(), trace().end(),
                            [&](const std::string& line) { return line.ends_with(quoted); }),
              2);
    EXPECT_FALSE(
        anyStartsWith(trace(), "  WR: Deleting Key:System\\CurrentControlSet\\Services\\Class"));
    // The ASD step still runs.
    EXPECT_FALSE(rootAsdValuesPresent());
    EXPECT_EQ(trace().back(), "  EU: Exiting removeRootKey");
  }
}

TEST_F(RootDeviceTest, RemoveRootKeyDeletesTheNamedDriverKeyOnly) {
  addRootDevice();
  machine.registry.addKey(std::string(classKey) + "\\QVProducts\\0000");
  EXPECT_EQ(qvinst::removeRootKey(), 0);
  EXPECT_FALSE(machine.registry.keyExists(std::string(classKey) + "\\QVProducts\\0001"));
  EXPECT_TRUE(machine.registry.keyExists(std::string(classKey) + "\\QVProducts\\0000"));
  EXPECT_TRUE(contains(trace(), "  EU: Deleting Root Driver"));
  EXPECT_TRUE(contains(
      trace(), "  WR: Deleting Key:System\\CurrentControlSet\\Services\\Class|QVProducts\\0001"));
}

TEST_F(RootDeviceTest, ErrorsInsideAnExportEndItWithMinusOneAfterATraceLine) {
  struct Case {
    const char* name;
    std::function<void()> setUp;
    std::function<std::int32_t()> call;
    const char* errorLine;
  };
  const std::vector<Case> cases = {
      {"CompatibleIDs as a DWORD in detection",
       [&] { machine.registry.setDword("HKLM\\Enum\\Root\\System\\0000", "CompatibleIDs", 1); },
       [] { return RootDeviceCount(nullptr, 0, ""); },
       "  I98: Error:Invalid data type for 'CompatibleIDs'"},
      {"CompatibleIDs as a DWORD in creation",
       [&] { machine.registry.setDword("HKLM\\Enum\\Root\\System\\0000", "CompatibleIDs", 1); },
       [] { return CreateRootDevice(nullptr, 0, "C:\\QV"); },
       "  I98: Error:Invalid data type for 'CompatibleIDs'"},
      {"root Driver as a DWORD in removal",
       [&] {
         loadWin98();
         machine.registry.setDword(rootKey, "Driver", 1);
         machine.configManager.loadFromRegistry();
       },
       [] { return RemoveRootDevice(nullptr, 0, ""); },
       "  I98: Error:Invalid data type for 'Driver'"},
      {"instance Driver as a DWORD in a cleanup run",
       [&] {
         loadWin98();
         machine.registry.setDword("HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\6&2A0B1C3D&0&1", "Driver",
                                   1);
       },
       [] { return RemoveUsbDevices(nullptr, 0, ""); },
       "  I98: Error:Invalid data type for 'Driver'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    machine.registry.clear();
    machine.debug.clear();
    c.setUp();
    EXPECT_EQ(c.call(), -1);
    ASSERT_FALSE(trace().empty());
    EXPECT_EQ(trace().back(), c.errorLine);
    EXPECT_EQ(machine.registry.openHandleCount(), 0u);
  }
}

}  // namespace
