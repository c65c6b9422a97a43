// The simulated Setup API and Configuration Manager: which instances a query
// returns, what a removal takes away, and the device node tree.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "Machine.h"

namespace {

using Ids = std::vector<std::string>;
constexpr DWORD kNoSuchDevinst = 0xE000020B;
const char* const kControlClass = "HKLM\\System\\CurrentControlSet\\Control\\Class";
const char* const kServicesClass = "HKLM\\System\\CurrentControlSet\\Services\\Class";
const char* const kRootDevice = "Root\\*QV_TILLERDESK\\0000";

class SimDevicesTest : public ::testing::Test {
protected:
  // Enum
  //   USB\VID_1D9F&PID_2100\5&1A2B&0&1   Driver = {MEDIA}\0001
  //   USB\VID_1D9F&PID_2100\5&1A2B&0&2   Driver = {MEDIA}\0002
  //   USB\VID_1D9F&PID_2101\6&FF&0&1
  //   HID\VID_1D9F&PID_2100\7&AA&0&0000
  void seed(const char* os) {
    ASSERT_TRUE(machine.setOs(os));
    classRoot = machine.system.version().major == 4 ? kServicesClass : kControlClass;
    for (const char* id :
         {"USB\\VID_1D9F&PID_2100\\5&1A2B&0&1", "USB\\VID_1D9F&PID_2100\\5&1A2B&0&2",
          "USB\\VID_1D9F&PID_2101\\6&FF&0&1", "HID\\VID_1D9F&PID_2100\\7&AA&0&0000"})
      machine.registry.addKey(enumKey(id));
    machine.registry.setString(enumKey("USB\\VID_1D9F&PID_2100\\5&1A2B&0&1"), "Driver",
                               "{MEDIA}\\0001");
    machine.registry.setString(enumKey("USB\\VID_1D9F&PID_2100\\5&1A2B&0&2"), "Driver",
                               "{MEDIA}\\0002");
    for (const char* driver : {"{MEDIA}\\0001", "{MEDIA}\\0002", "{MEDIA}\\0003"})
      machine.registry.setString(classRoot + "\\" + driver, "DriverDesc", "QV device");
    machine.configManager.loadFromRegistry();
  }
  std::string enumKey(const std::string& id) const { return machine.enumRoot() + "\\" + id; }

  // The library's loop: take element 0, remove it, delete it from the set.
  int removeAll(HDEVINFO set) {
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    int passes = 0;
    while (machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &data)) {
      EXPECT_TRUE(machine.setupApi.SetupDiRemoveDevice(set, &data));
      EXPECT_TRUE(machine.setupApi.SetupDiDeleteDeviceInfo(set, &data));
      if (++passes > 10) break;
    }
    EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    return passes;
  }
  HDEVINFO query(const char* enumerator, DWORD flags = DIGCF_ALLCLASSES) {
    return machine.setupApi.SetupDiGetClassDevsA(nullptr, enumerator, nullptr, flags);
  }

  sim::Machine machine;
  std::string classRoot;
};

