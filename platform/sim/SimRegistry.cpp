#include "SimRegistry.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <span>
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

// Bytes that stay until the registry goes: names of keys and values, and
// value data, packed into large blocks instead of one allocation each.
class ByteStore {
public:
  const std::uint8_t* keep(const void* bytes, std::size_t size) {
    static constexpr std::uint8_t kNothing = 0;
    if (size == 0) return &kNothing;
    std::uint8_t* kept = nullptr;
    if (size > kBlock / 4) {
      // A large one gets a block of its own, and the current block goes on.
      blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(size));
      kept = blocks_.back().get();
    } else {
      if (size > left_) {
        blocks_.push_back(std::make_unique_for_overwrite<std::uint8_t[]>(kBlock));
        next_ = blocks_.back().get();
        left_ = kBlock;
      }
      kept = next_;
      next_ += size;
      left_ -= size;
    }
    std::memcpy(kept, bytes, size);
    return kept;
  }

  std::string_view keep(std::string_view text) {
    return {reinterpret_cast<const char*>(keep(text.data(), text.size())), text.size()};
  }

private:
  static constexpr std::size_t kBlock = std::size_t{64} << 10;
  std::vector<std::unique_ptr<std::uint8_t[]>> blocks_;
  std::uint8_t* next_ = nullptr;  // in the block being filled
  std::size_t left_ = 0;
};

// A value as a key holds it: name and data in the registry's byte store.
struct StoredValue {
  std::string_view name;
  const std::uint8_t* data = nullptr;
  DWORD size = 0;
  DWORD type = REG_SZ;

  Value copy() const { return Value{std::string(name), type, {data, data + size}}; }
};

// A key's values in the order they were set. Most keys hold a handful,
// searched in place; a key with many gets an index by upper-case name, so
// that it still loads and answers in linear time. Data that a value no
// longer holds stays in the byte store until the registry goes: values are
// set by whoever builds the machine, never by the calls.
class ValueList {
public:
  const std::vector<StoredValue>& all() const { return items_; }
  std::size_t size() const { return items_.size(); }

  void reserve(std::size_t count) { items_.reserve(count); }

  const StoredValue* find(std::string_view name) const {
    const std::size_t position = positionOf(name);
    return position == kMissing ? nullptr : &items_[position];
  }

  void set(ByteStore& store, std::string_view name, DWORD type,
           std::span<const std::uint8_t> data) {
    const std::size_t position = positionOf(name);
    const std::uint8_t* kept = store.keep(data.data(), data.size());
    if (position != kMissing) {
      items_[position].type = type;
      items_[position].data = kept;
      items_[position].size = DWORD(data.size());
      return;
    }
    if (items_.capacity() == 0) items_.reserve(kFirstRoom);
    items_.push_back(StoredValue{store.keep(name), kept, DWORD(data.size()), type});
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
    Value gone = items_[position].copy();
    items_.erase(items_.begin() + std::ptrdiff_t(position));
    if (index_) {
      index_->erase(upper(name));
      for (std::size_t i = position; i < items_.size(); ++i) (*index_)[upper(items_[i].name)] = i;
    }
    return gone;
  }

  std::vector<Value> copies() const {
    std::vector<Value> out;
    out.reserve(items_.size());
    for (const StoredValue& value : items_) out.push_back(value.copy());
    return out;
  }

  std::vector<Value> take() {
    std::vector<Value> out = copies();
    index_.reset();
    items_ = {};
    return out;
  }

private:
  static constexpr std::size_t kMissing = ~std::size_t(0);
  static constexpr std::size_t kUnindexed = 16;
  static constexpr std::size_t kFirstRoom = 4;  // most keys hold a few values

  std::size_t positionOf(std::string_view name) const {
    if (index_) {
      auto it = index_->find(upper(name));
      return it == index_->end() ? kMissing : it->second;
    }
    for (std::size_t i = 0; i < items_.size(); ++i)
      if (equalNoCase(items_[i].name, name)) return i;
    return kMissing;
  }

