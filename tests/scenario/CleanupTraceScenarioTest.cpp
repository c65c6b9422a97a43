// Complete traces of two small cleanup runs, one on each road, compared line
// by line with the texts in tests/data/cleanup_*.trace.
#include <string>
#include <vector>

#include "Exports.h"
#include "ScenarioFixture.h"

namespace {

using CleanupTraceScenarioTest = ScenarioTest;

// Every sweep meets something: an accepted device with two instances (one
// without "Driver"), names too short to be compared, missing keys (Enum\QV,
// OEM, the HID interface class), an empty ASD subkey and an interface key
// without "DeviceInstance".
TEST_F(CleanupTraceScenarioTest, Win98RunTracesEverySweep) {
  seed("win98", R"(
[HKEY_LOCAL_MACHINE\Enum\USB\ROOT_HUB\4&1]
"Driver"="USB\\0000"
[HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="HID\\0002"
[HKEY_LOCAL_MACHINE\Enum\HID\vid_1d9f&pid_2100&mi_00\7&1]
"Driver"="MEDIA\\0005"
[HKEY_LOCAL_MACHINE\Enum\HID\vid_1d9f&pid_2100&mi_00\7&2]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\USB\0000]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_046D&PID_C21]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&1"=hex:01,00,00,00
"PCI\\VEN_8086"=hex:01,00,00,00
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{cf2524c0-29ae-11cf-97ea-00aa0034319d}]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\##?#USB#VID_1D9F&PID_2100#6&1]
"DeviceInstance"="USB\\VID_1D9F&PID_2100\\6&1"
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\Z-NoInstance]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  EXPECT_EQ(trace(), scenario::readLines(QVINST98_TESTDATA_DIR "/cleanup_win98.trace"));
}

TEST_F(CleanupTraceScenarioTest, WinXpRunTracesEverySweep) {
  seed("winxp", R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\ROOT_HUB\4&1]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&1]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0002"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&2]
"Driver"="{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\\0003"
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\#4]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
)");
  EXPECT_EQ(RemoveAuxDevices(nullptr, 0, ""), 0);
  EXPECT_EQ(trace(), scenario::readLines(QVINST98_TESTDATA_DIR "/cleanup_winxp.trace"));
}

}  // namespace
