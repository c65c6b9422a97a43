// The simulated device tree: the Setup API over the registry's enumerator
// tree, and the Configuration Manager's live device nodes.
//
// Device instances are the keys three levels below the enumerator key
// (HKLM\Enum on Windows 95, 98 and Me, HKLM\System\CurrentControlSet\Enum
// on the NT family): Enum\<enumerator>\<device ID>\<instance>.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "../Platform.h"
#include "CallRecorder.h"
#include "Changes.h"
#include "SimRegistry.h"
#include "WindowsVersion.h"

namespace sim {

class ConfigManager;

class SetupApi : public platform::SetupApi {
public:
  // The device tree is the registry's enumerator key for `version`; the
  // version is read at each call, so it follows the machine's.
  SetupApi(CallRecorder& calls, ChangeLog& changes, Registry& registry,
           ConfigManager& configManager, const WindowsVersion& version)
      : calls_(calls),
        changes_(changes),
        registry_(registry),
        configManager_(configManager),
        version_(version) {}

  // Device information sets not yet destroyed, for leak checks.
  std::size_t openSetCount() const { return sets_.size(); }
  // The instance IDs a set holds, in order and stored case; empty for a
  // handle that is not an open set.
  std::vector<std::string> instanceIds(HDEVINFO set) const;

  // With no class and DIGCF_ALLCLASSES, an enumerator text that names a
  // device ID ("USB\VID_1D9F&PID_2100", any case) gives every instance below
  // that device ID, present or not; a device ID that does not exist gives an
  // empty set.
  HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                DWORD flags) override;
  BOOL SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) override;
  // Removes the instance: its Enum key with everything below it, the driver
  // key its "Driver" value names below the class key, and its device node.
  BOOL SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiDeleteDeviceInfo(HDEVINFO set, SP_DEVINFO_DATA* data) override;
  BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set) override;

private:
  CallRecorder& calls_;
  ChangeLog& changes_;
  Registry& registry_;
  ConfigManager& configManager_;
  const WindowsVersion& version_;
  struct Element {
    std::string instanceId;  // "USB\VID_1D9F&PID_2100\5&1A2B&0&1", stored case
    DWORD devInst;
  };
  std::map<std::uintptr_t, std::vector<Element>> sets_;
  std::uintptr_t nextSet_ = 0x3000;
  DWORD nextDevInst_ = 0x100;
  const Element* elementOf(HDEVINFO set, const SP_DEVINFO_DATA* data) const;
};

class ConfigManager : public platform::ConfigManager {
public:
  ConfigManager(CallRecorder& calls, ChangeLog& changes, Registry& registry,
                const WindowsVersion& version);

  // Rebuilds the tree: a node for every device instance of the registry's
  // enumerator tree, except those marked as unplugged.
  void loadFromRegistry();
  void markUnplugged(std::string_view instanceId);
  bool hasNode(std::string_view instanceId) const;
  std::vector<std::string> nodes() const;  // instance IDs, upper case, sorted
  // Called by the Setup API when it removes an instance.
  void removeNode(std::string_view instanceId);

  CONFIGRET CM_Locate_DevNodeA(DEVINST* node, LPCSTR deviceId, ULONG flags) override;
  CONFIGRET CM_Create_DevNodeA(DEVINST* node, LPCSTR deviceId, DEVINST parent,
                               ULONG flags) override;
  CONFIGRET CM_Remove_SubTree(DEVINST node, ULONG flags) override;

private:
  CallRecorder& calls_;
  ChangeLog& changes_;
  Registry& registry_;
  const WindowsVersion& version_;
  static constexpr DEVINST rootNode_ = 1;
  struct Node {
    std::string instanceId;  // upper case; empty for the root
    DEVINST parent;
    std::string name;  // the instance ID as created or stored, for the change log
  };
  std::map<DEVINST, Node> nodes_;
  // Indexes over nodes_, so that lookups stay cheap in large trees.
  std::map<std::string, DEVINST> byId_;            // upper-case instance ID
  std::map<DEVINST, std::set<DEVINST>> children_;  // parent -> children
  std::set<std::string> unplugged_;                // upper case
  DEVINST nextNode_ = 2;
  // The node and every node below it, parents before children.
  std::vector<DEVINST> subtree(DEVINST node) const;
  std::optional<DEVINST> find(std::string_view instanceId) const;
  void addNode(DEVINST handle, Node node);
  void eraseNode(DEVINST handle);
};

}  // namespace sim
