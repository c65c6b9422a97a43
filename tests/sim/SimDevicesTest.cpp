// The simulated Setup API and Configuration Manager: which instances a query
// returns, what a removal takes away, and the device node tree.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Machine.h"

namespace {

using Ids = std::vector<std::string>;
const char* const kA = "USB\\VID_1D9F&PID_2100\\5&1";
const char* const kB = "USB\\VID_1D9F&PID_2100\\5&2";
const char* const kC = "USB\\VID_1D9F&PID_2101\\6&1";
const char* const kD = "HID\\VID_1D9F&PID_2100\\7&1";
const char* const kRootDevice = "Root\\*QV_TILLERDESK\\0000";

class SimDevicesTest : public ::testing::Test {
protected:
  // Enum\{A,B,C,D}; A's Driver names {MEDIA}\0001 below the class key, which
  // also holds {MEDIA}\0002.
  void seed(const char* os, const char* driver = "{MEDIA}\\0001") {
    machine.registry.clear();
    machine.changes.clear();
    ASSERT_TRUE(machine.setOs(os));
    classRoot = std::string("HKLM\\System\\CurrentControlSet\\") +
                (machine.system.version().major == 4 ? "Services\\Class" : "Control\\Class");
    for (const char* id : {kA, kB, kC, kD}) machine.registry.addKey(enumKey(id));
    machine.registry.setString(enumKey(kA), "Driver", driver);
    for (const char* key : {"\\{MEDIA}\\0001", "\\{MEDIA}\\0002"})
      machine.registry.addKey(classRoot + key);
    machine.configManager.loadFromRegistry();
  }
  std::string enumKey(const std::string& id) const { return machine.enumRoot() + "\\" + id; }
  HDEVINFO query(const char* enumerator, DWORD flags = DIGCF_ALLCLASSES) {
    return machine.setupApi.SetupDiGetClassDevsA(nullptr, enumerator, nullptr, flags);
  }
  SP_DEVINFO_DATA element(HDEVINFO set, DWORD index) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(machine.setupApi.SetupDiEnumDeviceInfo(set, index, &data));
    return data;
  }
  DWORD lastError() { return machine.system.GetLastError(); }

  sim::Machine machine;
  sim::SetupApi& setup = machine.setupApi;
  sim::ConfigManager& cm = machine.configManager;
  std::string classRoot;
};