TEST_F(SimDevicesTest, QueryGivesEveryInstanceBelowTheNamedKeyPresentOrNot) {
  seed("winxp");
  machine.configManager.markUnplugged("USB\\VID_1D9F&PID_2100\\5&1A2B&0&2");
  const Ids pid2100 = {"USB\\VID_1D9F&PID_2100\\5&1A2B&0&1", "USB\\VID_1D9F&PID_2100\\5&1A2B&0&2"};
  struct Case {
    const char* enumerator;
    DWORD flags;
    Ids expected;
  } cases[] = {
      {"USB\\VID_1D9F&PID_2100", DIGCF_ALLCLASSES, pid2100},
      {"usb\\vid_1d9f&pid_2100", DIGCF_ALLCLASSES, pid2100},
      {"USB\\VID_1D9F&PID_9999", DIGCF_ALLCLASSES, {}},
      {"QVProducts\\VID_1D9F&PID_2100", DIGCF_ALLCLASSES, {}},
      {"USB",
       DIGCF_ALLCLASSES,
       {"USB\\VID_1D9F&PID_2100\\5&1A2B&0&1", "USB\\VID_1D9F&PID_2100\\5&1A2B&0&2",
        "USB\\VID_1D9F&PID_2101\\6&FF&0&1"}},
      {"USB\\VID_1D9F&PID_2100",
       DIGCF_ALLCLASSES | DIGCF_PRESENT,
       {"USB\\VID_1D9F&PID_2100\\5&1A2B&0&1"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.enumerator);
    HDEVINFO set = query(c.enumerator, c.flags);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(machine.setupApi.instanceIds(set), c.expected);

    // Enumeration walks the same elements and then runs out.
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof data;
    DWORD index = 0;
    while (machine.setupApi.SetupDiEnumDeviceInfo(set, index, &data)) ++index;
    EXPECT_EQ(index, c.expected.size());
    EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
  }
  EXPECT_EQ(machine.setupApi.openSetCount(), 0u);
}

TEST_F(SimDevicesTest, QueryWithoutEnumeratorOrClassIsRefused) {
  seed("winxp");
  EXPECT_EQ(query(nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  EXPECT_EQ(machine.setupApi.openSetCount(), 0u);

  HDEVINFO all = query(nullptr);
  ASSERT_NE(all, INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.setupApi.instanceIds(all).size(), 4u);
  EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(all));
}

TEST_F(SimDevicesTest, EnumerationChecksTheRecordAndReadsTheClass) {
  seed("winxp");
  machine.registry.setString(enumKey("USB\\VID_1D9F&PID_2101\\6&FF&0&1"), "ClassGUID",
                             "{4D36E96C-E325-11CE-BFC1-08002BE10318}");
  HDEVINFO set = query("USB\\VID_1D9F&PID_2101");
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data - 1;
  EXPECT_FALSE(machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_USER_BUFFER));

  data.cbSize = sizeof data;
  ASSERT_TRUE(machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &data));
  EXPECT_EQ(data.ClassGuid.Data1, 0x4D36E96Cu);
  EXPECT_EQ(data.ClassGuid.Data2, 0xE325);
  EXPECT_EQ(data.ClassGuid.Data4[7], 0x18);
  EXPECT_NE(data.DevInst, 0u);
  EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimDevicesTest, RemoveLoopTakesInstancesDriverKeysAndNodesOnBothFamilies) {
  for (const char* os : {"win98", "winxp"}) {
    SCOPED_TRACE(os);
    machine.registry.clear();
    machine.changes.clear();
    seed(os);
    HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
    EXPECT_EQ(removeAll(set), 2);
    EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));

    EXPECT_FALSE(machine.registry.keyExists(enumKey("USB\\VID_1D9F&PID_2100\\5&1A2B&0&1")));
    EXPECT_FALSE(machine.registry.keyExists(enumKey("USB\\VID_1D9F&PID_2100\\5&1A2B&0&2")));
    EXPECT_FALSE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0001"));
    EXPECT_FALSE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0002"));
    // Other devices and driver keys stay.
    EXPECT_TRUE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0003"));
    EXPECT_TRUE(machine.registry.keyExists(enumKey("USB\\VID_1D9F&PID_2101\\6&FF&0&1")));
    EXPECT_EQ(machine.configManager.nodes(),
              (Ids{"HID\\VID_1D9F&PID_2100\\7&AA&0&0000", "USB\\VID_1D9F&PID_2101\\6&FF&0&1"}));

    // Each removal is logged before the keys it deletes.
    ASSERT_FALSE(machine.changes.empty());
    EXPECT_EQ(machine.changes.front().kind, sim::Change::Kind::RemovedDevice);
    EXPECT_EQ(machine.changes.front().path, "USB\\VID_1D9F&PID_2100\\5&1A2B&0&1");
  }
}

