#include "SimRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unordered_map>
#include <utility>

#include "../Handles.h"
#include "SimPath.h"
#include "SimText.h"

namespace sim {

namespace {

using path::keyComponents;
using text::equalNoCase;
using text::hex;
using text::upper;
using text::upperChar;

constexpr REGSAM kEverything = 0xFFFFFFFFu;
constexpr REGSAM kWow64Flags = 0x0300;
constexpr REGSAM kMaximumAllowed = 0x02000000;
constexpr REGSAM kGenericRead = 0x80000000u;
constexpr REGSAM kGenericWrite = 0x40000000;
constexpr REGSAM kGenericExecute = 0x20000000;
constexpr REGSAM kGenericAll = 0x10000000;

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

// A key's values in the order they were set. Most keys hold a handful,
// searched in place; a key with many gets an index by upper-case name, so
// that it still loads and answers in linear time.
class ValueList {
public:
  const std::vector<Value>& all() const { return items_; }
  std::size_t size() const { return items_.size(); }

  const Value* find(std::string_view name) const {
    const std::size_t position = positionOf(name);
    return position == kMissing ? nullptr : &items_[position];
  }

  void set(std::string_view name, DWORD type, std::vector<std::uint8_t> data) {
    const std::size_t position = positionOf(name);
    if (position != kMissing) {
      items_[position].type = type;
      items_[position].data = std::move(data);
      return;
    }
    // Most keys hold a few values: room for one more at a time, not double.
    if (items_.size() == items_.capacity() && items_.size() < kUnindexed)
      items_.reserve(items_.size() + 1);
    items_.push_back(Value{std::string(name), type, std::move(data)});
    if (index_) {
      index_->emplace(upper(name), items_.size() - 1);
    } else if (items_.size() > kUnindexed) {
      index_ = std::make_unique<std::unordered_map<std::string, std::size_t>>();
      for (std::size_t i = 0; i < items_.size(); ++i) index_->emplace(upper(items_[i].name), i);
    }
  }

  std::optional<Value> erase(std::string_view name) {
    const std::size_t position = positionOf(name);
    if (position == kMissing) return std::nullopt;
    Value gone = std::move(items_[position]);
    items_.erase(items_.begin() + std::ptrdiff_t(position));
    if (index_) {
      index_->erase(upper(name));
      for (std::size_t i = position; i < items_.size(); ++i) (*index_)[upper(items_[i].name)] = i;
    }
    return gone;
  }

  std::vector<Value> take() {
    index_.reset();
    return std::move(items_);
  }

private:
  static constexpr std::size_t kMissing = ~std::size_t(0);
  static constexpr std::size_t kUnindexed = 16;

  std::size_t positionOf(std::string_view name) const {
    if (index_) {
      auto it = index_->find(upper(name));
      return it == index_->end() ? kMissing : it->second;
    }
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (equalNoCase(items_[i].name, name)) return i;
    return kMissing;
  }

  std::vector<Value> items_;
  // Upper-case name -> position, for keys with many values only.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> index_;
};

// Orders sibling names as their upper-case forms compare, without keeping
// those forms.
struct NoCaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      const auto x = static_cast<unsigned char>(upperChar(a[i]));
      const auto y = static_cast<unsigned char>(upperChar(b[i]));
      if (x != y) return x < y;
    }
    return a.size() < b.size();
  }
};

}  // namespace

struct Registry::Node {
  std::string name;        // stored case; the long root name for a root
  Node* parent = nullptr;  // null for a root and for a deleted key
  // By name, case-insensitive; each entry's key views its node's name.
  std::map<std::string_view, std::shared_ptr<Node>, NoCaseLess> children;
  ValueList values;
  REGSAM allowed = kEverything;
  // Flags beside the rights, so that a key costs no padding for them.
  std::uint32_t deleted : 1 = 0;
  mutable std::uint32_t maxChildNameValid : 1 = 1;
  mutable std::uint32_t maxChildName : 30 = 0;
  // The full path it had, once deleted and still named by a handle.
  std::unique_ptr<std::string> deletedPath;

