#include "SimRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "../Handles.h"
#include "Machine.h"
#include "SimText.h"

namespace sim {

namespace {

using text::equalNoCase;
using text::hex;
using text::upper;
using text::upperChar;

struct RootName {
  HKEY handle;
  const char* longName;
  const char* shortName;
};

const RootName kRoots[] = {
    {HKEY_CLASSES_ROOT, "HKEY_CLASSES_ROOT", "HKCR"},
    {HKEY_CURRENT_USER, "HKEY_CURRENT_USER", "HKCU"},
    {HKEY_LOCAL_MACHINE, "HKEY_LOCAL_MACHINE", "HKLM"},
    {HKEY_USERS, "HKEY_USERS", "HKU"},
    {HKEY_CURRENT_CONFIG, "HKEY_CURRENT_CONFIG", "HKCC"},
};
constexpr std::size_t kRootCount = sizeof(kRoots) / sizeof(kRoots[0]);

constexpr REGSAM kEverything = 0xFFFFFFFFu;
constexpr REGSAM kWow64Flags = 0x0300;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericAll = 0x10000000;

// Path components; empty ones (doubled or trailing backslashes) are skipped.
std::vector<std::string_view> split(std::string_view path) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('\\', start);
    if (end == std::string_view::npos) end = path.size();
    if (end > start) parts.push_back(path.substr(start, end - start));
    start = end + 1;
  }
  return parts;
}

const RootName* rootByName(std::string_view name) {
  for (const RootName& root : kRoots)
    if (equalNoCase(name, root.longName) || equalNoCase(name, root.shortName)) return &root;
  return nullptr;
}

std::string accessText(REGSAM access) {
  if (access == KEY_ALL_ACCESS) return "KEY_ALL_ACCESS";
  if (access == KEY_READ) return "KEY_READ";
  return hex(access);
}

// The rights an open asks for, with generic rights mapped to key rights.
REGSAM requestedRights(REGSAM desired, REGSAM allowed) {
  REGSAM rights = desired & ~(kWow64Flags | kMaximumAllowed | kGenericRead | kGenericWrite |
                              kGenericExecute | kGenericAll);
  if (desired & (kGenericRead | kGenericExecute)) rights |= KEY_READ;
  if (desired & kGenericWrite) rights |= KEY_WRITE;
  if (desired & kGenericAll) rights |= KEY_ALL_ACCESS;
  if (desired & kMaximumAllowed) rights |= allowed;
  return rights;
}

std::uintptr_t handleValue(HKEY key) {
  return reinterpret_cast<std::uintptr_t>(key);
}

}  // namespace

struct Registry::Node : std::enable_shared_from_this<Registry::Node> {
  std::string name;        // stored case; the long root name for a root
  std::string key;         // upper case, the sort key among its siblings
  Node* parent = nullptr;  // null for a root and for a deleted key
  std::map<std::string, std::shared_ptr<Node>> children;  // by upper-case name
  std::vector<Value> values;                              // in the order set
  REGSAM allowed = kEverything;
  bool deleted = false;
  std::string deletedPath;  // the full path it had, once deleted

  // Enumeration by index; rebuilt on demand after an insertion, so that
  // walking all n children costs O(n) and not O(n) per index. A deletion
  // updates it in place, which is cheap for the highest index, the one a
  // recursive deletion removes first.
  mutable std::vector<Node*> order;
  mutable bool orderValid = true;
  mutable DWORD maxChildName = 0;
  mutable bool maxChildNameValid = true;

  Node* child(std::string_view childName) const {
    auto it = children.find(upper(childName));
    return it == children.end() ? nullptr : it->second.get();
  }

  Node* addChild(std::string_view childName) {
    auto node = std::make_shared<Node>();
    node->name = std::string(childName);
    node->key = upper(childName);
    node->parent = this;
    Node* raw = node.get();
    children.emplace(raw->key, std::move(node));
    orderValid = false;
    if (maxChildNameValid) maxChildName = std::max(maxChildName, DWORD(childName.size()));
    return raw;
  }