  std::vector<StoredValue> items_;
  // Upper-case name -> position, for keys with many values only.
  std::unique_ptr<std::unordered_map<std::string, std::size_t>> index_;
};

// Orders sibling names as their upper-case forms compare, without keeping
// those forms.
struct NoCaseLess {
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

// FNV-1a over the upper-case bytes: names that compare equal hash equal.
std::uint64_t nameHash(std::string_view name) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (char c : name) {
    hash ^= static_cast<unsigned char>(upperChar(c));
    hash *= 0x100000001b3ull;
  }
  return hash;
}

}  // namespace

struct Registry::Node {
  std::string_view name;   // stored case, in the store; the long root name for a root
  Node* parent = nullptr;  // null for a root and for a deleted key
  // Children in a list, put in enumeration order whenever it is read;
  // looked up by name in place, or through the store's index for many.
  Node* firstChild = nullptr;
  Node* lastChild = nullptr;
  Node* previous = nullptr;
  Node* next = nullptr;
  std::uint32_t serial = 0;  // its number in the store, from 1
  ValueList values;
  std::uint32_t childCount = 0;
  REGSAM allowed = kEverything;
  std::uint32_t deleted : 1 = 0;
  std::uint32_t childrenSorted : 1 = 1;   // the list is in enumeration order
  std::uint32_t childrenIndexed : 1 = 0;  // in the store's index, for many children
  mutable std::uint32_t maxChildNameValid : 1 = 1;
  mutable std::uint32_t maxChildName : 28 = 0;
  // The full path it had, once deleted and still named by a handle.
  std::unique_ptr<std::string> deletedPath;

  // Enumeration by index; rebuilt on demand after an insertion, so that
  // walking all n children costs O(n) and not O(n) per index. A deletion
  // updates it in place, which is cheap for the highest index, the one a
  // recursive deletion removes first. Kept only for keys that were
  // enumerated: most keys never are.
  std::unique_ptr<std::vector<Node*>> order;

  Node() = default;
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  void link(Node& child) {
    child.parent = this;
    child.previous = lastChild;
    child.next = nullptr;
    if (lastChild) {
      if (!NoCaseLess{}(lastChild->name, child.name)) childrenSorted = false;
      lastChild->next = &child;
    } else {
      firstChild = &child;
    }
    lastChild = &child;
    ++childCount;
    order.reset();
    if (maxChildNameValid) maxChildName = std::max(DWORD(maxChildName), DWORD(child.name.size()));
  }

  void unlink(Node& child) {
    (child.previous ? child.previous->next : firstChild) = child.next;
    (child.next ? child.next->previous : lastChild) = child.previous;
    child.previous = child.next = nullptr;
    --childCount;
    if (maxChildNameValid && child.name.size() >= maxChildName) maxChildNameValid = false;
    if (!order) return;
    auto it = std::lower_bound(
        order->begin(), order->end(), child.name,
        [](const Node* entry, std::string_view name) { return NoCaseLess{}(entry->name, name); });
    if (it != order->end() && *it == &child)
      order->erase(it);
    else
      order.reset();
  }

  // Puts the list in enumeration order. An image lists siblings sorted, so
  // this mostly finds nothing to do.
  void sortChildren() {
    if (childrenSorted) return;
    // Sorted by upper-case copies of the names in one buffer, compared as
    // bytes: siblings often share long prefixes ("VID_045E&PID_...").
    std::size_t total = 0;
    for (const Node* child = firstChild; child; child = child->next) total += child->name.size();
    std::string folded;
    folded.reserve(total);
    struct Keyed {
      std::size_t start;
      std::size_t size;
      Node* node;
    };
    std::vector<Keyed> all;
    all.reserve(childCount);
    for (Node* child = firstChild; child; child = child->next) {
      all.push_back({folded.size(), child->name.size(), child});
      for (char c : child->name) folded.push_back(upperChar(c));
    }
    const std::string_view text = folded;
    std::sort(all.begin(), all.end(), [text](const Keyed& a, const Keyed& b) {
      return text.substr(a.start, a.size) < text.substr(b.start, b.size);
    });
    Node* before = nullptr;
    for (const Keyed& entry : all) {
      Node* child = entry.node;
      child->previous = before;
      (before ? before->next : firstChild) = child;
      before = child;
    }
    if (before) before->next = nullptr;
    lastChild = before;
    childrenSorted = true;
  }

