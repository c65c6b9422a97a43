// A test-only cfgmgr32.dll for the Wine suite. Wine's Configuration Manager
// locates no device node, so the root device's creation and removal never
// run there; this DLL, put in the prefix's system directory and loaded by a
// native override, answers the three calls the library makes as Windows
// does:
// - the device tree is a root node with every instance key of the
//   enumerator tree below it (HKLM\Enum on Windows 9x,
//   HKLM\System\CurrentControlSet\Enum on NT), unless removed;
// - a located or created node gets a handle for this process;
// - CM_Create_DevNodeA creates the node and its instance key;
// - CM_Remove_SubTree removes the node and the nodes created below it, and
//   leaves their registry keys. The removed marks are values of
//   HKLM\Software\QVTest\RemovedNodes, so that they outlive an unload of
//   this DLL as a removal on Windows outlives it; creating a node again
//   clears its mark.
// The functions are defined here, not imported.
#define CMAPI
#include <windows.h>

// Needs the types of windows.h.
#include <cfgmgr32.h>

#include <string>
#include <vector>

namespace {

constexpr DEVINST rootNode = 1;
constexpr const char* removedKey = "Software\\QVTest\\RemovedNodes";

struct Node {
  std::string id;  // upper case
  DEVINST parent;
};
// Handle N names nodes[N - 2]; handle 1 is the root.
std::vector<Node> nodes;

std::string upper(const char* text) {
  std::string id(text);
  for (char& c : id) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return id;
}

// An instance ID has three non-empty parts: enumerator, device, instance.
bool isInstanceId(const std::string& id) {
  int parts = 1;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= id.size(); ++i) {
    if (i == id.size() || id[i] == '\\') {
      if (i == start) return false;
      if (i < id.size()) ++parts;
      start = i + 1;
    }
  }
  return parts == 3;
}

std::string instanceKey(const std::string& id) {
  OSVERSIONINFOA version{};
  version.dwOSVersionInfoSize = sizeof version;
  const bool win9x = GetVersionExA(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
  return (win9x ? "Enum\\" : "System\\CurrentControlSet\\Enum\\") + id;
}

bool isRemoved(const std::string& id) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, removedKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  const bool found =
      RegQueryValueExA(key, id.c_str(), nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
  RegCloseKey(key);
  return found;
}

bool setRemoved(const std::string& id, bool removed) {
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, removedKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const DWORD one = 1;
  const LONG status = removed ? RegSetValueExA(key, id.c_str(), 0, REG_DWORD,
                                               reinterpret_cast<const BYTE*>(&one), sizeof one)
                              : RegDeleteValueA(key, id.c_str());
  RegCloseKey(key);
  return status == ERROR_SUCCESS || (!removed && status == ERROR_FILE_NOT_FOUND);
}

bool isLive(const std::string& id) {
  if (!isInstanceId(id) || isRemoved(id)) return false;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, instanceKey(id).c_str(), 0, KEY_READ, &key) !=
      ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// The handle of a node, the same one each time it is asked for in this
// process. Nodes found in the registry hang below the root.
DEVINST handleOf(const std::string& id) {
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (nodes[i].id == id) return static_cast<DEVINST>(i + 2);
  }
  nodes.push_back({id, rootNode});
  return static_cast<DEVINST>(nodes.size() + 1);
}

const Node* nodeOf(DEVINST handle) {
  if (handle < 2 || handle - 2 >= nodes.size()) return nullptr;
  return &nodes[handle - 2];
}

bool isLiveHandle(DEVINST handle) {
  if (handle == rootNode) return true;
  const Node* node = nodeOf(handle);
  return node != nullptr && isLive(node->id);
}

}  // namespace

extern "C" {

CONFIGRET WINAPI CM_Locate_DevNodeA(PDEVINST node, DEVINSTID_A deviceId, ULONG flags) {
  if (node == nullptr) return CR_INVALID_POINTER;
  *node = 0;
  // Phantom and cancel-remove locates are not modelled.
  if (flags != CM_LOCATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
  if (deviceId == nullptr || *deviceId == '\0') {
    *node = rootNode;
    return CR_SUCCESS;
  }
  const std::string id = upper(deviceId);
  if (!isLive(id)) return CR_NO_SUCH_DEVNODE;
  *node = handleOf(id);
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Create_DevNodeA(PDEVINST node, DEVINSTID_A deviceId, DEVINST parent,
                                    ULONG flags) {
  if (node == nullptr) return CR_INVALID_POINTER;
  // Only full instance paths: no instance number is generated.
  if (flags != CM_CREATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
  if (deviceId == nullptr) return CR_INVALID_DEVICE_ID;
  const std::string id = upper(deviceId);
  if (!isInstanceId(id)) return CR_INVALID_DEVICE_ID;
  if (!isLiveHandle(parent)) return CR_INVALID_DEVNODE;
  if (isLive(id)) return CR_ALREADY_SUCH_DEVNODE;
  // The key takes the name as given; an existing key is kept as it is.
  HKEY key = nullptr;
  if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, instanceKey(deviceId).c_str(), 0, nullptr, 0,
                      KEY_ALL_ACCESS, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return CR_REGISTRY_ERROR;
  }
  RegCloseKey(key);
  if (!setRemoved(id, false)) return CR_REGISTRY_ERROR;
  *node = handleOf(id);
  nodes[*node - 2].parent = parent;
  return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Remove_SubTree(DEVINST node, ULONG flags) {
  // The root cannot be removed.
  if (node == rootNode || !isLiveHandle(node)) return CR_INVALID_DEVNODE;
  // CM_REMOVE_UI_OK, CM_REMOVE_UI_NOT_OK and CM_REMOVE_NO_RESTART.
  if (flags & ~ULONG{3}) return CR_INVALID_FLAG;
  // The node and every node whose chain of parents reaches it.
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    DEVINST at = static_cast<DEVINST>(i + 2);
    // Bounded, so that a chain can never loop.
    for (std::size_t step = 0; step <= nodes.size() && at != node && at != rootNode; ++step) {
      const Node* up = nodeOf(at);
      at = up == nullptr ? rootNode : up->parent;
    }
    if (at == node && !setRemoved(nodes[i].id, true)) return CR_REGISTRY_ERROR;
  }
  return CR_SUCCESS;
}

}  // extern "C"