TEST_F(SimDevicesTest, QueryGivesEveryInstanceBelowTheNamedKeyPresentOrNot) {
  seed("winxp");
  cm.markUnplugged(kB);
  struct Case {
    const char* enumerator;
    DWORD flags;
    Ids expected;
  } cases[] = {
      {"USB\\VID_1D9F&PID_2100", DIGCF_ALLCLASSES, {kA, kB}},
      {"usb\\vid_1d9f&pid_2100", DIGCF_ALLCLASSES, {kA, kB}},
      {"USB\\VID_1D9F&PID_9999", DIGCF_ALLCLASSES, {}},
      {"USB", DIGCF_ALLCLASSES, {kA, kB, kC}},
      {nullptr, DIGCF_ALLCLASSES, {kD, kA, kB, kC}},
      {"USB\\VID_1D9F&PID_2100", DIGCF_ALLCLASSES | DIGCF_PRESENT, {kA}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.enumerator ? c.enumerator : "null");
    HDEVINFO set = query(c.enumerator, c.flags);
    EXPECT_EQ(setup.instanceIds(set), c.expected);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    DWORD count = 0;
    while (setup.SetupDiEnumDeviceInfo(set, count, &data)) ++count;
    EXPECT_EQ(count, c.expected.size());
    EXPECT_EQ(lastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(set));
  }
  // Neither an enumerator nor a class: refused.
  EXPECT_EQ(query(nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(setup.openSetCount(), 0u);
}

TEST_F(SimDevicesTest, RemoveLoopTakesInstanceKeysNodesAndWellFormedDriverKeys) {
  struct Case {
    const char* os;
    const char* driver;
    bool driverKeyGoes;
  } cases[] = {
      {"win98", "{MEDIA}\\0001", true},
      {"winxp", "{MEDIA}\\0001", true},
      {"winxp", "", false},
      {"winxp", "\\{MEDIA}", false},
      {"winxp", "{MEDIA}", false},
      {"winxp", "{MEDIA}\\", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.os) + " Driver=" + c.driver);
    seed(c.os, c.driver);
    HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
    // The library's loop: element 0, remove it, delete it from the set.
    int passes = 0;
    for (SP_DEVINFO_DATA data = element(set, 0); passes < 5; data = element(set, 0)) {
      ++passes;
      EXPECT_TRUE(setup.SetupDiRemoveDevice(set, &data));
      EXPECT_TRUE(setup.SetupDiDeleteDeviceInfo(set, &data));
      if (setup.instanceIds(set).empty()) break;
    }
    EXPECT_EQ(passes, 2);
    EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(set));

    EXPECT_FALSE(machine.registry.keyExists(enumKey(kA)));
    EXPECT_FALSE(machine.registry.keyExists(enumKey(kB)));
    EXPECT_EQ(cm.nodes(), (Ids{kD, "USB\\VID_1D9F&PID_2101\\6&1"}));
    EXPECT_EQ(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0001"), !c.driverKeyGoes);
    EXPECT_TRUE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0002"));
    ASSERT_FALSE(machine.changes.empty());  // the removal comes before its keys
    EXPECT_EQ(machine.changes.front().kind, sim::Change::Kind::RemovedDevice);
    EXPECT_EQ(machine.changes.front().path, kA);
  }
}

TEST_F(SimDevicesTest, SetElementsAndHandlesAreChecked) {
  seed("winxp");
  HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
  HDEVINFO other = query("USB\\VID_1D9F&PID_2100");
  EXPECT_EQ(setup.openSetCount(), 2u);
  SP_DEVINFO_DATA first = element(set, 0);
  SP_DEVINFO_DATA short_ = first;
  short_.cbSize -= 1;
  EXPECT_FALSE(setup.SetupDiEnumDeviceInfo(set, 0, &short_));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_USER_BUFFER));

  // An instance removed through one set is gone for every set.
  ASSERT_TRUE(setup.SetupDiRemoveDevice(set, &first));
  SP_DEVINFO_DATA same = element(other, 0);
  EXPECT_FALSE(setup.SetupDiRemoveDevice(other, &same));
  EXPECT_EQ(lastError(), 0xE000020Bu);  // ERROR_NO_SUCH_DEVINST

  ASSERT_TRUE(setup.SetupDiDeleteDeviceInfo(set, &first));
  EXPECT_EQ(setup.instanceIds(set), Ids{kB});  // the next element moved up
  EXPECT_FALSE(setup.SetupDiDeleteDeviceInfo(set, &first));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_FALSE(setup.SetupDiDeleteDeviceInfo(set, &same));  // another set's element

  EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(setup.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(other));
  EXPECT_EQ(setup.openSetCount(), 0u);
}

