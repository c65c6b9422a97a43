#include "MachineFixture.h"
#include "WinReg.h"

using namespace qvinst;

class WinRegTest : public MachineTest {
protected:
  void SetUp() override {
    MachineTest::SetUp();
    // HKLM\Enum\USB
    //   VID_1D9F&PID_2100\1  Driver = "MEDIA\0005"
    //   VID_1D9F&PID_2100\2\Device Parameters\Deep
    //   VID_045E&PID_0040\1
    auto& r = machine.registry;
    r.setString(usb + "\\VID_1D9F&PID_2100\\1", "Driver", "MEDIA\\0005");
    r.addKey(usb + "\\VID_1D9F&PID_2100\\2\\Device Parameters\\Deep");
    r.addKey(usb + "\\VID_045E&PID_0040\\1");
    machine.log.clear();
  }
  const std::string usb = "HKEY_LOCAL_MACHINE\\Enum\\USB";
};

TEST_F(WinRegTest, OpenResultsAreTracedAndFlagged) {
  {
    auto missing = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\NoSuchKey");
    EXPECT_TRUE(regOpenFailed);
    EXPECT_FALSE(missing->isOpen());
  }
  EXPECT_FALSE(machine.registry.keyExists("HKLM\\Enum\\NoSuchKey"));  // never created
  {
    // The flag describes only the latest construction.
    auto found = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "\\Enum\\USB");
    EXPECT_FALSE(regOpenFailed);
    EXPECT_TRUE(found->isOpen());
  }
  const std::vector<std::string> expected = {
      "WINREG: OpenWithKey - FileName:Enum\\NoSuchKey", "  WR: OpenKey FAILED!",
      "WINREG: OpenWithKey - FileName:\\Enum\\USB", "  WR: OpenKey SUCCEEDED!"};
  EXPECT_EQ(trace(), expected);
  // The leading backslash is dropped; release flushes and closes.
  EXPECT_EQ(calls("RegOpenKeyExA").back(), "HKLM\\Enum\\USB KEY_ALL_ACCESS -> 0");
  const auto names = callNames();
  EXPECT_EQ(std::vector<std::string>(names.end() - 2, names.end()),
            (std::vector<std::string>{"RegFlushKey", "RegCloseKey"}));
}

TEST_F(WinRegTest, ReadOnlyObjectAsksForKeyReadEverywhere) {
  auto reg = TWinRegistry::OpenWithKeyReadOnly(HKEY_LOCAL_MACHINE, "Enum\\USB");
  EXPECT_EQ(reg->accessMask(), KEY_READ);
  reg->ReadSubkeyString("VID_1D9F&PID_2100\\1", "Driver", "");
  TStringList names;
  reg->ReadValueNames("VID_1D9F&PID_2100\\1", names);
  for (const auto& call : calls("RegOpenKeyExA")) {
    EXPECT_NE(call.find("KEY_READ"), std::string::npos) << call;
  }
  auto full = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.log.clear();
  full->ReadSubkeyString("VID_1D9F&PID_2100\\1", "Driver", "");
  EXPECT_EQ(calls("RegOpenKeyExA"),
            std::vector<std::string>{"HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\1 KEY_ALL_ACCESS -> 0"});
}

TEST_F(WinRegTest, KeyThatRefusesFullAccessStillOpensReadOnly) {
  machine.registry.setAllowedAccess(usb, KEY_READ);
  auto full = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  EXPECT_TRUE(regOpenFailed);
  EXPECT_EQ(full->accessMask(), KEY_ALL_ACCESS);
  auto readOnly = TWinRegistry::OpenWithKeyReadOnly(HKEY_LOCAL_MACHINE, "Enum\\USB");
  EXPECT_FALSE(regOpenFailed);
  TStringList names;
  readOnly->ReadSection(names);
  EXPECT_EQ(names, (TStringList{"VID_045E&PID_0040", "VID_1D9F&PID_2100"}));
}

TEST_F(WinRegTest, ListingsOnUnopenedObjectsAndMissingSubkeys) {
  auto missing = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\Missing");
  TStringList list{"stale"};
  missing->ReadSection(list);
  EXPECT_TRUE(list.empty());

  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  TStringList values{"kept"};
  reg->ReadValueNames("NoSuchDevice", values);
  EXPECT_EQ(values, TStringList{"kept"});
  reg->ReadValueNames("VID_1D9F&PID_2100\\1", values);
  EXPECT_EQ(values, TStringList{"Driver"});
}

TEST_F(WinRegTest, EraseSectionDeletesDepthFirstHighestIndexFirst) {
  machine.registry.addKey(usb + "\\VID_1D9F&PID_2100\\3");
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.debug.clear();
  machine.log.clear();
  reg->eraseSection("VID_1D9F&PID_2100");
  EXPECT_FALSE(machine.registry.keyExists(usb + "\\VID_1D9F&PID_2100"));
  EXPECT_TRUE(machine.registry.keyExists(usb + "\\VID_045E&PID_0040\\1"));
  const std::vector<std::string> deletes = calls("RegDeleteKeyA");
  const std::vector<std::string> expected = {
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\3 -> 0",
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\2\\Device Parameters\\Deep -> 0",
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\2\\Device Parameters -> 0",
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\2 -> 0",
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\1 -> 0",
      "HKLM\\Enum\\USB\\VID_1D9F&PID_2100 -> 0"};
  EXPECT_EQ(deletes, expected);
  EXPECT_EQ(trace(), (std::vector<std::string>{"WINREG: eraseSection - DEBUG OFF",
                                               "  WR: Deleting Key:Enum\\USB|VID_1D9F&PID_2100"}));
}