  const std::vector<Node*>& sorted() {
    if (!order) {
      sortChildren();
      order = std::make_unique<std::vector<Node*>>();
      order->reserve(childCount);
      for (Node* child = firstChild; child; child = child->next) order->push_back(child);
    }
    return *order;
  }

  DWORD longestChildName() const {
    if (!maxChildNameValid) {
      maxChildName = 0;
      for (const Node* child = firstChild; child; child = child->next)
        maxChildName = std::max(DWORD(maxChildName), DWORD(child->name.size()));
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
    std::string out(chain.back()->name);
    if (shortRoot) out = path::briefRootPath(out);
    for (auto it = chain.rbegin() + 1; it != chain.rend(); ++it) {
      out += '\\';
      out += (*it)->name;
    }
    return out;
  }
};

// Where the keys live. Keys and their names are not freed one at a time: a
// deleted key stays (an open handle may still name it) until the registry
// goes, and then everything goes in a few large blocks. A machine of a
// hundred thousand keys is built and dropped without an allocation per key.
struct Registry::Store {
  static constexpr std::size_t kNodesPerBlock = 1024;

  std::vector<std::unique_ptr<Node[]>> nodeBlocks;
  std::uint32_t nodeCount = 0;
  ByteStore bytes;  // names, and the values' data
  // Child lookup by (parent, name) for keys with many children: open
  // addressing with linear probing, at most 70% full. A slot keeps part of
  // the hash beside the key's number, so that a probe reads no key but the
  // one found, and the table stays small enough to stay in the cache.
  struct Slot {
    std::uint32_t hash = 0;
    std::uint32_t serial = 0;  // the key's, 0 for none
  };
  std::vector<Slot> slots;
  std::size_t live = 0;

  Node& newNode(std::string_view name) {
    if (nodeCount % kNodesPerBlock == 0)
      nodeBlocks.push_back(std::make_unique<Node[]>(kNodesPerBlock));
    Node& node = nodeBlocks.back()[nodeCount % kNodesPerBlock];
    node.serial = ++nodeCount;
    node.name = bytes.keep(name);
    return node;
  }

  Node& node(std::uint32_t serial) const {
    return nodeBlocks[(serial - 1) / kNodesPerBlock][(serial - 1) % kNodesPerBlock];
  }

  static std::uint32_t slotHash(const Node& parent, std::string_view name) {
    std::uint64_t hash = nameHash(name) ^ parent.serial;
    hash *= 0x9e3779b97f4a7c15ull;
    return static_cast<std::uint32_t>(hash >> 32);
  }

  std::size_t mask() const { return slots.size() - 1; }

  Node* find(const Node& parent, std::string_view name) const {
    if (slots.empty()) return nullptr;
    const std::uint32_t hash = slotHash(parent, name);
    for (std::size_t i = hash & mask();; i = (i + 1) & mask()) {
      const Slot slot = slots[i];
      if (slot.serial == 0) return nullptr;
      if (slot.hash != hash) continue;
      Node& found = node(slot.serial);
      if (found.parent == &parent && equalNoCase(found.name, name)) return &found;
    }
  }

  void place(Slot entry) {
    std::size_t i = entry.hash & mask();
    while (slots[i].serial != 0) i = (i + 1) & mask();
    slots[i] = entry;
  }