  // Enumeration by index; rebuilt on demand after an insertion, so that
  // walking all n children costs O(n) and not O(n) per index. A deletion
  // updates it in place, which is cheap for the highest index, the one a
  // recursive deletion removes first. Kept only for keys that were
  // enumerated: most keys never are.
  mutable std::unique_ptr<std::vector<Node*>> order;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  // The keys below that nothing else holds go here too, one at a time from
  // a list, so that freeing a deep tree does not recurse once per level.
  ~Node() {
    std::vector<std::shared_ptr<Node>> pending;
    for (auto& entry : children) pending.push_back(std::move(entry.second));
    children.clear();
    while (!pending.empty()) {
      std::shared_ptr<Node> next = std::move(pending.back());
      pending.pop_back();
      if (next.use_count() != 1) continue;  // an open handle keeps it and its keys
      for (auto& entry : next->children) pending.push_back(std::move(entry.second));
      next->children.clear();
    }
  }

  Node* child(std::string_view childName) const {
    auto it = children.find(childName);
    return it == children.end() ? nullptr : it->second.get();
  }

  Node* addChild(std::string_view childName) {
    auto node = std::make_shared<Node>();
    node->name = std::string(childName);
    node->parent = this;
    Node* raw = node.get();
    children.emplace(std::string_view(raw->name), std::move(node));
    order.reset();
    if (maxChildNameValid) maxChildName = std::max(DWORD(maxChildName), DWORD(childName.size()));
    return raw;
  }

  // The child, made when missing, in one search: an image lists siblings in
  // sorted order, so a new one mostly goes after the last, found without a
  // search at all.
  Node& childOrNew(std::string_view childName) {
    auto at = children.end();
    if (!children.empty() && !NoCaseLess{}(std::prev(at)->first, childName)) {
      at = children.lower_bound(childName);
      if (at != children.end() && !NoCaseLess{}(childName, at->first)) return *at->second;
    }
    auto node = std::make_shared<Node>();
    node->name = std::string(childName);
    node->parent = this;
    Node* raw = node.get();
    children.emplace_hint(at, std::string_view(raw->name), std::move(node));
    order.reset();
    if (maxChildNameValid) maxChildName = std::max(DWORD(maxChildName), DWORD(childName.size()));
    return *raw;
  }

  const std::vector<Node*>& sorted() const {
    if (!order) {
      order = std::make_unique<std::vector<Node*>>();
      order->reserve(children.size());
      for (const auto& entry : children) order->push_back(entry.second.get());
    }
    return *order;
  }

  DWORD longestChildName() const {
    if (!maxChildNameValid) {
      maxChildName = 0;
      for (const auto& entry : children)
        maxChildName = std::max(DWORD(maxChildName), DWORD(entry.second->name.size()));
      maxChildNameValid = true;
    }
    return maxChildName;
  }

  std::string path(bool shortRoot) const {
    if (deleted) {
      const std::string gone = deletedPath ? *deletedPath : std::string();
      return shortRoot ? path::briefRootPath(gone) : gone;
    }
    std::vector<const Node*> chain;
    for (const Node* node = this; node; node = node->parent) chain.push_back(node);
    std::string out = chain.back()->name;
    if (shortRoot) out = path::briefRootPath(out);
    for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) out += '\\' + (*it)->name;
    return out;
  }
};

namespace {

// Visits `top` and every key below it, parents before children and siblings
// in sorted order, with each key's full path; an explicit stack instead of
// recursion, and the path grown and cut in one buffer, so any depth costs
// time linear in the keys and their names.
template <typename Visit>
void walk(Registry::Node& top, std::string parentPath, Visit&& visit) {
  std::string path = std::move(parentPath);
  std::vector<std::pair<Registry::Node*, std::size_t>> stack{{&top, path.size()}};
  while (!stack.empty()) {
    auto [node, parentLength] = stack.back();
    stack.pop_back();
    path.resize(parentLength);
    if (!path.empty()) path += '\\';
    path += node->name;
    visit(*node, path);
    const std::size_t length = path.size();
    for (auto it = node->children.rbegin(); it != node->children.rend(); ++it)
      stack.emplace_back(it->second.get(), length);
  }
}

}  // namespace