  const std::vector<Node*>& sorted() const {
    if (!orderValid) {
      order.clear();
      order.reserve(children.size());
      for (const auto& entry : children) order.push_back(entry.second.get());
      orderValid = true;
    }
    return order;
  }

  DWORD longestChildName() const {
    if (!maxChildNameValid) {
      maxChildName = 0;
      for (const auto& entry : children)
        maxChildName = std::max(maxChildName, DWORD(entry.second->name.size()));
      maxChildNameValid = true;
    }
    return maxChildName;
  }

  Value* findValue(std::string_view valueName) {
    for (Value& value : values)
      if (equalNoCase(value.name, valueName)) return &value;
    return nullptr;
  }

  std::string path(bool shortRoot) const {
    if (deleted) return shortRoot ? shortRootPath(deletedPath) : deletedPath;
    std::vector<const Node*> chain;
    for (const Node* node = this; node; node = node->parent) chain.push_back(node);
    std::string out = chain.back()->name;
    if (shortRoot) out = shortRootPath(out);
    for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) out += '\\' + (*it)->name;
    return out;
  }
};

Registry::Registry(Machine& machine) : machine_(machine) {
  for (const RootName& root : kRoots) {
    auto node = std::make_shared<Node>();
    node->name = root.longName;
    roots_.push_back(std::move(node));
  }
}

Registry::~Registry() = default;

std::string Registry::shortRootPath(std::string_view fullPath) {
  std::size_t end = fullPath.find('\\');
  std::string_view first = fullPath.substr(0, end);
  const RootName* root = rootByName(first);
  if (!root) return std::string(fullPath);
  std::string out = root->shortName;
  if (end != std::string_view::npos) out += fullPath.substr(end);
  return out;
}

// ---- Lookup -----------------------------------------------------------------

Registry::Node* Registry::rootNode(std::string_view name) const {
  for (std::size_t i = 0; i < kRootCount; ++i)
    if (equalNoCase(name, kRoots[i].longName) || equalNoCase(name, kRoots[i].shortName))
      return roots_[i].get();
  return nullptr;
}

Registry::Node* Registry::findPath(std::string_view fullPath) const {
  auto parts = split(fullPath);
  if (parts.empty()) return nullptr;
  Node* node = rootNode(parts[0]);
  for (std::size_t i = 1; node && i < parts.size(); ++i) node = node->child(parts[i]);
  return node;
}

Registry::Node* Registry::makePath(std::string_view fullPath, std::vector<Node*>* created) {
  auto parts = split(fullPath);
  Node* node = parts.empty() ? nullptr : rootNode(parts[0]);
  if (!node) throw std::invalid_argument("no registry root in \"" + std::string(fullPath) + "\"");
  for (std::size_t i = 1; i < parts.size(); ++i) {
    Node* next = node->child(parts[i]);
    if (!next) {
      next = node->addChild(parts[i]);
      if (created) created->push_back(next);
    }
    node = next;
  }
  return node;
}

Registry::Target Registry::resolve(HKEY key) const {
  Target target;
  if (platform::isPredefinedKey(key)) {
    for (std::size_t i = 0; i < kRootCount; ++i) {
      if (kRoots[i].handle == key) {
        target.node = roots_[i].get();
        target.granted = target.node->allowed;
        target.error = ERROR_SUCCESS;
      }
    }
    return target;
  }
  auto it = handles_.find(handleValue(key));
  if (it == handles_.end()) return target;
  target.node = it->second.node.get();
  target.granted = it->second.granted;
  target.error = target.node->deleted ? ERROR_KEY_DELETED : ERROR_SUCCESS;
  return target;
}

std::string Registry::handleText(HKEY key) const {
  Target target = resolve(key);
  return target.node ? target.node->path(true) : hex(handleValue(key));
}

template <typename ArgsFn>
LONG Registry::note(const char* name, ArgsFn&& args, LONG result) {
  if (machine_.log.recording()) machine_.log.record(name, args(), result);
  return result;
}

// ---- Deletion ---------------------------------------------------------------