TEST_F(SimDevicesTest, MalformedDriverValueDeletesOnlyTheInstanceKey) {
  seed("winxp");
  const std::string instance = "USB\\VID_1D9F&PID_2101\\6&FF&0&1";
  for (const char* driver : {"", "\\{MEDIA}", "{MEDIA}", "{MEDIA}\\", "\\{MEDIA}\\0003"}) {
    SCOPED_TRACE(driver);
    machine.registry.setString(enumKey(instance), "Driver", driver);
    HDEVINFO set = query("USB\\VID_1D9F&PID_2101");
    EXPECT_EQ(removeAll(set), 1);
    EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(machine.registry.keyExists(enumKey(instance)));
    EXPECT_TRUE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0003"));
    EXPECT_EQ(machine.registry.subkeyNames(classRoot + "\\{MEDIA}").size(), 3u);
  }
}

TEST_F(SimDevicesTest, SetElementsAndHandlesAreChecked) {
  seed("winxp");
  HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
  HDEVINFO other = query("USB\\VID_1D9F&PID_2100");
  EXPECT_EQ(machine.setupApi.openSetCount(), 2u);

  SP_DEVINFO_DATA first{};
  first.cbSize = sizeof first;
  ASSERT_TRUE(machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &first));
  ASSERT_TRUE(machine.setupApi.SetupDiRemoveDevice(set, &first));
  // Removed once, the instance is gone for every set that still lists it.
  SP_DEVINFO_DATA same{};
  same.cbSize = sizeof same;
  ASSERT_TRUE(machine.setupApi.SetupDiEnumDeviceInfo(other, 0, &same));
  EXPECT_FALSE(machine.setupApi.SetupDiRemoveDevice(other, &same));
  EXPECT_EQ(machine.system.GetLastError(), kNoSuchDevinst);

  // Deleting element 0 moves the next one up.
  ASSERT_TRUE(machine.setupApi.SetupDiDeleteDeviceInfo(set, &first));
  EXPECT_EQ(machine.setupApi.instanceIds(set), Ids{"USB\\VID_1D9F&PID_2100\\5&1A2B&0&2"});
  EXPECT_FALSE(machine.setupApi.SetupDiDeleteDeviceInfo(set, &first));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
  // An element of another set is not one of this set's.
  EXPECT_FALSE(machine.setupApi.SetupDiDeleteDeviceInfo(set, &same));

  EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
  EXPECT_FALSE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_FALSE(machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &first));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_HANDLE));
  EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(other));
  EXPECT_EQ(machine.setupApi.openSetCount(), 0u);
}

