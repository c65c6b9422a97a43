// The cleanup exports on the version-4 family: the enumerator sweeps with
// their device, class and joystick resource phases, the settings and OEM
// sweeps, the ASD values and the device interface keys, over small machines.
#include <string>
#include <vector>

#include "Exports.h"
#include "ScenarioFixture.h"

namespace {

using Export = std::int32_t(WINAPI*)(HWND, std::int32_t, const char*);

// Two Flightstick instances (2100), Pro Pedals (2124) and a Throttle Panel
// (2181, auxiliary) beside another maker's mouse.
constexpr const char* kWin98Machine = R"(
[HKEY_LOCAL_MACHINE\Enum\USB\ROOT_HUB\4&1]
"Driver"="USB\\0000"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="HID\\0002"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&2]
"Driver"="HID\\0003"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2124\6&3]
"Driver"="HID\\0004"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2181\6&4]
"Driver"="HID\\0005"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_045E&PID_0040\5&1]
"Driver"="HID\\0000"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\7&1]
"Driver"="MEDIA\\0005"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2124\7&3]
"Driver"="MEDIA\\0007"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2181\7&4]
"Driver"="HID\\0006"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_045E&PID_0040\6&1]
"Driver"="Mouse\\0001"
[HKEY_LOCAL_MACHINE\Enum\QVProducts\VID_1D9F&PID_2181\0000]
"Driver"="QVProducts\\0002"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\USB\0000]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0000]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
"NTMPDriver"="hidusb.sys"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0003]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0004]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0005]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0006]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0000]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005\Drivers\joystick]
"Driver"="msjstick.drv"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0007]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\Mouse\0001]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\QVProducts\0002]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0000>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>\CurrentJoystickSettings]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0007>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<06>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<02>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\CurrentJoystickSettings]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2181]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_046D&PID_C216]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\#4]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100\Axes\0]
"Flags"=hex:01,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2181]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_046D&PID_C216]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&1"=hex:01,00,00,00
"HID\\VID_1D9F&PID_2124\\7&3"=hex:01,00,00,00
"ROOT\\*QV_TILLERDESK\\0000"=hex:01,00,00,00
"PCI\\VEN_8086&DEV_7112\\3&1"=hex:01,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{cf2524c0-29ae-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2181\\6&4"=hex:01,00,00,00
"USB\\VID_045E&PID_0040\\5&1"=hex:01,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2100#7&1#{4d1e55b2}\#]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2100#7&1#{4d1e55b2}]
"DeviceInstance"="HID\\VID_1D9F&PID_2100\\7&1"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2181#7&4#{4d1e55b2}]
"DeviceInstance"="HID\\VID_1D9F&PID_2181\\7&4"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_045E&PID_0040#6&1#{4d1e55b2}]
"DeviceInstance"="HID\\VID_045E&PID_0040\\6&1"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\InterfaceA]
"DeviceInstance"="USB\\VID_1D9F&PID_2124\\6&3"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\##?#USB#VID_1D9F&PID_2100#6&1#{a5dcbf10}]
"DeviceInstance"="USB\\VID_045E&PID_0040\\5&1"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\NoInstance]
[HKEY_LOCAL_MACHINE\Software\QV\Tillerdesk]
"TargetDir"="C:\\Program Files\\QV"
)";

// What each device leaves behind. The interface key of 2124 is found by its
// "DeviceInstance" value, whatever its name says; HID\0006 gives the
// joystick resource key msjstick.drv<06> (characters 7 to 10 of "HID\0006");
// msjstick.drv<02> stays, since the USB sweep has no joystick resource phase.
constexpr const char* kJoystick2100Records = R"(
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0003]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&1"=-
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2100#7&1#{4d1e55b2}]
)";

constexpr const char* kPedal2124Records = R"(
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0004]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0007]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0007>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"HID\\VID_1D9F&PID_2124\\7&3"=-
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\InterfaceA]
)";

constexpr const char* kAux2181Records = R"(
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\Enum\QVProducts\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0005]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0006]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\QVProducts\0002]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<06>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2181]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{cf2524c0-29ae-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2181\\6&4"=-
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2181#7&4#{4d1e55b2}]
)";

constexpr const char* kEnumUsb = "HKEY_LOCAL_MACHINE\\Enum\\USB";
constexpr const char* kHidClass =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\HID";
constexpr const char* kJoystickSettings =
    "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\joystick\\<FixedKey>"
    "\\JoystickSettings";

using CleanupScenarioTest = ScenarioTest;