  void index(Node& key) {
    if (10 * (live + 1) > 7 * slots.size()) {
      std::vector<Slot> old(std::max<std::size_t>(64, 2 * slots.size()));
      old.swap(slots);
      for (const Slot entry : old)
        if (entry.serial != 0) place(entry);
    }
    place(Slot{slotHash(*key.parent, key.name), key.serial});
    ++live;
  }

  // Backward-shift deletion, while the key still names its parent: the
  // entries after the hole that may move into it do, so that no search stops
  // early at the hole.
  void unindex(const Node& key) {
    std::size_t hole = slotHash(*key.parent, key.name) & mask();
    while (slots[hole].serial != key.serial) hole = (hole + 1) & mask();
    for (std::size_t j = (hole + 1) & mask(); slots[j].serial != 0; j = (j + 1) & mask()) {
      const std::size_t home = slots[j].hash & mask();
      if (((j - home) & mask()) >= ((j - hole) & mask())) {
        slots[hole] = slots[j];
        hole = j;
      }
    }
    slots[hole] = Slot{};
    --live;
  }
};

namespace {

// Visits `top` and every key below it down to `maxDepth` levels, parents
// before children and siblings in sorted order, with each key's full path and
// its depth below `top`; an explicit stack instead of recursion, and the path
// grown and cut in one buffer, so any depth costs time linear in the keys and
// their names.
template <typename Visit>
void walk(Registry::Node& top, std::string parentPath, Visit&& visit,
          std::size_t maxDepth = std::numeric_limits<std::size_t>::max()) {
  struct Pending {
    Registry::Node* node;
    std::size_t parentLength;  // of `path`
    std::size_t depth;
  };
  std::string path = std::move(parentPath);
  std::vector<Pending> stack{{&top, path.size(), 0}};
  while (!stack.empty()) {
    const Pending next = stack.back();
    stack.pop_back();
    path.resize(next.parentLength);
    if (!path.empty()) path += '\\';
    path += next.node->name;
    visit(*next.node, path, next.depth);
    if (next.depth == maxDepth) continue;
    const std::size_t length = path.size();
    next.node->sortChildren();
    for (Registry::Node* child = next.node->lastChild; child; child = child->previous)
      stack.push_back({child, length, next.depth + 1});
  }
}

}  // namespace

Registry::Registry(CallRecorder& calls, ChangeLog& changes)
    : calls_(calls), changes_(changes), store_(std::make_unique<Store>()) {
  for (const path::RootKey& root : path::kRootKeys) roots_.push_back(&store_->newNode(root.full));
}

Registry::~Registry() = default;

// A key with a few children is searched in place; one with more gets its
// children indexed, so that a key with a hundred thousand still loads and
// answers in linear time.
constexpr std::uint32_t kUnindexedChildren = 8;

Registry::Node* Registry::childOf(const Node& parent, std::string_view name) const {
  if (parent.childrenIndexed) return store_->find(parent, name);
  for (Node* child = parent.firstChild; child; child = child->next)
    if (equalNoCase(child->name, name)) return child;
  return nullptr;
}

Registry::Node& Registry::childOrNew(Node& parent, std::string_view name,
                                     std::vector<Node*>* created) {
  // An image lists siblings in order: a name after the last one is new, and
  // needs no search.
  const bool after =
      parent.childrenSorted && (!parent.lastChild || NoCaseLess{}(parent.lastChild->name, name));
  if (!after)
    if (Node* found = childOf(parent, name)) return *found;
  Node& made = addChild(parent, name);
  if (created) created->push_back(&made);
  return made;
}

Registry::Node& Registry::addChild(Node& parent, std::string_view name) {
  Node& node = store_->newNode(name);
  parent.link(node);
  if (parent.childrenIndexed) {
    store_->index(node);
  } else if (parent.childCount > kUnindexedChildren) {
    for (Node* child = parent.firstChild; child; child = child->next) store_->index(*child);
    parent.childrenIndexed = true;
  }
  return node;
}

// ---- Lookup -----------------------------------------------------------------

Registry::Node* Registry::rootNode(std::string_view name) const {
  const path::RootKey* root = path::findRoot(name);
  return root ? roots_[std::size_t(root - path::kRootKeys)] : nullptr;
}

Registry::Node* Registry::findPath(std::string_view fullPath) const {
  auto parts = keyComponents(fullPath);
  if (parts.empty()) return nullptr;
  Node* node = rootNode(parts[0]);
  for (std::size_t i = 1; node && i < parts.size(); ++i) node = childOf(*node, parts[i]);
  return node;
}

Registry::Node* Registry::makePath(std::string_view fullPath, std::vector<Node*>* created) {
  auto parts = keyComponents(fullPath);
  Node* node = parts.empty() ? nullptr : rootNode(parts[0]);
  if (!node) throw std::invalid_argument("no registry root in \"" + std::string(fullPath) + "\"");
  for (std::size_t i = 1; i < parts.size(); ++i) node = &childOrNew(*node, parts[i], created);
  return node;
}

bool Registry::namedByHandle(const Node& node) const {
  return std::any_of(handles_.begin(), handles_.end(),
                     [&node](const auto& entry) { return entry.second.node == &node; });
}

Registry::Target Registry::resolve(HKEY key) const {
  Target target;
  if (platform::isPredefinedKey(key)) {
    for (std::size_t i = 0; i < path::kRootKeyCount; ++i) {
      if (path::kRootKeys[i].handle == key) {
        target.node = roots_[i];
        target.granted = target.node->allowed;
        target.error = ERROR_SUCCESS;
      }
    }
    return target;
  }
  auto it = handles_.find(handleValue(key));
  if (it == handles_.end()) return target;
  target.node = it->second.node;
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
  walk(node, node.parent->path(false), [&](Node& victim, const std::string& fullPath, std::size_t) {
    doomed.push_back(&victim);
    if (namedByHandle(victim)) victim.deletedPath = std::make_unique<std::string>(fullPath);
    // A deleted key's values can no longer be read through any handle.
    std::vector<Value> values = victim.values.take();
    if (gone) snapshots.push_back(KeySnapshot{fullPath, std::move(values)});
  });
  if (gone)
    for (auto it = snapshots.rbegin(); it != snapshots.rend(); ++it)
      gone->push_back(std::move(*it));
  node.parent->unlink(node);
  for (Node* victim : doomed) {
    if (victim->parent->childrenIndexed) store_->unindex(*victim);
    victim->deleted = true;
    victim->parent = nullptr;
  }
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
  return childOrNew(parent, name, nullptr);
}

void Registry::setValue(Node& key, std::string_view name, DWORD type,
                        std::span<const std::uint8_t> data) {
  key.values.set(store_->bytes, name, type, data);
}

void Registry::reserveValues(Node& key, std::size_t count) {
  key.values.reserve(count);
}

bool Registry::removeValue(Node& key, std::string_view name) {
  return key.values.erase(name).has_value();
}

bool Registry::empty() const {
  for (const Node* root : roots_)
    if (root->childCount != 0 || root->values.size() != 0) return false;
  return true;
}

void Registry::setValue(std::string_view keyPath, std::string_view name, DWORD type,
                        const std::vector<std::uint8_t>& data) {
  makePath(keyPath)->values.set(store_->bytes, name, type, data);
}

void Registry::setString(std::string_view keyPath, std::string_view name, std::string_view text,
                         DWORD type) {
  std::vector<std::uint8_t> data(text.begin(), text.end());
  data.push_back(0);
  setValue(keyPath, name, type, data);
}

void Registry::setDword(std::string_view keyPath, std::string_view name, DWORD value) {
  std::vector<std::uint8_t> data(4);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(value >> (8 * i));
  setValue(keyPath, name, REG_DWORD, data);
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
  for (Node* root : roots_) {
    while (root->firstChild) detach(*root->firstChild, nullptr);
    root->values.take();
  }
}

bool Registry::keyExists(std::string_view path) const {
  return findPath(path) != nullptr;
}

std::optional<Value> Registry::value(std::string_view keyPath, std::string_view name) const {
  Node* node = findPath(keyPath);
  if (!node) return std::nullopt;
  if (const StoredValue* found = node->values.find(name)) return found->copy();
  return std::nullopt;
}

std::vector<std::string> Registry::subkeyNames(std::string_view path) const {
  std::vector<std::string> names;
  if (Node* node = findPath(path)) {
    node->sortChildren();
    names.reserve(node->childCount);
    for (const Node* child = node->firstChild; child; child = child->next)
      names.emplace_back(child->name);
  }
  return names;
}

std::vector<std::string> Registry::keysBelow(std::string_view path, std::size_t depth) const {
  std::vector<std::string> found;
  Node* top = findPath(path);
  if (!top) return found;
  const std::size_t topLength = top->name.size();
  walk(
      *top, std::string(),
      [&](const Node&, const std::string& relativeToParent, std::size_t level) {
        if (level == depth)
          found.push_back(level == 0 ? std::string() : relativeToParent.substr(topLength + 1));
      },
      depth);
  return found;
}

std::vector<Value> Registry::values(std::string_view path) const {
  Node* node = findPath(path);
  return node ? node->values.copies() : std::vector<Value>{};
}

std::optional<std::string> Registry::storedPath(std::string_view path) const {
  Node* node = findPath(path);
  if (!node) return std::nullopt;
  return node->path(false);
}

void Registry::forEachKey(const std::function<void(const KeySnapshot&)>& visit) const {
  for (Node* root : roots_) {
    root->sortChildren();
    for (Node* child = root->firstChild; child; child = child->next)
      walk(*child, std::string(root->name),
           [&visit](const Node& node, const std::string& fullPath, std::size_t) {
             visit(KeySnapshot{fullPath, node.values.copies()});
           });
  }
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
      Node* next = childOf(*reached, parts[matched]);
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
    handles_.emplace(handle, OpenKey{reached, rights});
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
    if (subKeys) *subKeys = DWORD(node.childCount);
    if (maxSubKeyLen) *maxSubKeyLen = node.longestChildName();
    if (maxClassLen) *maxClassLen = 0;
    DWORD longestName = 0;
    DWORD largestData = 0;
    for (const StoredValue& value : node.values.all()) {
      longestName = std::max(longestName, DWORD(value.name.size()));
      largestData = std::max(largestData, value.size);
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

    const std::string_view found = sorted[index]->name;
    if (found.size() >= *nameLen) return ERROR_MORE_DATA;
    std::memcpy(nameOut, found.data(), found.size());
    nameOut[found.size()] = '\0';
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

    const StoredValue& value = values[index];
    if (value.name.size() >= *nameLen) return ERROR_MORE_DATA;
    std::memcpy(nameOut, value.name.data(), value.name.size());
    nameOut[value.name.size()] = '\0';
    *nameLen = DWORD(value.name.size());
    if (type) *type = value.type;
    const DWORD size = value.size;
    if (data) {
      if (*dataLen < size) {
        *dataLen = size;
        return ERROR_MORE_DATA;
      }
      std::memcpy(data, value.data, size);
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
    const StoredValue* value = target.node->values.find(wanted);
    if (!value) return ERROR_FILE_NOT_FOUND;

    if (type) *type = value->type;
    const DWORD size = value->size;
    if (data) {
      if (*dataLen < size) {
        *dataLen = size;
        return ERROR_MORE_DATA;
      }
      std::memcpy(data, value->data, size);
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
  for (std::size_t i = 0; victim && i < parts.size(); ++i) victim = childOf(*victim, parts[i]);
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
      if (victim->childCount != 0) return ERROR_ACCESS_DENIED;
    } else {
      // The version-4 family deletes the whole tree; a key below that refuses
      // deletion makes the call fail before anything goes.
      bool refused = false;
      walk(*victim, std::string(), [&refused](const Node& node, const std::string&, std::size_t) {
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