Registry::Registry(CallRecorder& calls, ChangeLog& changes) : calls_(calls), changes_(changes) {
  for (const path::RootKey& root : path::kRootKeys) {
    auto node = std::make_shared<Node>();
    node->name = std::string(root.full);
    roots_.push_back(std::move(node));
  }
}

Registry::~Registry() = default;

// ---- Lookup -----------------------------------------------------------------

Registry::Node* Registry::rootNode(std::string_view name) const {
  const path::RootKey* root = path::findRoot(name);
  return root ? roots_[std::size_t(root - path::kRootKeys)].get() : nullptr;
}

Registry::Node* Registry::findPath(std::string_view fullPath) const {
  auto parts = keyComponents(fullPath);
  if (parts.empty()) return nullptr;
  Node* node = rootNode(parts[0]);
  for (std::size_t i = 1; node && i < parts.size(); ++i) node = node->child(parts[i]);
  return node;
}

Registry::Node* Registry::makePath(std::string_view fullPath, std::vector<Node*>* created) {
  auto parts = keyComponents(fullPath);
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

// What holds a key that is still linked: its parent's entry, or the root
// table.
std::shared_ptr<Registry::Node> Registry::owner(Node& node) const {
  if (node.parent) return node.parent->children.find(std::string_view(node.name))->second;
  for (const auto& root : roots_)
    if (root.get() == &node) return root;
  return nullptr;
}

Registry::Target Registry::resolve(HKEY key) const {
  Target target;
  if (platform::isPredefinedKey(key)) {
    for (std::size_t i = 0; i < path::kRootKeyCount; ++i) {
      if (path::kRootKeys[i].handle == key) {
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

// ---- Deletion ---------------------------------------------------------------

void Registry::detach(Node& node, std::vector<KeySnapshot>* gone) {
  // Parents first, each with its path; reversed below, that is children
  // first in sorted order. A path is kept only where it is read later: in
  // the change log, and for a key that an open handle still names.
  std::vector<Node*> doomed;
  std::vector<KeySnapshot> snapshots;
  walk(node, node.parent->path(false), [&](Node& victim, const std::string& fullPath) {
    doomed.push_back(&victim);
    if (owner(victim).use_count() > 1) victim.deletedPath = std::make_unique<std::string>(fullPath);
    // A deleted key's values can no longer be read through any handle.
    std::vector<Value> values = victim.values.take();
    if (gone) snapshots.push_back(KeySnapshot{fullPath, std::move(values)});
  });
  if (gone)
    for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it)
      gone->push_back(std::move(*it));
  Node* parent = node.parent;
  for (Node* victim : doomed) {
    victim->deleted = true;
    victim->parent = nullptr;
  }
  if (parent->order) {
    auto& order = *parent->order;
    auto it = std::lower_bound(
        order.begin(), order.end(), std::string_view(node.name),
        [](const Node* entry, std::string_view name) { return NoCaseLess{}(entry->name, name); });
    if (it != order.end() && *it == &node)
      order.erase(it);
    else
      parent->order.reset();
  }
  if (parent->maxChildNameValid && node.name.size() >= parent->maxChildName)
    parent->maxChildNameValid = false;
  parent->children.erase(std::string_view(node.name));  // may free `node`
}

void Registry::logDeletedKeys(std::vector<KeySnapshot>&& gone) {
  for (KeySnapshot& key : gone)
    changes_.push_back(
        Change{Change::Kind::DeletedKey, std::move(key.path), "", std::move(key.values)});
}

// ---- Verbs ------------------------------------------------------------------

void Registry::addKey(std::string_view path) {
  makePath(path);
}

Registry::Node& Registry::makeKey(std::string_view path) {
  return *makePath(path);
}

Registry::Node& Registry::makeChild(Node& parent, std::string_view name) {
  return parent.childOrNew(name);
}

void Registry::setValue(Node& key, std::string_view name, DWORD type,
                        std::vector<std::uint8_t> data) {
  key.values.set(name, type, std::move(data));
}

bool Registry::removeValue(Node& key, std::string_view name) {
  return key.values.erase(name).has_value();
}

bool Registry::empty() const {
  for (const auto& root : roots_)
    if (!root->children.empty() || root->values.size() != 0) return false;
  return true;
}

void Registry::setValue(std::string_view keyPath, std::string_view name, DWORD type,
                        std::vector<std::uint8_t> data) {
  makePath(keyPath)->values.set(name, type, std::move(data));
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
    changes_.push_back(Change{Change::Kind::CreatedKey, node->path(false), "", {}});
}

bool Registry::removeValue(std::string_view keyPath, std::string_view name) {
  Node* node = findPath(keyPath);
  return node && node->values.erase(name).has_value();
}

void Registry::clear() {
  for (auto& root : roots_) {
    std::vector<Node*> children;
    for (auto& entry : root->children) children.push_back(entry.second.get());
    for (Node* child : children) detach(*child, nullptr);
    root->values.take();
  }
}

bool Registry::keyExists(std::string_view path) const {
  return findPath(path) != nullptr;
}

std::optional<Value> Registry::value(std::string_view keyPath, std::string_view name) const {
  Node* node = findPath(keyPath);
  if (!node) return std::nullopt;
  if (const Value* found = node->values.find(name)) return *found;
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
  return node ? node->values.all() : std::vector<Value>{};
}

std::optional<std::string> Registry::storedPath(std::string_view path) const {
  Node* node = findPath(path);
  if (!node) return std::nullopt;
  return node->path(false);
}

void Registry::forEachKey(const std::function<void(const KeySnapshot&)>& visit) const {
  for (const auto& root : roots_)
    for (const auto& entry : root->children)
      walk(*entry.second, root->name, [&visit](const Node& node, const std::string& fullPath) {
        visit(KeySnapshot{fullPath, node.values.all()});
      });
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
  std::vector<std::string_view> parts = keyComponents(sub);
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
  if (result) *result = nullptr;  // also when made to fail
  return calls_.status(callId("RegOpenKeyExA"), args, [&]() -> LONG {
    if (!result) return ERROR_INVALID_PARAMETER;
    if (base.error != ERROR_SUCCESS) return base.error;
    if (badPath) return ERROR_BAD_PATHNAME;
    if (matched < parts.size()) return ERROR_FILE_NOT_FOUND;
    REGSAM rights = requestedRights(desired, reached->allowed);
    if (rights & ~reached->allowed) return ERROR_ACCESS_DENIED;

    std::uintptr_t handle = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(handle, OpenKey{owner(*reached), rights});
    *result = reinterpret_cast<HKEY>(handle);
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLen, LPDWORD reserved,
                                LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen,
                                LPDWORD values, LPDWORD maxValueNameLen, LPDWORD maxValueLen,
                                LPDWORD securityDescriptorLen, FILETIME* lastWriteTime) {
  auto args = [&] { return handleText(key); };
  return calls_.status(callId("RegQueryInfoKeyA"), args, [&]() -> LONG {
    if (reserved) return ERROR_INVALID_PARAMETER;
    Target target = resolve(key);
    if (target.error != ERROR_SUCCESS) return target.error;
    if (!(target.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;

    const Node& node = *target.node;
    if (className && classLen && *classLen > 0) className[0] = '\0';
    if (classLen) *classLen = 0;
    if (subKeys) *subKeys = DWORD(node.children.size());
    if (maxSubKeyLen) *maxSubKeyLen = node.longestChildName();
    if (maxClassLen) *maxClassLen = 0;
    DWORD longestName = 0;
    DWORD largestData = 0;
    for (const Value& value : node.values.all()) {
      longestName = std::max(longestName, DWORD(value.name.size()));
      largestData = std::max(largestData, DWORD(value.data.size()));
    }
    if (values) *values = DWORD(node.values.size());
    if (maxValueNameLen) *maxValueNameLen = longestName;
    if (maxValueLen) *maxValueLen = largestData;
    if (securityDescriptorLen) *securityDescriptorLen = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

// A name holding NUL bytes is copied whole and reported with its full
// length, as Windows does; the caller can tell it from its text's length.
LONG Registry::RegEnumKeyExA(HKEY key, DWORD index, LPSTR nameOut, LPDWORD nameLen,
                             LPDWORD reserved, LPSTR className, LPDWORD classLen,
                             FILETIME* lastWriteTime) {
  auto args = [&] { return handleText(key) + ' ' + std::to_string(index); };
  return calls_.status(callId("RegEnumKeyExA"), args, [&]() -> LONG {
    if (reserved) return ERROR_INVALID_PARAMETER;
    Target target = resolve(key);
    if (target.error != ERROR_SUCCESS) return target.error;
    if (!(target.granted & KEY_ENUMERATE_SUB_KEYS)) return ERROR_ACCESS_DENIED;
    const auto& sorted = target.node->sorted();
    if (index >= sorted.size()) return ERROR_NO_MORE_ITEMS;
    if (!nameOut || !nameLen) return ERROR_INVALID_PARAMETER;

    const std::string& found = sorted[index]->name;
    if (found.size() >= *nameLen) return ERROR_MORE_DATA;
    std::memcpy(nameOut, found.c_str(), found.size() + 1);
    *nameLen = DWORD(found.size());
    if (className && classLen && *classLen > 0) className[0] = '\0';
    if (classLen) *classLen = 0;
    if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegEnumValueA(HKEY key, DWORD index, LPSTR nameOut, LPDWORD nameLen,
                             LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD dataLen) {
  auto args = [&] { return handleText(key) + ' ' + std::to_string(index); };
  return calls_.status(callId("RegEnumValueA"), args, [&]() -> LONG {
    if (reserved || (data && !dataLen)) return ERROR_INVALID_PARAMETER;
    Target target = resolve(key);
    if (target.error != ERROR_SUCCESS) return target.error;
    if (!(target.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const auto& values = target.node->values.all();
    if (index >= values.size()) return ERROR_NO_MORE_ITEMS;
    if (!nameOut || !nameLen) return ERROR_INVALID_PARAMETER;

    const Value& value = values[index];
    if (value.name.size() >= *nameLen) return ERROR_MORE_DATA;
    std::memcpy(nameOut, value.name.c_str(), value.name.size() + 1);
    *nameLen = DWORD(value.name.size());
    if (type) *type = value.type;
    DWORD size = DWORD(value.data.size());
    if (data) {
      if (*dataLen < size) {
        *dataLen = size;
        return ERROR_MORE_DATA;
      }
      std::copy(value.data.begin(), value.data.end(), data);
    }
    if (dataLen) *dataLen = size;
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                LPBYTE data, LPDWORD dataLen) {
  std::string_view wanted = valueName ? valueName : "";
  auto args = [&] { return handleText(key) + '|' + std::string(wanted); };
  return calls_.status(callId("RegQueryValueExA"), args, [&]() -> LONG {
    if (reserved || (data && !dataLen)) return ERROR_INVALID_PARAMETER;
    Target target = resolve(key);
    if (target.error != ERROR_SUCCESS) return target.error;
    if (!(target.granted & KEY_QUERY_VALUE)) return ERROR_ACCESS_DENIED;
    const Value* value = target.node->values.find(wanted);
    if (!value) return ERROR_FILE_NOT_FOUND;

    if (type) *type = value->type;
    DWORD size = DWORD(value->data.size());
    if (data) {
      if (*dataLen < size) {
        *dataLen = size;
        return ERROR_MORE_DATA;
      }
      std::copy(value->data.begin(), value->data.end(), data);
    }
    if (dataLen) *dataLen = size;
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegDeleteKeyA(HKEY key, LPCSTR subKey) {
  Target base = resolve(key);
  std::string_view sub = subKey ? subKey : "";
  bool badPath = !sub.empty() && sub.front() == '\\';
  std::vector<std::string_view> parts = keyComponents(sub);
  Node* victim = base.error == ERROR_SUCCESS && !badPath ? base.node : nullptr;
  for (std::size_t i = 0; victim && i < parts.size(); ++i) victim = victim->child(parts[i]);
  auto describe = [&] {
    if (victim) return victim->path(true);
    std::string path = handleText(key);
    if (!sub.empty()) path += '\\' + std::string(sub);
    return path;
  };
  // The key may be freed by its deletion: its path is taken before.
  std::optional<std::string> shownBeforeDeletion;
  auto args = [&] { return shownBeforeDeletion ? *shownBeforeDeletion : describe(); };

  return calls_.status(callId("RegDeleteKeyA"), args, [&]() -> LONG {
    if (!subKey) return ERROR_INVALID_PARAMETER;
    if (base.error != ERROR_SUCCESS) return base.error;
    if (badPath) return ERROR_BAD_PATHNAME;
    if (!victim) return ERROR_FILE_NOT_FOUND;
    if (!victim->parent) return ERROR_ACCESS_DENIED;  // a root
    if (!(victim->allowed & DELETE)) return ERROR_ACCESS_DENIED;
    if (ntSemantics_) {
      if (!victim->children.empty()) return ERROR_ACCESS_DENIED;
    } else {
      // The version-4 family deletes the whole tree; a key below that refuses
      // deletion makes the call fail before anything goes.
      bool refused = false;
      walk(*victim, std::string(), [&refused](const Node& node, const std::string&) {
        if (!(node.allowed & DELETE)) refused = true;
      });
      if (refused) return ERROR_ACCESS_DENIED;
    }
    shownBeforeDeletion = calls_.recording() ? describe() : std::string();
    std::vector<KeySnapshot> gone;
    detach(*victim, &gone);
    logDeletedKeys(std::move(gone));
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegDeleteValueA(HKEY key, LPCSTR valueName) {
  std::string_view wanted = valueName ? valueName : "";
  auto args = [&] { return handleText(key) + '|' + std::string(wanted); };
  return calls_.status(callId("RegDeleteValueA"), args, [&]() -> LONG {
    Target target = resolve(key);
    if (target.error != ERROR_SUCCESS) return target.error;
    if (!(target.granted & KEY_SET_VALUE)) return ERROR_ACCESS_DENIED;
    std::optional<Value> gone = target.node->values.erase(wanted);
    if (!gone) return ERROR_FILE_NOT_FOUND;
    std::string name = gone->name;
    changes_.push_back(Change{
        Change::Kind::DeletedValue, target.node->path(false), std::move(name), {std::move(*gone)}});
    return ERROR_SUCCESS;
  });
}

LONG Registry::RegFlushKey(HKEY key) {
  auto args = [&] { return handleText(key); };
  return calls_.status(callId("RegFlushKey"), args, [&] { return resolve(key).error; });
}

LONG Registry::RegCloseKey(HKEY key) {
  // Taken before the handle goes, which would leave only its number.
  std::optional<std::string> shownBeforeClose;
  auto args = [&] { return shownBeforeClose ? *shownBeforeClose : handleText(key); };
  return calls_.status(callId("RegCloseKey"), args, [&]() -> LONG {
    if (key && platform::isPredefinedKey(key)) return ERROR_SUCCESS;
    auto it = handles_.find(handleValue(key));
    if (it == handles_.end()) return ERROR_INVALID_HANDLE;
    shownBeforeClose = calls_.recording() ? handleText(key) : std::string();
    handles_.erase(it);
    return ERROR_SUCCESS;
  });
}

}  // namespace sim
