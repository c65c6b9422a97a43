// The cleanup exports from major version 5 on: the Setup API removes every
// instance of each accepted device ID (with its driver key below
// Control\Class), then the settings and OEM keys go; the ASD and device
// interface keys are left alone.
#include <string>
#include <vector>

#include "Exports.h"
#include "ScenarioFixture.h"

namespace {

using Export = std::int32_t(WINAPI*)(HWND, std::int32_t, const char*);

constexpr const char* kXpMachine = R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\ROOT_HUB\4&1]
"Driver"="{36fc9e60-c465-11cf-8056-444553540000}\\0001"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0002"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1\Device Parameters]
"SymbolicName"="\\??\\USB#VID_1D9F&PID_2100#6&1"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&2]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0003"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2124\6&3]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0004"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2181\6&4]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0005"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_045E&PID_0040\5&1]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0000"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2100\7&1]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0006"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2181\7&4]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0009"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts\VID_1D9F&PID_2124\0000]
"Driver"="{4d36e96c-e325-11ce-bfc1-08002be10318}\\0005"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{36fc9e60-c465-11cf-8056-444553540000}\0001]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0000]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0002]
"DriverDesc"="USB Human Interface Device"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0003]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0004]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0005]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0006]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0009]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0000]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0005\Settings]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\CurrentJoystickSettings]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2181]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_046D&PID_C216]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100\Axes\0]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2181]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_045E&PID_0040]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\##?#USB#VID_1D9F&PID_2100#6&1#{a5dcbf10}]
"DeviceInstance"="USB\\VID_1D9F&PID_2100\\6&1"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&1"=hex:01,00,00,00
)";

// The Setup API takes each instance key with everything below it and the
// driver key it names; the device key stays, empty.
constexpr const char* kJoystick2100Records = R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&2]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2100\7&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0002]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0003]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0006]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
)";

constexpr const char* kPedal2124Records = R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2124\6&3]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts\VID_1D9F&PID_2124\0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0004]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0005]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)";

constexpr const char* kAux2181Records = R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2181\6&4]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2181\7&4]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0005]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0009]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2181]
)";

constexpr const char* kUsbEnum = "HKLM\\System\\CurrentControlSet\\Enum\\USB";

using CleanupPnpScenarioTest = ScenarioTest;

TEST_F(CleanupPnpScenarioTest, EachExportRemovesTheInstancesOfItsTablesOnWin2kAndXp) {
  struct Case {
    const char* os;
    Export fn;
    std::vector<const char*> removed;
    std::vector<std::string> devices;  // instances removed, in order
  } cases[] = {
      {"winxp",
       RemoveUsbDevices,
       {kJoystick2100Records, kPedal2124Records},
       {"USB\\VID_1D9F&PID_2100\\6&1", "USB\\VID_1D9F&PID_2100\\6&2", "USB\\VID_1D9F&PID_2124\\6&3",
        "HID\\VID_1D9F&PID_2100\\7&1", "QVProducts\\VID_1D9F&PID_2124\\0000"}},
      {"winxp",
       RemovePedalDevices,
       {kPedal2124Records},
       {"USB\\VID_1D9F&PID_2124\\6&3", "QVProducts\\VID_1D9F&PID_2124\\0000"}},
      {"winxp",
       RemoveAuxDevices,
       {kJoystick2100Records, kPedal2124Records, kAux2181Records},
       {"USB\\VID_1D9F&PID_2100\\6&1", "USB\\VID_1D9F&PID_2100\\6&2", "USB\\VID_1D9F&PID_2124\\6&3",
        "USB\\VID_1D9F&PID_2181\\6&4", "HID\\VID_1D9F&PID_2100\\7&1", "HID\\VID_1D9F&PID_2181\\7&4",
        "QVProducts\\VID_1D9F&PID_2124\\0000"}},
      {"win2k",
       RemoveUsbDevices,
       {kJoystick2100Records, kPedal2124Records},
       {"USB\\VID_1D9F&PID_2100\\6&1", "USB\\VID_1D9F&PID_2100\\6&2", "USB\\VID_1D9F&PID_2124\\6&3",
        "HID\\VID_1D9F&PID_2100\\7&1", "QVProducts\\VID_1D9F&PID_2124\\0000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    qvinst::onLoad();
    qvinst::setTraceEnabled(true);
    machine.registry.clear();
    expected.registry.clear();
    machine.changes.clear();
    machine.log.clear();
    seed(c.os, kXpMachine);
    for (const char* records : c.removed) expectDeleted(records);

    EXPECT_EQ(c.fn(reinterpret_cast<HWND>(0x1234), 0, ""), 0);
    expectRegistryAsExpected();
    std::vector<std::string> removed;
    for (const sim::Change& change : machine.changes)
      if (change.kind == sim::Change::Kind::RemovedDevice) removed.push_back(change.path);
    EXPECT_EQ(removed, c.devices);
    // The enumerator keys are only read; the caller's window owns the queries.
    for (const std::string& open : calls("RegOpenKeyExA")) {
      if (open.find("\\Enum\\") != std::string::npos) {
        EXPECT_NE(open.find("KEY_READ"), std::string::npos) << open;
      }
    }
    for (const std::string& query : calls("SetupDiGetClassDevsA"))
      EXPECT_NE(query.find("1234"), std::string::npos) << query;
    expectRunStateReleased();
  }
}

TEST_F(CleanupPnpScenarioTest, EachMajorVersionTakesItsRoadAndSettingsKey) {
  // The same product records in both enumerator trees and both settings keys.
  constexpr const char* kBoth = R"(
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&1"=hex:01,00,00,00
)";
  constexpr const char* kLegacyDevice = "[-HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1D9F&PID_2100]\n";
  constexpr const char* kPnpInstance =
      "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum\\USB\\VID_1D9F&PID_2100\\6&1]\n";
  constexpr const char* kDinput =
      "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\Joystick\\DINPUT."
      "DLL\\JoystickSettings\\VID_1D9F&PID_2100]\n";
  constexpr const char* kFixedKey =
      "[-HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\MediaResources\\joystick\\<"
      "FixedKey>\\JoystickSettings\\VID_1D9F&PID_2100]\n";
  constexpr const char* kAsdValue =
      "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ASD\\Prob\\{9b4e7760-3196-11cf-"
      "97ea-00aa0034319d}]\n\"USB\\\\VID_1D9F&PID_2100\\\\6&1\"=-\n";
  struct Case {
    const char* os;
    std::vector<const char*> removed;
  } cases[] = {
      {"win98", {kLegacyDevice, kFixedKey, kAsdValue}},
      {"nt4", {kLegacyDevice, kFixedKey, kAsdValue}},
      {"win2k", {kPnpInstance, kDinput}},
      {"winxp", {kPnpInstance, kDinput}},
      {"vista", {kPnpInstance, kFixedKey}},
      {"win7", {kPnpInstance, kFixedKey}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.os);
    qvinst::onLoad();
    machine.registry.clear();
    expected.registry.clear();
    seed(c.os, kBoth);
    for (const char* records : c.removed) expectDeleted(records);
    EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
    expectRegistryAsExpected();
  }
}

TEST_F(CleanupPnpScenarioTest, QueryTakesTheProductDigitsOfTheNameAsTheyStand) {
  // The query is built from characters 14 to 17 of the accepted name, so a
  // composite device's key selects the instances of the plain device ID, and
  // lower-case digits stay lower case.
  seed("winxp", R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100&MI_00\8&1]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\Vid_1d9f&Pid_210a\6&1]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2103\6&2]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2180\6&3]
)");
  machine.registry.addKey(std::string(kUsbEnum) + "\\VID_1D9F&PID_2100");  // no instances
  expected.registry.addKey(std::string(kUsbEnum) + "\\VID_1D9F&PID_2100");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\Vid_1d9f&Pid_210a\6&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2103\6&2]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  std::vector<std::string> queries;
  for (const sim::Call& call : machine.log.calls())
    if (call.name == "SetupDiGetClassDevsA")
      queries.push_back(call.args.substr(0, call.args.find(' ', 5)));
  EXPECT_EQ(queries, (std::vector<std::string>{
                         "null USB\\VID_1D9F&PID_2100", "null USB\\VID_1D9F&PID_2100",
                         "null USB\\VID_1D9F&PID_2103", "null USB\\VID_1D9F&PID_210a"}));
  // The empty set of the plain ID traces nothing after the acceptance.
  const auto accepted =
      std::find(trace().begin(), trace().end(), "  EU: checkId returned TRUE, opening subReg Key");
  ASSERT_NE(accepted, trace().end());
  EXPECT_EQ(*(accepted + 1), "  EU: Keylist Entry:VID_1D9F&PID_2100&MI_00");
}