TEST_F(CleanupScenarioTest, EachExportRemovesExactlyTheRecordsOfItsTables) {
  struct Case {
    const char* name;
    Export fn;
    const char* entryLine;
    std::vector<const char*> removed;
  } cases[] = {
      {"RemoveUsbDevices",
       RemoveUsbDevices,
       "INST2K: removeUsbDevices",
       {kJoystick2100Records, kPedal2124Records}},
      {"RemovePedalDevices", RemovePedalDevices, "INST2K: removeUsbDevices", {kPedal2124Records}},
      {"RemoveAuxDevices",
       RemoveAuxDevices,
       "INST98: removeAuxDevices",
       {kJoystick2100Records, kPedal2124Records, kAux2181Records}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    expected.registry.clear();
    machine.debug.clear();
    seed("win98", kWin98Machine);
    for (const char* records : c.removed) expectDeleted(records);

    EXPECT_EQ(c.fn(nullptr, 0, ""), 0);
    expectRegistryAsExpected();
    ASSERT_FALSE(trace().empty());
    EXPECT_EQ(trace().front(), c.entryLine);
    expectRunStateReleased();
    EXPECT_EQ(machine.registry.openHandleCount(), 0u);
  }
}

TEST_F(CleanupScenarioTest, SecondRunFindsNothingAndChangesNothing) {
  seed("win98", kWin98Machine);
  expectDeleted(kJoystick2100Records);
  expectDeleted(kPedal2124Records);
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  machine.changes.clear();
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 1);
  EXPECT_TRUE(machine.changes.empty());
  expectRegistryAsExpected();
}

TEST_F(CleanupScenarioTest, AMatchInOneSettingsKeyAloneMakesTheResultZero) {
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\Enum\USB\VID_045E&PID_0040\5&1]
"Driver"="HID\\0000"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2101]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2101]
)");
  expectRegistryAsExpected();
}

TEST_F(CleanupScenarioTest, NamesMatchByContainmentAndOnlyFromSeventeenCharacters) {
  // Every name below JoystickSettings is tested whole; the 16-character one
  // is not even compared.
  struct Case {
    const char* name;
    bool removed;
  } cases[] = {
      {"VID_1D9F&PID_210", false},            // 16 characters
      {"VID_1D9F&PID_2100", true},            // 17: exactly an entry
      {"VID_1D9F&PID_2180", false},           // 17, not in the joystick table
      {"vid_1d9f&pid_2102", true},            // case does not matter
      {"VID_1D9F&PID_2103_OLD", true},        // suffix
      {"OLD_VID_1D9F&PID_2104&MI_00", true},  // prefix and suffix
      {"VID_1D9F&PID_21050", true},           // a longer product ID that starts with an entry
      {"VID_1D9F&PID_2150", false},           // just past the table
  };
  machine.setOs("win98");
  expected.setOs("win98");
  for (const Case& c : cases) {
    machine.registry.addKey(std::string(kJoystickSettings) + "\\" + c.name);
    expected.registry.addKey(std::string(kJoystickSettings) + "\\" + c.name);
  }
  for (const Case& c : cases) {
    if (c.removed) expected.registry.removeKey(std::string(kJoystickSettings) + "\\" + c.name);
  }
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(traced(std::string("  EU: vidPidStr:") + c.name));
    EXPECT_EQ(traced(std::string("DELKEYS: checkDeviceId:") + c.name),
              std::string_view(c.name).size() > 16);
  }
}

TEST_F(CleanupScenarioTest, PedalRunKeepsTheJoystickAndAuxRunAddsTheAuxiliaryDevices) {
  // The same name set under Enum\HID: which device keys go, per export.
  struct Case {
    const char* name;
    Export fn;
    std::vector<const char*> gone;
  } cases[] = {
      {"RemoveUsbDevices", RemoveUsbDevices, {"VID_1D9F&PID_2100", "VID_1D9F&PID_2124"}},
      {"RemovePedalDevices", RemovePedalDevices, {"VID_1D9F&PID_2124"}},
      {"RemoveAuxDevices",
       RemoveAuxDevices,
       {"VID_1D9F&PID_2100", "VID_1D9F&PID_2124", "VID_1D9F&PID_2180", "VID_1D9F&PID_2182"}},
  };
  const std::vector<const char*> names = {"VID_1D9F&PID_2100", "VID_1D9F&PID_2124",
                                          "VID_1D9F&PID_2180", "VID_1D9F&PID_2182",
                                          "VID_1D9F&PID_2183"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    machine.setOs("win98");
    for (const char* name : names) machine.registry.addKey(std::string(kEnumUsb) + "\\" + name);
    EXPECT_EQ(c.fn(nullptr, 0, ""), 0);
    std::vector<std::string> gone;
    for (const char* name : names)
      if (!machine.registry.keyExists(std::string(kEnumUsb) + "\\" + name)) gone.push_back(name);
    EXPECT_EQ(gone, std::vector<std::string>(c.gone.begin(), c.gone.end()));
  }
}

