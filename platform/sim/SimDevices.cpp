#include "SimDevices.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <optional>

#include "SimText.h"

namespace sim {

namespace {

using text::hex;
using text::upper;

// Setup API error for an instance that is no longer on the system.
constexpr DWORD ERROR_NO_SUCH_DEVINST = 0xE000020B;

std::vector<std::string> splitPath(std::string_view path) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t end = path.find('\\', start);
    parts.emplace_back(path.substr(start, end == std::string_view::npos ? end : end - start));
    if (end == std::string_view::npos) return parts;
    start = end + 1;
  }
}

bool allNonEmpty(const std::vector<std::string>& parts) {
  return std::none_of(parts.begin(), parts.end(), [](const std::string& p) { return p.empty(); });
}

std::string handleText(const void* handle) {
  return hex(reinterpret_cast<std::uintptr_t>(handle));
}

std::string textOrNull(LPCSTR text) {
  return text ? std::string(text) : std::string("null");
}

std::int64_t handleResult(HANDLE handle) {
  return static_cast<std::int64_t>(reinterpret_cast<std::intptr_t>(handle));
}

std::string flagsText(DWORD flags) {
  static constexpr std::pair<DWORD, const char*> names[] = {
      {DIGCF_DEFAULT, "DIGCF_DEFAULT"},
      {DIGCF_PRESENT, "DIGCF_PRESENT"},
      {DIGCF_ALLCLASSES, "DIGCF_ALLCLASSES"},
      {DIGCF_PROFILE, "DIGCF_PROFILE"},
      {DIGCF_DEVICEINTERFACE, "DIGCF_DEVICEINTERFACE"}};
  std::string out;
  for (auto [bit, name] : names) {
    if (!(flags & bit)) continue;
    if (!out.empty()) out += '|';
    out += name;
    flags &= ~bit;
  }
  if (flags != 0 || out.empty()) {
    if (!out.empty()) out += '|';
    out += hex(flags);
  }
  return out;
}

// "{4D36E96C-E325-11CE-BFC1-08002BE10318}", braces optional.
std::optional<GUID> parseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
  if (text.size() != 36) return std::nullopt;
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) return std::nullopt;
    if (!dash) {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
      digits += text[i];
    }
  }
  auto field = [&](std::size_t pos, std::size_t len) {
    return std::stoull(digits.substr(pos, len), nullptr, 16);
  };
  GUID guid{};
  guid.Data1 = static_cast<std::uint32_t>(field(0, 8));
  guid.Data2 = static_cast<std::uint16_t>(field(8, 4));
  guid.Data3 = static_cast<std::uint16_t>(field(12, 4));
  for (std::size_t i = 0; i < 8; ++i)
    guid.Data4[i] = static_cast<std::uint8_t>(field(16 + 2 * i, 2));
  return guid;
}

bool sameGuid(const GUID& a, const GUID& b) {
  return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
         std::equal(std::begin(a.Data4), std::end(a.Data4), std::begin(b.Data4));
}

// A string value's text up to its first NUL; nothing for other types.
std::optional<std::string> stringValue(const Registry& registry, const std::string& key,
                                       std::string_view name) {
  auto value = registry.value(key, name);
  if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
  std::string text(value->data.begin(), value->data.end());
  return text.substr(0, text.find('\0'));
}

}  // namespace

// ---------------------------------------------------------------------------
// Setup API