TEST_F(CleanupPnpScenarioTest, RemovalThatFailsStillTakesTheElementOutOfTheSet) {
  seed("winxp", kXpMachine);
  machine.log.failCall("SetupDiRemoveDevice", ERROR_ACCESS_DENIED);
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  // Five instances in four sets: each met once, each failed, each deleted.
  EXPECT_EQ(tracedCount("  DK: DiRemove Failed"), 5);
  EXPECT_EQ(tracedCount("  DK: DiDelete OK"), 5);
  EXPECT_EQ(tracedCount("  DK: DiRemove OK"), 0);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList").size(), 4u);
}

TEST_F(CleanupPnpScenarioTest, DeletionFromTheSetThatFailsEndsThatSetOnly) {
  seed("winxp", kXpMachine);
  machine.log.failCall("SetupDiDeleteDeviceInfo", ERROR_INVALID_PARAMETER);
  // Each set loses its first instance only; the walk goes on with the next
  // name and the next sweep.
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0002]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2124\6&3]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0004]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2100\7&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0006]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts\VID_1D9F&PID_2124\0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0005]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  EXPECT_EQ(tracedCount("  DK: DiRemove OK"), 4);
  EXPECT_EQ(tracedCount("  DK: DiDelete Failed"), 4);
  EXPECT_EQ(calls("SetupDiDestroyDeviceInfoList").size(), 4u);
}

TEST_F(CleanupPnpScenarioTest, QueryThatFailsSkipsTheNameWithoutATrace) {
  seed("winxp", kXpMachine);
  machine.log.failCall("SetupDiGetClassDevsA", ERROR_INVALID_PARAMETER);
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  EXPECT_EQ(calls("SetupDiGetClassDevsA").size(), 4u);
  EXPECT_TRUE(calls("SetupDiEnumDeviceInfo").empty());
  EXPECT_TRUE(calls("SetupDiDestroyDeviceInfoList").empty());
}

TEST_F(CleanupPnpScenarioTest, NoProductDevicesGivesOneAndTwoRunsInARow) {
  seed("winxp", kXpMachine);
  expectDeleted(kJoystick2100Records);
  expectDeleted(kPedal2124Records);
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  // The empty device keys are still walked and accepted: the result is 0
  // again, though nothing is left to remove.
  machine.changes.clear();
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  EXPECT_TRUE(machine.changes.empty());
  expectRegistryAsExpected();

  // A machine without any product key gives 1.
  machine.registry.clear();
  expected.registry.clear();
  seed("winxp", R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_045E&PID_0040\5&1]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_046D&PID_C216]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 1);
  expectRegistryAsExpected();
}

}  // namespace