// Each key is closed before it is deleted: Windows lets a key with an open
// handle be deleted, and the handle then names a key that is gone.
TEST_F(WinRegTest, EraseSectionClosesEachKeyBeforeDeletingIt) {
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.log.clear();
  reg->eraseSection("VID_1D9F&PID_2100\\2");
  std::vector<std::string> order;
  for (const auto& call : machine.log.calls())
    if (call.name == "RegCloseKey" || call.name == "RegDeleteKeyA")
      order.push_back(call.name + ' ' + call.args);
  const std::string key = "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\2";
  EXPECT_EQ(order, (std::vector<std::string>{
                       "RegCloseKey " + key + "\\Device Parameters\\Deep",
                       "RegDeleteKeyA " + key + "\\Device Parameters\\Deep",
                       "RegCloseKey " + key + "\\Device Parameters",
                       "RegDeleteKeyA " + key + "\\Device Parameters",
                       "RegCloseKey " + key,
                       "RegDeleteKeyA " + key,
                   }));
}

TEST_F(WinRegTest, EraseSectionOfAMissingKeyTracesAndChangesNothing) {
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.debug.clear();
  reg->eraseSection("Nothing");
  EXPECT_EQ(trace().size(), 2u);
  EXPECT_TRUE(machine.changes.empty());
}

TEST_F(WinRegTest, EraseSectionWorksOnTheVersion4FamilyToo) {
  machine.setOs("win98");  // RegDeleteKeyA deletes whole trees there
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  reg->eraseSection("VID_1D9F&PID_2100");
  EXPECT_FALSE(machine.registry.keyExists(usb + "\\VID_1D9F&PID_2100"));
}

TEST_F(WinRegTest, DeleteKeyRemovesOneValueAndTracesOnlyWhenTheSubkeyOpens) {
  machine.registry.setString(usb + "\\VID_1D9F&PID_2100\\1", "Other", "x");
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.debug.clear();
  reg->DeleteKey("NoSuchDevice", "Driver");
  EXPECT_TRUE(trace().empty());
  reg->DeleteKey("VID_1D9F&PID_2100\\1", "Driver");
  EXPECT_EQ(trace(),
            (std::vector<std::string>{"WINREG: DeleteKey - DEBUG OFF",
                                      "  WR: Deleting:Enum\\USB|VID_1D9F&PID_2100\\1|Driver"}));
  EXPECT_FALSE(machine.registry.value(usb + "\\VID_1D9F&PID_2100\\1", "Driver"));
  EXPECT_TRUE(machine.registry.value(usb + "\\VID_1D9F&PID_2100\\1", "Other"));
}

TEST_F(WinRegTest, TraceTextsAreCutAt255Characters) {
  const std::string longName(300, 'K');
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  machine.debug.clear();
  reg->eraseSection(longName);
  ASSERT_EQ(trace().size(), 2u);
  const std::string expectedText = ("Enum\\USB|" + longName).substr(0, 255);
  EXPECT_EQ(trace()[1], "  WR: Deleting Key:" + expectedText);
}

TEST_F(WinRegTest, ReadSubkeyStringByTypeAndSize) {
  auto& r = machine.registry;
  const std::string key = usb + "\\VID_1D9F&PID_2100\\1";
  r.setString(key, "Empty", "");
  r.setValue(key, "NoData", REG_BINARY, {});
  r.setValue(key, "NoDataDword", REG_DWORD, {});
  r.setString(key, "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ);
  r.setValue(key, "Unterminated", REG_SZ, {'a', 'b'});
  r.setValue(key, "EmbeddedNul", REG_SZ, {'a', 0, 'b', 0});
  r.setValue(key, "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0});
  r.setDword(key, "Number", 5);
  r.setValue(key, "Blob", REG_BINARY, {1, 2});

  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  const std::string sub = "VID_1D9F&PID_2100\\1";
  EXPECT_EQ(reg->ReadSubkeyString(sub, "Driver", "def"), "MEDIA\\0005");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "Missing", "def"), "def");
  EXPECT_EQ(reg->ReadSubkeyString("NoSuchKey", "Driver", "def"), "def");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "Empty", "def"), "");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "NoData", "def"), "");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "NoDataDword", "def"), "");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "Expand", "def"), "%SystemRoot%\\x");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "Unterminated", "def"), "ab");
  EXPECT_EQ(reg->ReadSubkeyString(sub, "EmbeddedNul", "def"), "a");
  for (const char* name : {"Multi", "Number", "Blob"}) {
    try {
      reg->ReadSubkeyString(sub, name, "");
      ADD_FAILURE() << name << " was read as a string";
    } catch (const ERegistryException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid data type for '") + name + "'");
    }
  }
  EXPECT_EQ(machine.registry.openHandleCount(), 1u);  // only the object's own key
}

TEST_F(WinRegTest, FailedReadRaisesAndStillClosesTheSubkey) {
  auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\USB");
  // The size query goes through, the read of the data fails.
  machine.log.failCallAfter("RegQueryValueExA", ERROR_ACCESS_DENIED, 1);
  EXPECT_THROW(
      {
        try {
          reg->ReadSubkeyString("VID_1D9F&PID_2100\\1", "Driver", "def");
        } catch (const ERegistryException& e) {
          EXPECT_STREQ(e.what(), "Failed to get data for 'Driver'");
          throw;
        }
      },
      ERegistryException);
  EXPECT_EQ(machine.registry.openHandleCount(), 1u);  // the subkey was closed
}

TEST_F(WinRegTest, ReleaseOfAnUnopenedObjectTouchesNoKey) {
  { auto reg = TWinRegistry::OpenWithKey(HKEY_LOCAL_MACHINE, "Enum\\Missing"); }
  const auto names = callNames();
  EXPECT_EQ(names, std::vector<std::string>{"RegOpenKeyExA"});
}