TEST_F(SimDevicesTest, InjectedFaultsFailWithTheirCodeAndChangeNothing) {
  seed("winxp");
  HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
  SP_DEVINFO_DATA data = element(set, 0);
  DEVINST root = 0, node = 0;
  ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
  machine.log.clear();
  machine.log.failCall("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
  machine.log.failCall("SetupDiRemoveDevice", ERROR_ACCESS_DENIED);
  machine.log.failCall("SetupDiDeleteDeviceInfo", ERROR_INVALID_DATA);
  machine.log.failCall("CM_Create_DevNodeA", CR_ACCESS_DENIED);

  EXPECT_EQ(query("USB"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_FALSE(setup.SetupDiRemoveDevice(set, &data));
  EXPECT_EQ(lastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(setup.SetupDiDeleteDeviceInfo(set, &data));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_DATA));
  EXPECT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root, 0), CR_ACCESS_DENIED);

  EXPECT_TRUE(machine.registry.keyExists(enumKey(kA)));
  EXPECT_TRUE(cm.hasNode(kA));
  EXPECT_FALSE(cm.hasNode(kRootDevice));
  EXPECT_FALSE(machine.registry.keyExists(enumKey(kRootDevice)));
  EXPECT_EQ(setup.instanceIds(set).size(), 2u);
  EXPECT_EQ(setup.openSetCount(), 1u);
  EXPECT_TRUE(machine.changes.empty());
  Ids failed;
  for (const auto& call : machine.log.calls())
    if (call.name != "GetLastError")
      failed.push_back(call.name + " " + std::to_string(call.result));
  EXPECT_EQ(failed, (Ids{"SetupDiGetClassDevsA -1", "SetupDiRemoveDevice 0",
                         "SetupDiDeleteDeviceInfo 0", "CM_Create_DevNodeA 51"}));
  machine.log.clearFailures();
  EXPECT_TRUE(setup.SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimDevicesTest, LocateFindsTheRootAndLiveNodesOnly) {
  seed("winxp");
  cm.markUnplugged(kC);
  cm.loadFromRegistry();  // a mark outlasts a reload
  cm.markUnplugged("hid\\vid_1d9f&pid_2100\\7&1");
  DEVINST root = 0, viaEmpty = 0;
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&viaEmpty, "", CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(root, viaEmpty);
  struct Case {
    const char* id;
    CONFIGRET expected;
  } cases[] = {{kA, CR_SUCCESS},
               {"usb\\vid_1d9f&pid_2100\\5&2", CR_SUCCESS},
               {kC, CR_NO_SUCH_DEVNODE},
               {kD, CR_NO_SUCH_DEVNODE},
               {kRootDevice, CR_NO_SUCH_DEVNODE}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    DEVINST node = 0;
    EXPECT_EQ(cm.CM_Locate_DevNodeA(&node, c.id, 0), c.expected);
    EXPECT_EQ(node != 0 && node != root, c.expected == CR_SUCCESS);
  }
  EXPECT_TRUE(machine.registry.keyExists(enumKey(kC)));  // unplugged keeps its key
}

TEST_F(SimDevicesTest, CreateMakesNodeAndInstanceKeyUnderTheFamilysEnumRoot) {
  for (auto [os, key] : {std::pair{"win98", "HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000"},
                         std::pair{"win2k",
                                   "HKLM\\System\\CurrentControlSet\\Enum\\Root\\"
                                   "*QV_TILLERDESK\\0000"}}) {
    SCOPED_TRACE(os);
    seed(os);
    DEVINST root = 0, node = 0, located = 0;
    ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
    EXPECT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root + 100, 0), CR_INVALID_DEVNODE);
    EXPECT_FALSE(machine.registry.keyExists(key));

    ASSERT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root, CM_CREATE_DEVNODE_NORMAL),
              CR_SUCCESS);
    EXPECT_TRUE(machine.registry.keyExists(key));
    EXPECT_EQ(machine.registry.subkeyNames(machine.enumRoot() + "\\ROOT"), Ids{"*QV_TILLERDESK"});
    EXPECT_EQ(cm.CM_Locate_DevNodeA(&located, "ROOT\\*qv_tillerdesk\\0000", 0), CR_SUCCESS);
    EXPECT_EQ(located, node);
    ASSERT_FALSE(machine.changes.empty());
    EXPECT_EQ(machine.changes.front().kind, sim::Change::Kind::CreatedNode);
    EXPECT_EQ(machine.changes.front().path, kRootDevice);
    EXPECT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root, 0), CR_ALREADY_SUCH_DEVNODE);
  }
}

TEST_F(SimDevicesTest, RemoveSubTreeTakesNodesBelowAndLeavesKeys) {
  seed("winxp");
  const char* child = "QVProducts\\VID_1D9F&PID_2100\\1";
  DEVINST root = 0, parent = 0, below = 0;
  ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
  ASSERT_EQ(cm.CM_Create_DevNodeA(&parent, kRootDevice, root, 0), CR_SUCCESS);
  ASSERT_EQ(cm.CM_Create_DevNodeA(&below, child, parent, 0), CR_SUCCESS);
  machine.changes.clear();

  EXPECT_EQ(cm.CM_Remove_SubTree(parent, 0), CR_SUCCESS);
  EXPECT_EQ(cm.nodes(), (Ids{kD, "USB\\VID_1D9F&PID_2100\\5&1", "USB\\VID_1D9F&PID_2100\\5&2",
                             "USB\\VID_1D9F&PID_2101\\6&1"}));
  EXPECT_TRUE(machine.registry.keyExists(enumKey(kRootDevice)));
  EXPECT_TRUE(machine.registry.keyExists(enumKey(child)));
  ASSERT_EQ(machine.changes.size(), 2u);  // children first
  EXPECT_EQ(machine.changes[0].kind, sim::Change::Kind::RemovedNode);
  EXPECT_EQ(machine.changes[0].path, child);
  EXPECT_EQ(machine.changes[1].path, kRootDevice);
  EXPECT_EQ(cm.CM_Remove_SubTree(parent, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(cm.CM_Remove_SubTree(root, 0), CR_INVALID_DEVNODE);
}

}  // namespace