HDEVINFO SetupApi::SetupDiGetClassDevsA(const GUID* classGuid, LPCSTR enumerator, HWND parent,
                                        DWORD flags) {
  auto args = [&] {
    return std::string(classGuid ? "guid " : "null ") + textOrNull(enumerator) + " " +
           handleText(parent) + " " + flagsText(flags);
  };
  auto body = [&]() -> HDEVINFO {
    auto fail = [&](DWORD code) { return calls_.fail(code, INVALID_HANDLE_VALUE); };
    std::string scope = enumerator ? enumerator : "";
    // Without an enumerator the query must name a class or ask for all of them.
    if (scope.empty() && !classGuid && !(flags & DIGCF_ALLCLASSES))
      return fail(ERROR_INVALID_PARAMETER);
    // Interface sets are not simulated.
    if (flags & DIGCF_DEVICEINTERFACE) return fail(ERROR_INVALID_PARAMETER);
    std::vector<std::string> scopeParts;
    if (!scope.empty()) {
      scopeParts = splitPath(scope);
      if (scopeParts.size() > 3 || !allNonEmpty(scopeParts)) return fail(ERROR_INVALID_PARAMETER);
    }

    // The enumerator text names an enumerator, a device ID or one instance;
    // every instance key at the third level below the enumerator root that
    // lies within it belongs to the set, in the registry's sorted order.
    const std::string root = version_.enumRoot();
    std::vector<std::string> ids;  // relative to the root, stored case
    if (auto storedRoot = registry_.storedPath(root)) {
      std::string start = root + (scope.empty() ? "" : "\\" + scope);
      if (auto stored = registry_.storedPath(start)) {
        std::string base = stored->size() > storedRoot->size()
                               ? stored->substr(storedRoot->size() + 1)
                               : std::string();
        ids = registry_.keysBelow(start, 3 - scopeParts.size());
        if (!base.empty()) {
          for (std::string& id : ids) {
            std::string full = base;
            if (!id.empty()) full.append("\\").append(id);
            id = std::move(full);
          }
        }
      }
    }

    std::vector<Element> elements;
    for (auto& id : ids) {
      if ((flags & DIGCF_PRESENT) && !configManager_.hasNode(id)) continue;
      if (classGuid && !(flags & DIGCF_ALLCLASSES)) {
        auto text = stringValue(registry_, root + "\\" + id, "ClassGUID");
        auto guid = text ? parseGuid(*text) : std::nullopt;
        if (!guid || !sameGuid(*guid, *classGuid)) continue;
      }
      elements.push_back(Element{std::move(id), nextDevInst_++});
    }

    std::uintptr_t handle = nextSet_++;
    sets_.emplace(handle, std::move(elements));
    return reinterpret_cast<HDEVINFO>(handle);
  };
  return calls_.value(callId("SetupDiGetClassDevsA"), INVALID_HANDLE_VALUE, args, body,
                      handleResult);
}

