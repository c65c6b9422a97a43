// The cleanup exports over the bundled sample machines (machines/*.reg): the
// product's records go, key by key and value by value as listed here, and
// everything else stays.
#include <string>
#include <vector>

#include "Exports.h"
#include "ScenarioFixture.h"

namespace {

class SampleMachineScenarioTest : public ScenarioTest {
protected:
  void load(const char* os, const char* file) {
    ASSERT_TRUE(machine.setOs(os));
    ASSERT_TRUE(expected.setOs(os));
    const std::string path = std::string(QVINST98_MACHINES_DIR) + "/" + file;
    image::loadRegFile(machine.registry, path);
    image::loadRegFile(expected.registry, path);
    machine.configManager.loadFromRegistry();
  }
};

// Windows 98, joystick table only: the Flightstick (2100) and the Pro Pedals
// (2124) go; the Throttle Panel (2181) is an auxiliary device and stays, as
// do the root device and every other maker's record.
TEST_F(SampleMachineScenarioTest, RemoveUsbDevicesOnWindows98) {
  load("win98", "win98.reg");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\Enum\USB\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\Enum\HID\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\Enum\QVProducts\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0002]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0003]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\HID\0004]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0005]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0006]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\MEDIA\0007]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\Class\QVProducts\0000]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0005>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0006>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\msjstick.drv<0007>]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaResources\joystick\<FixedKey>\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{9b4e7760-3196-11cf-97ea-00aa0034319d}]
"USB\\VID_1D9F&PID_2100\\6&2A0B1C3D&0&1"=-
"HID\\VID_1D9F&PID_2124\\7&0A1B2C3D&0&0000"=-
[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\ASD\Prob\{cf2524c0-29ae-11cf-97ea-00aa0034319d}]
"HID\\VID_1D9F&PID_2100\\7&1E2F3A4B&0&0000"=-
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2100#7&1e2f3a4b&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2100#7&3c4d5e6f&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{4d1e55b2-f16f-11cf-88cb-001111000030}\##?#HID#VID_1D9F&PID_2124#7&0a1b2c3d&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\##?#USB#VID_1D9F&PID_2100#6&2a0b1c3d&0&1#{a5dcbf10-6530-11d2-901f-00c04fb951ed}]
[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses\{a5dcbf10-6530-11d2-901f-00c04fb951ed}\##?#USB#VID_1D9F&PID_2124#6&2a0b1c3d&0&3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}]
)");
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();
  // The legacy road removes no device through the Setup API.
  EXPECT_TRUE(calls("SetupDiGetClassDevsA").empty());
  EXPECT_EQ(RemoveUsbDevices(nullptr, 0, ""), 1);
}

// Windows XP, joystick and auxiliary tables: the Setup API removes all ten
// product instances with their driver keys; the settings and OEM keys of the
// three product IDs go. Interface keys are not swept on this road.
TEST_F(SampleMachineScenarioTest, RemoveAuxDevicesOnWindowsXp) {
  load("winxp", "winxp.reg");
  expectDeleted(R"(
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&2a0b1c3d&0&1]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2100\6&2a0b1c3d&0&2]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2124\6&2a0b1c3d&0&3]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\USB\VID_1D9F&PID_2181\6&2a0b1c3d&0&4]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2100\7&1e2f3a4b&0&0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2100\7&3c4d5e6f&0&0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2124\7&0a1b2c3d&0&0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\HID\VID_1D9F&PID_2181\7&5f6a7b8c&0&0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts\VID_1D9F&PID_2100\0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\QVProducts\VID_1D9F&PID_2124\0000]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0002]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0003]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0004]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0005]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0006]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0007]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0008]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{745a17a0-74d3-11d0-b6fe-00a0c90f57da}\0009]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0004]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\Class\{4d36e96c-e325-11ce-bfc1-08002be10318}\0005]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaResources\Joystick\DINPUT.DLL\JoystickSettings\VID_1D9F&PID_2181]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2100]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2124]
[-HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Control\MediaProperties\PrivateProperties\Joystick\OEM\VID_1D9F&PID_2181]
)");
  EXPECT_EQ(RemoveAuxDevices(nullptr, 0, ""), 0);
  expectRegistryAsExpected();

  std::vector<std::string> removed;
  for (const sim::Change& change : machine.changes)
    if (change.kind == sim::Change::Kind::RemovedDevice) removed.push_back(change.path);
  EXPECT_EQ(removed.size(), 10u);
  for (const std::string& id : removed) {
    SCOPED_TRACE(id);
    EXPECT_NE(qvinst::toUpperId(id).find("VID_1D9F&PID_21"), std::string::npos);
    EXPECT_FALSE(machine.configManager.hasNode(id));
  }
  // The other makers' devices are still in the device tree.
  EXPECT_TRUE(machine.configManager.hasNode("USB\\VID_045E&PID_0040\\5&3a2b1c0d&0&2"));
  EXPECT_TRUE(machine.configManager.hasNode("HID\\VID_046D&PID_C216\\6&0f1e2d3c&0&0000"));
}

}  // namespace