TEST_F(CleanupScenarioTest, TwoInstancesNamingTheSameDriverKey) {
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\7&1]
"Driver"="MEDIA\\0005"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\7&2]
"Driver"="media\\0005"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\7&3]
"Driver"="MEDIA\\0006"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0004]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005\Drivers]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0006>]
)");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0006>]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  // The reference is collected twice; the second deletion finds nothing and
  // the walk goes on to the third reference.
  EXPECT_TRUE(traced("  EU: nValues Item Count:3"));
  EXPECT_TRUE(traced("  EU: nValues:3"));
  EXPECT_EQ(tracedCount("  WR: Deleting Key:System\\CurrentControlSet\\Control\\MediaResources\\"
                        "joystick|msjstick.drv<0005>"),
            2);
  const std::vector<std::string> classDeletions = [&] {
    std::vector<std::string> out;
    for (const std::string& call : calls("RegDeleteKeyA"))
      if (call.find("Services\\Class\\") != std::string::npos) out.push_back(call);
    return out;
  }();
  EXPECT_EQ(classDeletions,
            (std::vector<std::string>{
                "HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005\\Drivers -> 0",
                "HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005 -> 0",
                "HKLM\\System\\CurrentControlSet\\Services\\Class\\media\\0005 -> 2",
                "HKLM\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0006 -> 0"}));
}

TEST_F(CleanupScenarioTest, MalformedDriverValuesNeverDeleteBeyondTheInstance) {
  // Each value would name a whole class, the class key itself or a key from
  // the root if it were used as a path below the class key.
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\1]
"Driver"=""
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\2]
"Driver"="\\MEDIA\\0001"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\3]
"Driver"="MEDIA"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\4]
"Driver"="MEDIA\\"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\5]
"Driver"="MEDIA\\\\0001"
[HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100\6]
[HKEY_LOCAL_MACHINE\MEDIA\0001]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0001\Drivers]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0000]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0001>]
)");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  for (const char* value : {"", "\\MEDIA\\0001", "MEDIA", "MEDIA\\", "MEDIA\\\\0001"}) {
    SCOPED_TRACE(value);
    EXPECT_TRUE(traced(std::string("  EU: Adding to ValueList:") + value));
  }
  // The three that name a class are collected, and refused as driver keys.
  EXPECT_TRUE(traced("  EU: nValues Item Count:3"));
  for (const char* value : {"\\MEDIA\\0001", "MEDIA\\", "MEDIA\\\\0001"}) {
    SCOPED_TRACE(value);
    EXPECT_TRUE(traced(std::string("  EU: Not a driver key:") + value));
  }
}

TEST_F(CleanupScenarioTest, DeviceKeyThatCannotBeOpenedForAllAccess) {
  // The device key refuses KEY_ALL_ACCESS: its instances are not read one by
  // one, so its driver key is not collected. Whether the device key itself
  // goes depends on the DELETE right alone, as with RegDeleteKeyA on Windows.
  struct Case {
    const char* name;
    REGSAM allowed;
    bool deviceKeyGone;
  } cases[] = {
      {"read and delete", KEY_READ | DELETE, true},
      {"read only", KEY_READ, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    machine.debug.clear();
    machine.setOs("win98");
    scenario::applyReg(machine.registry, R"(
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="HID\\0002"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2101\6&2]
"Driver"="HID\\0003"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0003]
)",
                       "seed");
    machine.registry.setAllowedAccess(std::string(kEnumUsb) + "\\VID_1D9F&PID_2100", c.allowed);

    EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
    EXPECT_EQ(machine.registry.keyExists(std::string(kEnumUsb) + "\\VID_1D9F&PID_2100"),
              !c.deviceKeyGone);
    EXPECT_TRUE(machine.registry.keyExists(std::string(kHidClass) + "\\0002"));
    EXPECT_FALSE(traced("  EU: Adding to ValueList:HID\\0002"));
    EXPECT_TRUE(traced("  WR: OpenKey FAILED!"));
    // The walk goes on with the next device.
    EXPECT_FALSE(machine.registry.keyExists(std::string(kEnumUsb) + "\\VID_1D9F&PID_2101"));
    EXPECT_FALSE(machine.registry.keyExists(std::string(kHidClass) + "\\0003"));
  }
}