void Registry::detach(Node& node, std::vector<KeySnapshot>* gone) {
  // Children first, each with its path taken while the tree is still linked.
  std::vector<Node*> doomed;
  auto collect = [&doomed](auto& self, Node& current) -> void {
    for (auto& entry : current.children) self(self, *entry.second);
    doomed.push_back(&current);
  };
  collect(collect, node);
  for (Node* victim : doomed) {
    victim->deletedPath = victim->path(false);
    // A deleted key's values can no longer be read through any handle.
    if (gone) gone->push_back(KeySnapshot{victim->deletedPath, std::move(victim->values)});
  }
  Node* parent = node.parent;
  for (Node* victim : doomed) {
    victim->deleted = true;
    victim->parent = nullptr;
  }
  if (parent->orderValid) {
    auto& order = parent->order;
    auto it = std::lower_bound(
        order.begin(), order.end(), node.key,
        [](const Node* entry, const std::string& key) { return entry->key < key; });
    if (it != order.end() && *it == &node)
      order.erase(it);
    else
      parent->orderValid = false;
  }
  if (parent->maxChildNameValid && node.name.size() >= parent->maxChildName)
    parent->maxChildNameValid = false;
  parent->children.erase(node.key);  // may free `node`
}

void Registry::logDeletedKeys(std::vector<KeySnapshot>&& gone) {
  for (KeySnapshot& key : gone)
    machine_.changes.push_back(
        Change{Change::Kind::DeletedKey, std::move(key.path), "", std::move(key.values)});
}

// ---- Verbs ------------------------------------------------------------------

void Registry::addKey(std::string_view path) {
  makePath(path);
}

void Registry::setValue(std::string_view keyPath, std::string_view name, DWORD type,
                        std::vector<std::uint8_t> data) {
  Node* node = makePath(keyPath);
  if (Value* value = node->findValue(name)) {
    value->type = type;
    value->data = std::move(data);
  } else {
    node->values.push_back(Value{std::string(name), type, std::move(data)});
  }
}

void Registry::setString(std::string_view keyPath, std::string_view name, std::string_view text,
                         DWORD type) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  setValue(keyPath, name, type, std::move(data));
}

void Registry::setDword(std::string_view keyPath, std::string_view name, DWORD value) {
  std::vector<std::uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(value >> (8 * i));
  setValue(keyPath, name, REG_DWORD, std::move(data));
}

bool Registry::removeKey(std::string_view path) {
  Node* node = findPath(path);
  if (!node || !node->parent) return false;
  detach(*node, nullptr);
  return true;
}

bool Registry::removeKeyLogged(std::string_view path) {
  Node* node = findPath(path);
  if (!node || !node->parent) return false;
  std::vector<KeySnapshot> gone;
  detach(*node, &gone);
  logDeletedKeys(std::move(gone));
  return true;
}

void Registry::addKeyLogged(std::string_view path) {
  std::vector<Node*> created;
  makePath(path, &created);
  for (Node* node : created)
    machine_.changes.push_back(Change{Change::Kind::CreatedKey, node->path(false), "", {}});
}

bool Registry::removeValue(std::string_view keyPath, std::string_view name) {
  Node* node = findPath(keyPath);
  if (!node) return false;
  auto it = std::find_if(node->values.begin(), node->values.end(),
                         [&](const Value& value) { return equalNoCase(value.name, name); });
  if (it == node->values.end()) return false;
  node->values.erase(it);
  return true;
}

void Registry::clear() {
  for (auto& root : roots_) {
    std::vector<Node*> children;
    for (auto& entry : root->children) children.push_back(entry.second.get());
    for (Node* child : children) detach(*child, nullptr);
    root->values.clear();
  }
}

bool Registry::keyExists(std::string_view path) const {
  return findPath(path) != nullptr;
}

std::optional<Value> Registry::value(std::string_view keyPath, std::string_view name) const {
  Node* node = findPath(keyPath);
  if (!node) return std::nullopt;
  if (Value* found = node->findValue(name)) return *found;
  return std::nullopt;
}

