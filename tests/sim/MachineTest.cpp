#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Handles.h"
#include "sim/Machine.h"

namespace {

TEST(MachineTest, OsNameSetsVersionDeletionSemanticsAndEnumRoot) {
  sim::Machine machine;
  EXPECT_EQ(machine.system.version().minor, 10u);  // Windows 98 by default
  EXPECT_FALSE(machine.registry.ntSemantics());
  EXPECT_EQ(machine.enumRoot(), "HKEY_LOCAL_MACHINE\\Enum");

  struct Case {
    const char* os;
    bool nt;
    const char* enumRoot;
  } cases[] = {
      {"winxp", true, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"},
      {"winme", false, "HKEY_LOCAL_MACHINE\\Enum"},
      {"nt4", true, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"},  // NT layout
      {"win10", true, "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    ASSERT_TRUE(machine.setOs(c.os));
    EXPECT_EQ(machine.registry.ntSemantics(), c.nt);
    EXPECT_EQ(machine.enumRoot(), c.enumRoot);
  }
  EXPECT_FALSE(machine.setOs("os2"));
  EXPECT_EQ(machine.system.version().major, 10u);
}

TEST(MachineTest, OpenHandleCountSumsEveryKind) {
  sim::Machine machine;
  sim::ScopedMachine scoped(machine);
  machine.registry.addKey("HKLM\\Software");
  {
    platform::UniqueRegKey key;
    ASSERT_EQ(
        machine.registry.RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, key.put()),
        ERROR_SUCCESS);
    platform::UniqueToken token;
    ASSERT_TRUE(machine.system.OpenProcessToken(machine.system.GetCurrentProcess(), TOKEN_QUERY,
                                                token.put()));
    platform::UniqueSid sid;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    ASSERT_TRUE(machine.system.AllocateAndInitializeSid(&nt, 1, 0, 0, 0, 0, 0, 0, 0, 0, sid.put()));
    EXPECT_EQ(machine.openHandleCount(), 3u);
  }
  EXPECT_EQ(machine.openHandleCount(), 0u);  // the owners closed through platform::get()
}

TEST(MachineTest, ScopedMachinesNestAndRestore) {
  sim::Machine outer;
  sim::Machine inner;
  EXPECT_EQ(sim::installed(), nullptr);
  {
    sim::ScopedMachine first(outer);
    {
      sim::ScopedMachine second(inner);
      EXPECT_EQ(&platform::get().registry, &inner.registry);
    }
    EXPECT_EQ(&platform::get().system, &outer.system);
  }
  EXPECT_EQ(sim::installed(), nullptr);
  EXPECT_DEATH(platform::get(), "no simulated machine");
}

TEST(MachineTest, ChangesDescribeThemselvesWithShortRoots) {
  using Kind = sim::Change::Kind;
  struct Case {
    sim::Change change;
    const char* text;
  } cases[] = {
      {{Kind::DeletedKey, "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1D9F&PID_2100", "", {}},
       "deleted key HKLM\\Enum\\USB\\VID_1D9F&PID_2100"},
      {{Kind::DeletedValue, "HKEY_CURRENT_USER\\Software\\Qv", "Path", {}},
       "deleted value HKCU\\Software\\Qv|Path"},
      {{Kind::RemovedDevice, "USB\\VID_1D9F&PID_2100\\1", "", {}},
       "removed device USB\\VID_1D9F&PID_2100\\1"},
      {{Kind::CreatedNode, "Root\\*QV_TILLERDESK\\0000", "", {}},
       "created node Root\\*QV_TILLERDESK\\0000"},
      {{Kind::RemovedNode, "ROOT\\*QV_TILLERDESK\\0000", "", {}},
       "removed node ROOT\\*QV_TILLERDESK\\0000"},
      {{Kind::CreatedKey, "HKEY_CLASSES_ROOT\\CLSID", "", {}}, "created key HKCR\\CLSID"},
      {{Kind::DeletedFile, "C:\\WINDOWS\\inf\\drvdata.bin", "", {}},
       "deleted file C:\\WINDOWS\\inf\\drvdata.bin"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.change.describe(), c.text);
}

TEST(MachineTest, LoggedVerbsRecordEachKeyChildrenFirst) {
  sim::Machine machine;
  machine.registry.addKey("HKLM\\Enum\\Root");
  machine.registry.addKeyLogged("HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000");
  machine.registry.addKeyLogged("HKLM\\Enum\\Root\\*qv_tillerdesk");  // exists: nothing
  machine.registry.setString("HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000", "Class", "HID");
  ASSERT_TRUE(machine.registry.removeKeyLogged("HKLM\\Enum\\ROOT\\*QV_TILLERDESK"));
  EXPECT_FALSE(machine.registry.removeKeyLogged("HKLM\\Enum\\Root\\*QV_TILLERDESK"));
  std::vector<std::string> described;
  for (const sim::Change& change : machine.changes) described.push_back(change.describe());
  EXPECT_EQ(described, (std::vector<std::string>{
                           "created key HKLM\\Enum\\Root\\*QV_TILLERDESK",
                           "created key HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000",
                           "deleted key HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000",
                           "deleted key HKLM\\Enum\\Root\\*QV_TILLERDESK",
                       }));
  EXPECT_EQ(machine.changes[2].values.size(), 1u);
  EXPECT_TRUE(machine.log.calls().empty());
}

}  // namespace
