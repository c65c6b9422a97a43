// The simulated Windows registry. Keys are case-insensitive and
// case-preserving; subkeys enumerate in case-insensitive sorted order as on
// NT, values in the order they were set. Handles must be closed, access
// rights are checked, and RegDeleteKeyA behaves as the machine's Windows
// family does (NT refuses a key with subkeys; the version-4 family deletes
// the whole tree).
//
// Names may hold NUL bytes when a test adds them (a registry written with
// the native API can hold such keys): the enumerations then report the whole
// name and its full length, as Windows does, while an ANSI path cannot reach
// the key.
//
// Full paths name their root first: "HKEY_LOCAL_MACHINE\Enum\USB" (the short
// forms HKLM, HKCU, HKCR, HKU and HKCC are accepted too).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "../Platform.h"
#include "CallRecorder.h"
#include "Changes.h"

namespace sim {

// A key's name and values, as kept in the change log and walked for export.
struct KeySnapshot {
  std::string path;  // full path, stored case
  std::vector<Value> values;
};

class Registry : public platform::Registry {
public:
  Registry(CallRecorder& calls, ChangeLog& changes);
  ~Registry() override;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Verbs that build and inspect the machine. They make no recorded call,
  // take no fault and ignore access rights. Paths are full paths.
  void addKey(std::string_view path);  // creates missing parents
  void setValue(std::string_view keyPath, std::string_view name, DWORD type,
                const std::vector<std::uint8_t>& data);  // creates the key
  void setString(std::string_view keyPath, std::string_view name, std::string_view text,
                 DWORD type = REG_SZ);  // stores the text and its NUL
  void setDword(std::string_view keyPath, std::string_view name, DWORD value);
  bool removeKey(std::string_view path);  // the key and everything below it
  bool removeValue(std::string_view keyPath, std::string_view name);
  void clear();        // every key below the roots goes
  bool empty() const;  // no key below the roots, no value on them
  // For image readers filling a key with many values: the key is found or
  // made once, and stays valid until it is removed.
  struct Node;  // defined in the implementation
  Node& makeKey(std::string_view path);
  Node& makeChild(Node& parent, std::string_view name);  // one level, no path
  void setValue(Node& key, std::string_view name, DWORD type, std::span<const std::uint8_t> data);
  // Room for `count` values, for a loader that knows how many a key holds.
  void reserveValues(Node& key, std::size_t count);
  bool removeValue(Node& key, std::string_view name);
  // Deletions and creations that the simulated Windows itself makes (the
  // Setup API removing an instance, the Configuration Manager creating one):
  // like removeKey and addKey, and logged in the machine's changes (every
  // deleted key with its values, children first).
  bool removeKeyLogged(std::string_view path);
  void addKeyLogged(std::string_view path);

  bool keyExists(std::string_view path) const;
  std::optional<Value> value(std::string_view keyPath, std::string_view name) const;
  std::vector<std::string> subkeyNames(std::string_view path) const;  // stored case, sorted
  // The keys `depth` levels below the key, as paths relative to it
  // ("A\\B\\C" for three), stored case, in enumeration order; depth 0 gives
  // the key itself as "".
  std::vector<std::string> keysBelow(std::string_view path, std::size_t depth) const;
  std::vector<Value> values(std::string_view path) const;
  // The key's full path in stored case, or nothing when it is missing.
  std::optional<std::string> storedPath(std::string_view path) const;
  // Every key below the roots, parents before children, siblings sorted;
  // roots in the order of the root table. Any depth: the walk keeps its own
  // stack.
  void forEachKey(const std::function<void(const KeySnapshot&)>& visit) const;

  // Rights an open may be granted on this key; an open asking for more
  // fails with ERROR_ACCESS_DENIED. Default: everything.
  void setAllowedAccess(std::string_view path, REGSAM allowed);
  // NT semantics (default): RegDeleteKeyA refuses a key with subkeys.
  void setNtSemantics(bool nt) { ntSemantics_ = nt; }
  bool ntSemantics() const { return ntSemantics_; }

  // Open handles other than the predefined roots, for leak checks.
  std::size_t openHandleCount() const;
  std::vector<std::string> openHandlePaths() const;

  // platform::Registry. Each call is recorded with the key as a full path in
  // short form (stored case, the rest as asked where it is missing), then:
  // RegOpenKeyExA the access (KEY_ALL_ACCESS, KEY_READ or hex), the
  // enumerations the index, value calls "|" and the value name:
  //   RegOpenKeyExA HKLM\Enum\USB KEY_READ -> 0
  //   RegEnumKeyExA HKLM\Enum\USB 3 -> 259
  //   RegQueryValueExA HKLM\Enum\USB\X\1|Driver -> 2
  LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM desired, PHKEY result) override;
  LONG RegQueryInfoKeyA(HKEY key, LPSTR className, LPDWORD classLen, LPDWORD reserved,
                        LPDWORD subKeys, LPDWORD maxSubKeyLen, LPDWORD maxClassLen, LPDWORD values,
                        LPDWORD maxValueNameLen, LPDWORD maxValueLen, LPDWORD securityDescriptorLen,
                        FILETIME* lastWriteTime) override;
  LONG RegEnumKeyExA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                     LPSTR className, LPDWORD classLen, FILETIME* lastWriteTime) override;
  LONG RegEnumValueA(HKEY key, DWORD index, LPSTR name, LPDWORD nameLen, LPDWORD reserved,
                     LPDWORD type, LPBYTE data, LPDWORD dataLen) override;
  LONG RegQueryValueExA(HKEY key, LPCSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                        LPDWORD dataLen) override;
  LONG RegDeleteKeyA(HKEY key, LPCSTR subKey) override;
  LONG RegDeleteValueA(HKEY key, LPCSTR name) override;
  LONG RegFlushKey(HKEY key) override;
  LONG RegCloseKey(HKEY key) override;

private:
  CallRecorder& calls_;
  ChangeLog& changes_;
  struct Store;
  std::unique_ptr<Store> store_;
  std::vector<Node*> roots_;  // in the order of the root table
  struct OpenKey {
    Node* node;  // still there after the key is deleted
    REGSAM granted;
  };
  std::map<std::uintptr_t, OpenKey> handles_;
  std::uintptr_t nextHandle_ = 0x1000;
  bool ntSemantics_ = true;

  // The key a handle refers to (also when deleted, for the call record),
  // the rights it grants and the status of using it.
  struct Target {
    Node* node = nullptr;
    REGSAM granted = 0;
    LONG error = ERROR_INVALID_HANDLE;
  };
  Target resolve(HKEY key) const;
  Node* childOf(const Node& parent, std::string_view name) const;
  // The child, made when missing (and then appended to `created`).
  Node& childOrNew(Node& parent, std::string_view name, std::vector<Node*>* created);
  Node& addChild(Node& parent, std::string_view name);
  bool namedByHandle(const Node& node) const;
  std::string handleText(HKEY key) const;
  Node* rootNode(std::string_view name) const;
  Node* findPath(std::string_view fullPath) const;
  Node* makePath(std::string_view fullPath, std::vector<Node*>* created = nullptr);
  // Unlinks a key and marks it and everything below it deleted; `gone`
  // receives each key, children first.
  void detach(Node& node, std::vector<KeySnapshot>* gone);
  void logDeletedKeys(std::vector<KeySnapshot>&& gone);
};

}  // namespace sim