TEST_F(CleanupScenarioTest, MissingKeysAreSkippedAndTheRunGoesOn) {
  // No Enum key at all, no ASD key, no device interface classes: only the
  // OEM key holds a product record.
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)");
  EXPECT_EQ(RemovePedalDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  EXPECT_TRUE(traced("  EU: Exiting deleteEnumUsbKeys"));
  EXPECT_TRUE(traced("  EU: Exiting deleteAsdKeys"));
  EXPECT_TRUE(traced("  EU: Exiting deleteDeviceClassesKeys"));
  EXPECT_EQ(trace().back(), "  EU: Exiting deleteDeviceClassesKeys");
}

TEST_F(CleanupScenarioTest, ValueOfTheWrongTypeEndsTheExportWithMinusOne) {
  // A "Driver" or "DeviceInstance" value that is not a string cannot be read:
  // the run ends there, with everything it held released.
  constexpr const char* kOem =
      "HKLM\\System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM"
      "\\VID_1D9F&PID_2100";
  constexpr const char* kInterfaceB =
      "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\{a5dcbf10-6530-11d2-901f-"
      "00c04fb951ed}\\B";
  struct Case {
    const char* name;
    const char* reg;
    const char* message;
    bool oemSweepRan;
  } cases[] = {
      {"Driver", R"(
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"=dword:00000002
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\B]
"DeviceInstance"="USB\\VID_1D9F&PID_2100\\6&1"
)",
       "Invalid data type for 'Driver'", false},
      {"DeviceInstance", R"(
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\A]
"DeviceInstance"=dword:00000001
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\B]
"DeviceInstance"="USB\\VID_1D9F&PID_2100\\6&1"
)",
       "Invalid data type for 'DeviceInstance'", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    machine.registry.clear();
    machine.debug.clear();
    machine.setOs("win98");
    scenario::applyReg(machine.registry, c.reg, "seed");

    EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), -1);
    const bool reported = std::any_of(trace().begin(), trace().end(), [&](const std::string& l) {
      return l.find(c.message) != std::string::npos;
    });
    EXPECT_TRUE(reported) << c.message;
    expectRunStateReleased();
    EXPECT_EQ(machine.registry.openHandleCount(), 0u);
    // The run stopped where the value was read: later sweeps never ran.
    EXPECT_EQ(machine.registry.keyExists(kOem), !c.oemSweepRan);
    EXPECT_TRUE(machine.registry.keyExists(kInterfaceB));
  }

  // Nothing of the failed run is left behind: the next run starts clean.
  machine.registry.removeKey(
      "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\{4d1e55b2-f16f-11cf-88cb-"
      "001111000030}\\A");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  EXPECT_FALSE(machine.registry.keyExists(kInterfaceB));
}

TEST_F(CleanupScenarioTest, DriverOfTheWrongTypeStopsBeforeTheLaterSweeps) {
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="HID\\0002"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&2]
"Driver"=dword:00000002
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
)");
  // The first instance was already deleted when the second one's value
  // failed; the class phase and every later sweep never ran.
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), -1);
  expectRegistryAsExpected();
  EXPECT_FALSE(traced("DELKEYS: deleteEnumHidKeys"));
  expectRunStateReleased();
}

TEST_F(CleanupScenarioTest, CallerWithoutAdministratorRightsIsRefusedFromVersionFiveOn) {
  struct Case {
    const char* os;
    std::int32_t result;
  } cases[] = {{"win98", 0}, {"nt4", 0}, {"win2k", 2}, {"winxp", 2}, {"win7", 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    machine.registry.clear();
    machine.debug.clear();
    machine.log.clear();
    machine.changes.clear();
    machine.setOs(c.os);
    machine.system.setProcessToken(sim::TokenSetup{/*administrators=*/false, /*denyOnly=*/false});
    // The settings key sits where every platform's run looks for it.
    for (const char* path :
         {"HKLM\\System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick"
          "\\OEM\\VID_1D9F&PID_2100",
          "HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_1D9F&PID_2100\\1",
          "HKLM\\Enum\\USB\\VID_1D9F&PID_2100\\1"})
      machine.registry.addKey(path);

    EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), c.result);
    if (c.result == 2) {
      EXPECT_TRUE(machine.changes.empty());
      EXPECT_EQ(trace(),
                (std::vector<std::string>{"INST2K: removeUsbDevices", "DELKEYS: cleanDeviceKeys"}));
      // No sweep ran: not one registry key was opened.
      EXPECT_TRUE(calls("RegOpenKeyExA").empty());
    } else {
      EXPECT_FALSE(machine.changes.empty());
    }
    expectRunStateReleased();
  }
}

}  // namespace