std::vector<std::string> Registry::subkeyNames(std::string_view path) const {
  std::vector<std::string> names;
  if (Node* node = findPath(path))
    for (const auto& entry : node->children) names.push_back(entry.second->name);
  return names;
}

std::vector<Value> Registry::values(std::string_view path) const {
  Node* node = findPath(path);
  return node ? node->values : std::vector<Value>{};
}

std::optional<std::string> Registry::storedPath(std::string_view path) const {
  Node* node = findPath(path);
  if (!node) return std::nullopt;
  return node->path(false);
}

void Registry::forEachKey(const std::function<void(const KeySnapshot&)>& visit) const {
  auto walk = [&visit](auto& self, const Node& node, const std::string& path) -> void {
    for (const auto& entry : node.children) {
      const Node& child = *entry.second;
      std::string childPath = path + '\\' + child.name;
      visit(KeySnapshot{childPath, child.values});
      self(self, child, childPath);
    }
  };
  for (const auto& root : roots_) walk(walk, *root, root->name);
}

void Registry::setAllowedAccess(std::string_view path, REGSAM allowed) {
  makePath(path)->allowed = allowed;
}

std::size_t Registry::openHandleCount() const {
  return handles_.size();
}

std::vector<std::string> Registry::openHandlePaths() const {
  std::vector<std::string> paths;
  for (const auto& entry : handles_) paths.push_back(entry.second.node->path(false));
  return paths;
}

// ---- Platform calls ---------------------------------------------------------