TEST_F(SimDevicesTest, InjectedSetupFaultsFailAndChangeNothing) {
  seed("winxp");
  const std::string instance = enumKey("USB\\VID_1D9F&PID_2100\\5&1A2B&0&1");

  machine.log.failCall("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
  EXPECT_EQ(query("USB\\VID_1D9F&PID_2100"), INVALID_HANDLE_VALUE);
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  EXPECT_EQ(machine.setupApi.openSetCount(), 0u);
  machine.log.clearFailures();

  HDEVINFO set = query("USB\\VID_1D9F&PID_2100");
  SP_DEVINFO_DATA data{};
  data.cbSize = sizeof data;
  ASSERT_TRUE(machine.setupApi.SetupDiEnumDeviceInfo(set, 0, &data));
  machine.log.failCall("SetupDiRemoveDevice", ERROR_ACCESS_DENIED);
  machine.log.failCall("SetupDiDeleteDeviceInfo", ERROR_INVALID_DATA);
  EXPECT_FALSE(machine.setupApi.SetupDiRemoveDevice(set, &data));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(machine.setupApi.SetupDiDeleteDeviceInfo(set, &data));
  EXPECT_EQ(machine.system.GetLastError(), DWORD(ERROR_INVALID_DATA));

  EXPECT_TRUE(machine.registry.keyExists(instance));
  EXPECT_TRUE(machine.registry.keyExists(classRoot + "\\{MEDIA}\\0001"));
  EXPECT_TRUE(machine.configManager.hasNode("USB\\VID_1D9F&PID_2100\\5&1A2B&0&1"));
  EXPECT_EQ(machine.setupApi.instanceIds(set).size(), 2u);
  EXPECT_TRUE(machine.changes.empty());
  // The failed calls are logged with their raw result.
  std::vector<std::string> failed;
  for (const auto& call : machine.log.calls())
    if (call.name.starts_with("SetupDi") && call.result == FALSE) failed.push_back(call.name);
  EXPECT_EQ(failed, (Ids{"SetupDiRemoveDevice", "SetupDiDeleteDeviceInfo"}));
  EXPECT_TRUE(machine.setupApi.SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SimDevicesTest, LocateFindsTheRootAndLiveNodesOnly) {
  seed("winxp");
  // One marked before a load, one after it.
  machine.configManager.markUnplugged("USB\\VID_1D9F&PID_2101\\6&FF&0&1");
  machine.configManager.loadFromRegistry();
  machine.configManager.markUnplugged("hid\\vid_1d9f&pid_2100\\7&aa&0&0000");
  auto& cm = machine.configManager;
  DEVINST root = 0, viaEmpty = 0;
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&viaEmpty, "", CM_LOCATE_DEVNODE_NORMAL), CR_SUCCESS);
  EXPECT_EQ(root, viaEmpty);

  struct Case {
    const char* id;
    CONFIGRET expected;
  } cases[] = {
      {"USB\\VID_1D9F&PID_2100\\5&1A2B&0&1", CR_SUCCESS},
      {"usb\\vid_1d9f&pid_2100\\5&1a2b&0&2", CR_SUCCESS},
      {"USB\\VID_1D9F&PID_2101\\6&FF&0&1", CR_NO_SUCH_DEVNODE},
      {"HID\\VID_1D9F&PID_2100\\7&AA&0&0000", CR_NO_SUCH_DEVNODE},
      {kRootDevice, CR_NO_SUCH_DEVNODE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    DEVINST node = 0;
    EXPECT_EQ(cm.CM_Locate_DevNodeA(&node, c.id, CM_LOCATE_DEVNODE_NORMAL), c.expected);
    EXPECT_EQ(node != 0 && node != root, c.expected == CR_SUCCESS);
  }
  // Unplugged instances keep their keys.
  EXPECT_TRUE(machine.registry.keyExists(enumKey("USB\\VID_1D9F&PID_2101\\6&FF&0&1")));
}

TEST_F(SimDevicesTest, CreateMakesNodeAndInstanceKeyUnderTheFamilysEnumRoot) {
  struct Case {
    const char* os;
    const char* expectedKey;
  } cases[] = {
      {"win98", "HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000"},
      {"win2k", "HKLM\\System\\CurrentControlSet\\Enum\\Root\\*QV_TILLERDESK\\0000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.os);
    machine.registry.clear();
    machine.changes.clear();
    seed(c.os);
    auto& cm = machine.configManager;
    DEVINST root = 0, node = 0;
    ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
    EXPECT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root + 1000, 0), CR_INVALID_DEVNODE);
    EXPECT_FALSE(machine.registry.keyExists(c.expectedKey));

    ASSERT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root, CM_CREATE_DEVNODE_NORMAL),
              CR_SUCCESS);
    EXPECT_TRUE(machine.registry.keyExists(c.expectedKey));
    // The key's names keep the case they were given in.
    EXPECT_EQ(machine.registry.subkeyNames(machine.enumRoot() + "\\ROOT"), Ids{"*QV_TILLERDESK"});
    const Ids enumerators = machine.registry.subkeyNames(machine.enumRoot());
    EXPECT_NE(std::find(enumerators.begin(), enumerators.end(), "Root"), enumerators.end());
    EXPECT_TRUE(cm.hasNode("ROOT\\*QV_TILLERDESK\\0000"));
    DEVINST located = 0;
    EXPECT_EQ(cm.CM_Locate_DevNodeA(&located, kRootDevice, 0), CR_SUCCESS);
    EXPECT_EQ(located, node);
    ASSERT_FALSE(machine.changes.empty());
    EXPECT_EQ(machine.changes.front().kind, sim::Change::Kind::CreatedNode);
    EXPECT_EQ(machine.changes.front().path, kRootDevice);

    DEVINST again = 0;
    EXPECT_EQ(cm.CM_Create_DevNodeA(&again, "root\\*qv_tillerdesk\\0000", root, 0),
              CR_ALREADY_SUCH_DEVNODE);
  }
}

