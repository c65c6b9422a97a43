#include "SimDevices.h"

#include "Machine.h"

namespace sim {

SetupApi::SetupApi(Machine& machine) : machine_(machine) {}

HDEVINFO SetupApi::SetupDiGetClassDevsA(const GUID*, LPCSTR, HWND, DWORD) {
  return INVALID_HANDLE_VALUE;
}
BOOL SetupApi::SetupDiEnumDeviceInfo(HDEVINFO, DWORD, SP_DEVINFO_DATA*) {
  return FALSE;
}
BOOL SetupApi::SetupDiRemoveDevice(HDEVINFO, SP_DEVINFO_DATA*) {
  return FALSE;
}
BOOL SetupApi::SetupDiDeleteDeviceInfo(HDEVINFO, SP_DEVINFO_DATA*) {
  return FALSE;
}
BOOL SetupApi::SetupDiDestroyDeviceInfoList(HDEVINFO) {
  return FALSE;
}
const SetupApi::Element* SetupApi::elementOf(HDEVINFO, const SP_DEVINFO_DATA*) const {
  return nullptr;
}

ConfigManager::ConfigManager(Machine& machine) : machine_(machine) {}

void ConfigManager::loadFromRegistry() {}
void ConfigManager::markUnplugged(std::string_view) {}
bool ConfigManager::hasNode(std::string_view) const {
  return false;
}
std::vector<std::string> ConfigManager::nodes() const {
  return {};
}
void ConfigManager::removeNode(std::string_view) {}
CONFIGRET ConfigManager::CM_Locate_DevNodeA(DEVINST*, LPCSTR, ULONG) {
  return CR_FAILURE;
}
CONFIGRET ConfigManager::CM_Create_DevNodeA(DEVINST*, LPCSTR, DEVINST, ULONG) {
  return CR_FAILURE;
}
CONFIGRET ConfigManager::CM_Remove_SubTree(DEVINST, ULONG) {
  return CR_FAILURE;
}

}  // namespace sim