BOOL SetupApi::SetupDiEnumDeviceInfo(HDEVINFO set, DWORD index, SP_DEVINFO_DATA* data) {
  std::string found;  // the instance, named in the record when enumerated
  auto args = [&] {
    return handleText(set) + " " + std::to_string(index) + (found.empty() ? "" : " " + found);
  };
  return calls_.boolean(callId("SetupDiEnumDeviceInfo"), args, [&]() -> DWORD {
    auto it = sets_.find(reinterpret_cast<std::uintptr_t>(set));
    if (it == sets_.end()) return ERROR_INVALID_HANDLE;
    if (!data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return ERROR_INVALID_USER_BUFFER;
    if (index >= it->second.size()) return ERROR_NO_MORE_ITEMS;

    const Element& element = it->second[index];
    found = element.instanceId;
    auto text =
        stringValue(registry_, version_.enumRoot() + "\\" + element.instanceId, "ClassGUID");
    auto guid = text ? parseGuid(*text) : std::nullopt;
    data->ClassGuid = guid.value_or(GUID{});
    data->DevInst = element.devInst;
    data->Reserved = 0;
    return ERROR_SUCCESS;
  });
}

std::vector<std::string> SetupApi::instanceIds(HDEVINFO set) const {
  std::vector<std::string> ids;
  if (auto found = sets_.find(reinterpret_cast<std::uintptr_t>(set)); found != sets_.end())
    for (const auto& element : found->second) ids.push_back(element.instanceId);
  return ids;
}

const SetupApi::Element* SetupApi::elementOf(HDEVINFO set, const SP_DEVINFO_DATA* data) const {
  auto found = sets_.find(reinterpret_cast<std::uintptr_t>(set));
  if (found == sets_.end() || !data || data->cbSize != sizeof(SP_DEVINFO_DATA)) return nullptr;
  for (const auto& element : found->second)
    if (element.devInst == data->DevInst) return &element;
  return nullptr;
}

BOOL SetupApi::SetupDiRemoveDevice(HDEVINFO set, SP_DEVINFO_DATA* data) {
  const Element* element = elementOf(set, data);
  std::string shown = handleText(set) + " " + (element ? element->instanceId : "?");
  auto args = [&] { return shown; };
  return calls_.boolean(callId("SetupDiRemoveDevice"), args, [&]() -> DWORD {
    if (!sets_.contains(reinterpret_cast<std::uintptr_t>(set))) return ERROR_INVALID_HANDLE;
    if (!element) return ERROR_INVALID_PARAMETER;

    const std::string instanceKey = version_.enumRoot() + "\\" + element->instanceId;
    if (!registry_.keyExists(instanceKey)) return ERROR_NO_SUCH_DEVINST;

    // The driver key is deleted only when "Driver" names a key strictly below
    // the class key: an empty or rooted value would name the class key itself
    // or one whole class.
    std::optional<std::string> driverKey;
    if (auto driver = stringValue(registry_, instanceKey, "Driver")) {
      auto parts = splitPath(*driver);
      if (parts.size() >= 2 && allNonEmpty(parts)) {
        // The version-4 family keeps its classes below Services; NT below Control.
        bool ntClasses = version_.isNtFamily() || version_.major >= 5;
        driverKey = std::string(ntClasses ? "HKLM\\System\\CurrentControlSet\\Control\\Class\\"
                                          : "HKLM\\System\\CurrentControlSet\\Services\\Class\\") +
                    *driver;
      }
    }

    const std::string instanceId = element->instanceId;
    changes_.push_back(Change{Change::Kind::RemovedDevice, instanceId, {}, {}});
    registry_.removeKeyLogged(instanceKey);
    if (driverKey && registry_.keyExists(*driverKey)) registry_.removeKeyLogged(*driverKey);
    configManager_.removeNode(instanceId);
    return ERROR_SUCCESS;
  });
}

BOOL SetupApi::SetupDiDeleteDeviceInfo(HDEVINFO set, SP_DEVINFO_DATA* data) {
  const Element* element = elementOf(set, data);
  std::string shown = handleText(set) + " " + (element ? element->instanceId : "?");
  auto args = [&] { return shown; };
  return calls_.boolean(callId("SetupDiDeleteDeviceInfo"), args, [&]() -> DWORD {
    auto found = sets_.find(reinterpret_cast<std::uintptr_t>(set));
    if (found == sets_.end()) return ERROR_INVALID_HANDLE;
    if (!element) return ERROR_INVALID_PARAMETER;
    auto& elements = found->second;
    elements.erase(elements.begin() + (element - elements.data()));
    return ERROR_SUCCESS;
  });
}

BOOL SetupApi::SetupDiDestroyDeviceInfoList(HDEVINFO set) {
  auto args = [&] { return handleText(set); };
  return calls_.boolean(callId("SetupDiDestroyDeviceInfoList"), args, [&]() -> DWORD {
    if (sets_.erase(reinterpret_cast<std::uintptr_t>(set)) == 0) return ERROR_INVALID_HANDLE;
    return ERROR_SUCCESS;
  });
}

// ---------------------------------------------------------------------------
// Configuration Manager

ConfigManager::ConfigManager(CallRecorder& calls, ChangeLog& changes, Registry& registry,
                             const WindowsVersion& version)
    : calls_(calls), changes_(changes), registry_(registry), version_(version) {
  nodes_.emplace(rootNode_, Node{std::string(), 0, std::string()});
}

void ConfigManager::addNode(DEVINST handle, Node node) {
  byId_[node.instanceId] = handle;
  children_[node.parent].insert(handle);
  nodes_.emplace(handle, std::move(node));
}

void ConfigManager::eraseNode(DEVINST handle) {
  const auto it = nodes_.find(handle);
  if (it == nodes_.end()) return;
  byId_.erase(it->second.instanceId);
  children_[it->second.parent].erase(handle);
  children_.erase(handle);
  nodes_.erase(it);
}

std::optional<DEVINST> ConfigManager::find(std::string_view instanceId) const {
  const std::string id = upper(instanceId);
  if (id.empty()) return std::nullopt;
  const auto it = byId_.find(id);
  if (it == byId_.end()) return std::nullopt;
  return it->second;
}

void ConfigManager::loadFromRegistry() {
  std::erase_if(nodes_, [](const auto& entry) { return entry.first != rootNode_; });
  byId_.clear();
  children_.clear();
  const Registry& registry = registry_;
  const std::string root = version_.enumRoot();
  // Every instance hangs directly below the root: the simulation has no buses.
  for (std::string& name : registry.keysBelow(root, 3)) {
    std::string id = upper(name);
    if (!unplugged_.contains(id))
      addNode(nextNode_++, Node{std::move(id), rootNode_, std::move(name)});
  }
}

void ConfigManager::markUnplugged(std::string_view instanceId) {
  unplugged_.insert(upper(instanceId));
  removeNode(instanceId);
}

bool ConfigManager::hasNode(std::string_view instanceId) const {
  return find(instanceId).has_value();
}

std::vector<std::string> ConfigManager::nodes() const {
  std::vector<std::string> ids;
  for (const auto& [handle, node] : nodes_)
    if (handle != rootNode_) ids.push_back(node.instanceId);
  std::sort(ids.begin(), ids.end());
  return ids;
}

std::vector<DEVINST> ConfigManager::subtree(DEVINST node) const {
  std::vector<DEVINST> handles{node};
  for (std::size_t i = 0; i < handles.size(); ++i) {
    const auto it = children_.find(handles[i]);
    if (it == children_.end()) continue;
    handles.insert(handles.end(), it->second.begin(), it->second.end());
  }
  return handles;
}

void ConfigManager::removeNode(std::string_view instanceId) {
  const auto handle = find(instanceId);
  if (!handle) return;
  // Nodes below it go with it; the Setup API reports only the instance.
  for (DEVINST gone : subtree(*handle)) eraseNode(gone);
}

CONFIGRET ConfigManager::CM_Locate_DevNodeA(DEVINST* node, LPCSTR deviceId, ULONG flags) {
  auto args = [&] { return textOrNull(deviceId) + " " + hex(flags); };
  return calls_.status(callId("CM_Locate_DevNodeA"), args, [&]() -> CONFIGRET {
    if (!node) return CR_INVALID_POINTER;
    *node = 0;
    if (flags != CM_LOCATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
    if (!deviceId || !*deviceId) {
      *node = rootNode_;
      return CR_SUCCESS;
    }
    if (const auto found = find(deviceId)) {
      *node = *found;
      return CR_SUCCESS;
    }
    return CR_NO_SUCH_DEVNODE;
  });
}

CONFIGRET ConfigManager::CM_Create_DevNodeA(DEVINST* node, LPCSTR deviceId, DEVINST parent,
                                            ULONG flags) {
  auto args = [&] { return textOrNull(deviceId) + " " + hex(parent) + " " + hex(flags); };
  return calls_.status(callId("CM_Create_DevNodeA"), args, [&]() -> CONFIGRET {
    if (!node) return CR_INVALID_POINTER;
    // Only full instance paths are taken: no instance number is generated.
    if (flags != CM_CREATE_DEVNODE_NORMAL) return CR_INVALID_FLAG;
    if (!deviceId) return CR_INVALID_DEVICE_ID;
    const std::string given = deviceId;
    auto parts = splitPath(given);
    if (parts.size() != 3 || !allNonEmpty(parts)) return CR_INVALID_DEVICE_ID;
    if (!nodes_.contains(parent)) return CR_INVALID_DEVNODE;
    if (hasNode(given)) return CR_ALREADY_SUCH_DEVNODE;

    const DEVINST handle = nextNode_++;
    addNode(handle, Node{upper(given), parent, given});
    unplugged_.erase(upper(given));
    changes_.push_back(Change{Change::Kind::CreatedNode, given, {}, {}});
    const std::string key = version_.enumRoot() + "\\" + given;
    if (!registry_.keyExists(key)) registry_.addKeyLogged(key);
    *node = handle;
    return CR_SUCCESS;
  });
}

CONFIGRET ConfigManager::CM_Remove_SubTree(DEVINST node, ULONG flags) {
  auto args = [&] { return hex(node) + " " + hex(flags); };
  return calls_.status(callId("CM_Remove_SubTree"), args, [&]() -> CONFIGRET {
    // The root cannot be removed.
    if (node == rootNode_ || !nodes_.contains(node)) return CR_INVALID_DEVNODE;
    // CM_REMOVE_UI_OK, CM_REMOVE_UI_NOT_OK and CM_REMOVE_NO_RESTART.
    if (flags & ~ULONG{3}) return CR_INVALID_FLAG;

    // Children leave before their parents; the registry keys stay.
    auto doomed = subtree(node);
    for (auto it = doomed.rbegin(); it != doomed.rend(); ++it) {
      changes_.push_back(Change{Change::Kind::RemovedNode, nodes_.at(*it).name, {}, {}});
      eraseNode(*it);
    }
    return CR_SUCCESS;
  });
}

}  // namespace sim