TEST_F(SimDevicesTest, RemoveSubTreeTakesNodesBelowAndLeavesKeys) {
  seed("winxp");
  auto& cm = machine.configManager;
  DEVINST root = 0, parent = 0, child = 0;
  ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
  ASSERT_EQ(cm.CM_Create_DevNodeA(&parent, kRootDevice, root, 0), CR_SUCCESS);
  ASSERT_EQ(cm.CM_Create_DevNodeA(&child, "QVProducts\\VID_1D9F&PID_2100\\1", parent, 0),
            CR_SUCCESS);
  machine.changes.clear();

  EXPECT_EQ(cm.CM_Remove_SubTree(parent, 0), CR_SUCCESS);
  EXPECT_FALSE(cm.hasNode(kRootDevice));
  EXPECT_FALSE(cm.hasNode("QVProducts\\VID_1D9F&PID_2100\\1"));
  EXPECT_TRUE(cm.hasNode("USB\\VID_1D9F&PID_2100\\5&1A2B&0&1"));
  EXPECT_TRUE(machine.registry.keyExists(enumKey(kRootDevice)));
  EXPECT_TRUE(machine.registry.keyExists(enumKey("QVProducts\\VID_1D9F&PID_2100\\1")));
  ASSERT_EQ(machine.changes.size(), 2u);
  EXPECT_EQ(machine.changes[0].kind, sim::Change::Kind::RemovedNode);
  EXPECT_EQ(machine.changes[0].path, "QVProducts\\VID_1D9F&PID_2100\\1");
  EXPECT_EQ(machine.changes[1].path, kRootDevice);

  EXPECT_EQ(cm.CM_Remove_SubTree(parent, 0), CR_INVALID_DEVNODE);
  EXPECT_EQ(cm.CM_Remove_SubTree(root, 0), CR_INVALID_DEVNODE);
  DEVINST node = 0;
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&node, kRootDevice, 0), CR_NO_SUCH_DEVNODE);
}

TEST_F(SimDevicesTest, InjectedConfigManagerFaultsReturnTheirCode) {
  seed("winxp");
  auto& cm = machine.configManager;
  DEVINST root = 0, node = 0;
  machine.log.clear();
  ASSERT_EQ(cm.CM_Locate_DevNodeA(&root, nullptr, 0), CR_SUCCESS);
  machine.log.failCall("CM_Create_DevNodeA", CR_ACCESS_DENIED);
  EXPECT_EQ(cm.CM_Create_DevNodeA(&node, kRootDevice, root, 0), CR_ACCESS_DENIED);
  EXPECT_FALSE(cm.hasNode(kRootDevice));
  EXPECT_FALSE(machine.registry.keyExists(enumKey(kRootDevice)));

  machine.log.failCall("CM_Locate_DevNodeA", CR_FAILURE);
  EXPECT_EQ(cm.CM_Locate_DevNodeA(&node, nullptr, 0), CR_FAILURE);
  ASSERT_EQ(machine.log.calls().size(), 3u);
  EXPECT_EQ(machine.log.calls()[1].name, "CM_Create_DevNodeA");
  EXPECT_EQ(machine.log.calls()[1].result, std::int64_t{CR_ACCESS_DENIED});
}

}  // namespace