LONG Registry::RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD /*options*/, REGSAM desired,
                             PHKEY result) {
  std::string_view sub = subKey ? subKey : "";
  Target base = resolve(key);
  std::vector<std::string_view> parts = split(sub);
  Node* reached = base.error == ERROR_SUCCESS ? base.node : nullptr;
  std::size_t matched = 0;
  bool badPath = !sub.empty() && sub.front() == '\\';
  if (reached && !badPath) {
    for (; matched < parts.size(); ++matched) {
      Node* next = reached->child(parts[matched]);
      if (!next) break;
      reached = next;
    }
  }
  auto args = [&] {
    std::string path;
    if (!reached || badPath) {
      path = handleText(key);
      if (!sub.empty()) path += '\\' + std::string(sub);
    } else {
      path = reached->path(true);
      for (std::size_t i = matched; i < parts.size(); ++i) path += '\\' + std::string(parts[i]);
    }
    return path + ' ' + accessText(desired);
  };
  const char* name = "RegOpenKeyExA";

  if (auto code = machine_.log.failure(name)) {
    if (result) *result = nullptr;
    return note(name, args, LONG(*code));
  }
  if (!result) return note(name, args, ERROR_INVALID_PARAMETER);
  *result = nullptr;
  if (base.error != ERROR_SUCCESS) return note(name, args, base.error);
  if (badPath) return note(name, args, ERROR_BAD_PATHNAME);
  if (matched < parts.size()) return note(name, args, ERROR_FILE_NOT_FOUND);
  REGSAM rights = requestedRights(desired, reached->allowed);
  if (rights & ~reached->allowed) return note(name, args, ERROR_ACCESS_DENIED);

  std::uintptr_t handle = nextHandle_;
  nextHandle_ += 4;
  handles_.emplace(handle, OpenKey{reached->shared_from_this(), rights});
  *result = reinterpret_cast<HKEY>(handle);
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLen, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                LPDWORD securityDescriptorLen, FILETIME* lastWriteTime) {
  const char* name = "RegQueryInfoKeyA";
  auto args = [&] { return handleText(key); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (reserved) return note(name, args, ERROR_INVALID_PARAMETER);
  Target target = resolve(key);
  if (target.error != ERROR_SUCCESS) return note(name, args, target.error);
  if (!(target.granted & KEY_QUERY_VALUE)) return note(name, args, ERROR_ACCESS_DENIED);

  const Node& node = *target.node;
  if (className && classLen && *classLen > 0) className[0] = '\0';
  if (classLen) *classLen = 0;
  if (subKeys) *subKeys = DWORD(node.children.size());
  if (maxSubKeyLen) *maxSubKeyLen = node.longestChildName();
  if (maxClassLen) *maxClassLen = 0;
  DWORD longestName = 0;
  DWORD largestData = 0;
  for (const Value& value : node.values) {
    longestName = std::max(longestName, DWORD(value.name.size()));
    largestData = std::max(largestData, DWORD(value.data.size()));
  }
  if (values) *values = DWORD(node.values.size());
  if (maxValueNameLen) *maxValueNameLen = longestName;
  if (maxValueLen) *maxValueLen = largestData;
  if (securityDescriptorLen) *securityDescriptorLen = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegEnumKeyExA(HKEY key, DWORD index, LPSTR nameOut, LPDWORD nameLen,
                             LPDWORD reserved, LPSTR className, LPDWORD classLen,
                             FILETIME* lastWriteTime) {
  const char* name = "RegEnumKeyExA";
  auto args = [&] { return handleText(key) + ' ' + std::to_string(index); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (reserved) return note(name, args, ERROR_INVALID_PARAMETER);
  Target target = resolve(key);
  if (target.error != ERROR_SUCCESS) return note(name, args, target.error);
  if (!(target.granted & KEY_ENUMERATE_SUB_KEYS)) return note(name, args, ERROR_ACCESS_DENIED);
  const auto& sorted = target.node->sorted();
  if (index >= sorted.size()) return note(name, args, ERROR_NO_MORE_ITEMS);
  if (!nameOut || !nameLen) return note(name, args, ERROR_INVALID_PARAMETER);

  const std::string& found = sorted[index]->name;
  if (found.size() >= *nameLen) return note(name, args, ERROR_MORE_DATA);
  std::memcpy(nameOut, found.c_str(), found.size() + 1);
  *nameLen = DWORD(found.size());
  if (className && classLen && *classLen > 0) className[0] = '\0';
  if (classLen) *classLen = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegEnumValueA(HKEY key, DWORD index, LPSTR nameOut, LPDWORD nameLen,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLen) {
  const char* name = "RegEnumValueA";
  auto args = [&] { return handleText(key) + ' ' + std::to_string(index); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (reserved || (data && !dataLen)) return note(name, args, ERROR_INVALID_PARAMETER);
  Target target = resolve(key);
  if (target.error != ERROR_SUCCESS) return note(name, args, target.error);
  if (!(target.granted & KEY_QUERY_VALUE)) return note(name, args, ERROR_ACCESS_DENIED);
  const auto& values = target.node->values;
  if (index >= values.size()) return note(name, args, ERROR_NO_MORE_ITEMS);
  if (!nameOut || !nameLen) return note(name, args, ERROR_INVALID_PARAMETER);

  const Value& value = values[index];
  if (value.name.size() >= *nameLen) return note(name, args, ERROR_MORE_DATA);
  std::memcpy(nameOut, value.name.c_str(), value.name.size() + 1);
  *nameLen = DWORD(value.name.size());
  if (type) *type = value.type;
  DWORD size = DWORD(value.data.size());
  if (data) {
    if (*dataLen < size) {
      *dataLen = size;
      return note(name, args, ERROR_MORE_DATA);
    }
    std::copy(value.data.begin(), value.data.end(), data);
  }
  if (dataLen) *dataLen = size;
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataLen) {
  const char* name = "RegQueryValueExA";
  std::string_view wanted = valueName ? valueName : "";
  auto args = [&] { return handleText(key) + '|' + std::string(wanted); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (reserved || (data && !dataLen)) return note(name, args, ERROR_INVALID_PARAMETER);
  Target target = resolve(key);
  if (target.error != ERROR_SUCCESS) return note(name, args, target.error);
  if (!(target.granted & KEY_QUERY_VALUE)) return note(name, args, ERROR_ACCESS_DENIED);
  const Value* value = target.node->findValue(wanted);
  if (!value) return note(name, args, ERROR_FILE_NOT_FOUND);

  if (type) *type = value->type;
  DWORD size = DWORD(value->data.size());
  if (data) {
    if (*dataLen < size) {
      *dataLen = size;
      return note(name, args, ERROR_MORE_DATA);
    }
    std::copy(value->data.begin(), value->data.end(), data);
  }
  if (dataLen) *dataLen = size;
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  const char* name = "RegDeleteKeyA";
  Target base = resolve(key);
  std::string_view sub = subKey ? subKey : "";
  bool badPath = !sub.empty() && sub.front() == '\\';
  std::vector<std::string_view> parts = split(sub);
  Node* victim = base.error == ERROR_SUCCESS && !badPath ? base.node : nullptr;
  for (std::size_t i = 0; victim && i < parts.size(); ++i) victim = victim->child(parts[i]);
  auto args = [&] {
    if (victim) return victim->path(true);
    std::string path = handleText(key);
    if (!sub.empty()) path += '\\' + std::string(sub);
    return path;
  };

  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (!subKey) return note(name, args, ERROR_INVALID_PARAMETER);
  if (base.error != ERROR_SUCCESS) return note(name, args, base.error);
  if (badPath) return note(name, args, ERROR_BAD_PATHNAME);
  if (!victim) return note(name, args, ERROR_FILE_NOT_FOUND);
  if (!victim->parent) return note(name, args, ERROR_ACCESS_DENIED);  // a root
  if (!(victim->allowed & DELETE)) return note(name, args, ERROR_ACCESS_DENIED);
  if (ntSemantics_) {
    if (!victim->children.empty()) return note(name, args, ERROR_ACCESS_DENIED);
  } else {
    // The version-4 family deletes the whole tree; a key below that refuses
    // deletion makes the call fail before anything goes.
    bool refused = false;
    auto check = [&refused](auto& self, const Node& node) -> void {
      if (!(node.allowed & DELETE)) refused = true;
      for (const auto& entry : node.children) self(self, *entry.second);
    };
    check(check, *victim);
    if (refused) return note(name, args, ERROR_ACCESS_DENIED);
  }
  std::string shown = machine_.log.recording() ? args() : std::string();
  std::vector<KeySnapshot> gone;
  detach(*victim, &gone);
  logDeletedKeys(std::move(gone));
  return note(
      name, [&] { return shown; }, ERROR_SUCCESS);
}

LONG Registry::RegDeleteValueA(HKEY key, LPCSTR valueName) {
  const char* name = "RegDeleteValueA";
  std::string_view wanted = valueName ? valueName : "";
  auto args = [&] { return handleText(key) + '|' + std::string(wanted); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  Target target = resolve(key);
  if (target.error != ERROR_SUCCESS) return note(name, args, target.error);
  if (!(target.granted & KEY_SET_VALUE)) return note(name, args, ERROR_ACCESS_DENIED);
  auto& values = target.node->values;
  auto it = std::find_if(values.begin(), values.end(),
                         [&](const Value& value) { return equalNoCase(value.name, wanted); });
  if (it == values.end()) return note(name, args, ERROR_FILE_NOT_FOUND);

  machine_.changes.push_back(
      Change{Change::Kind::DeletedValue, target.node->path(false), it->name, {*it}});
  values.erase(it);
  return note(name, args, ERROR_SUCCESS);
}

LONG Registry::RegFlushKey(HKEY key) {
  const char* name = "RegFlushKey";
  auto args = [&] { return handleText(key); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  return note(name, args, resolve(key).error);
}

LONG Registry::RegCloseKey(HKEY key) {
  const char* name = "RegCloseKey";
  auto args = [&] { return handleText(key); };
  if (auto code = machine_.log.failure(name)) return note(name, args, LONG(*code));
  if (key && platform::isPredefinedKey(key)) return note(name, args, ERROR_SUCCESS);
  auto it = handles_.find(handleValue(key));
  if (it == handles_.end()) return note(name, args, ERROR_INVALID_HANDLE);
  std::string shown = machine_.log.recording() ? args() : std::string();
  handles_.erase(it);
  return note(
      name, [&] { return shown; }, ERROR_SUCCESS);
}

}  // namespace sim
