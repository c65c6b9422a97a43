// The simulated Windows registry. Keys are case-insensitive and
// case-preserving; subkeys enumerate in case-insensitive sorted order as on
// NT, values in the order they were set. Handles must be closed, access
// rights are checked, and RegDeleteKeyA behaves as the machine's Windows
// family does (NT refuses a key with subkeys; the version-4 family deletes
// the whole tree).
//
// Full paths name their root first: "HKEY_LOCAL_MACHINE\Enum\USB" (the short
// forms HKLM, HKCU, HKCR, HKU and HKCC are accepted too).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../Platform.h"

namespace sim {

class Machine;

struct Value {
  std::string name;
  DWORD type = REG_SZ;
  std::vector<std::uint8_t> data;
};

// A key's name and values, as kept in the change log and walked for export.
struct KeySnapshot {
  std::string path;  // full path, stored case
  std::vector<Value> values;
};

class Registry : public platform::Registry {
public:
  explicit Registry(Machine& machine);
  ~Registry() override;
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // Verbs that build and inspect the machine. They make no recorded call,
  // take no fault and ignore access rights. Paths are full paths.
  void addKey(std::string_view path);  // creates missing parents
  void setValue(std::string_view keyPath, std::string_view name, DWORD type,
                std::vector<std::uint8_t> data);  // creates the key
  void setString(std::string_view keyPath, std::string_view name, std::string_view text,
                 DWORD type = REG_SZ);  // stores the text and its NUL
  void setDword(std::string_view keyPath, std::string_view name, DWORD value);
  bool removeKey(std::string_view path);  // the key and everything below it
  bool removeValue(std::string_view keyPath, std::string_view name);
  void clear();  // every key below the roots goes
  // Deletions and creations that the simulated Windows itself makes (the
  // Setup API removing an instance, the Configuration Manager creating one):
  // like removeKey and addKey, and logged in the machine's changes (every
  // deleted key with its values, children first).
  bool removeKeyLogged(std::string_view path);
  void addKeyLogged(std::string_view path);

  bool keyExists(std::string_view path) const;
  std::optional<Value> value(std::string_view keyPath, std::string_view name) const;
  std::vector<std::string> subkeyNames(std::string_view path) const;  // stored case, sorted
  std::vector<Value> values(std::string_view path) const;
  // The key's full path in stored case, or nothing when it is missing.
  std::optional<std::string> storedPath(std::string_view path) const;
  // Every key below the roots, parents before children, siblings sorted.
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

  // platform::Registry
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

  struct Node;  // defined in the implementation

private:
  Machine& machine_;
  std::vector<std::shared_ptr<Node>> roots_;
  struct OpenKey {
    std::shared_ptr<Node> node;
    REGSAM granted;
  };
  std::map<std::uintptr_t, OpenKey> handles_;
  std::uintptr_t nextHandle_ = 0x1000;
  bool ntSemantics_ = true;

  std::shared_ptr<Node> rootNode(HKEY root) const;
  std::shared_ptr<Node> resolveHandle(HKEY key, LONG& error) const;
  std::shared_ptr<Node> findPath(std::string_view fullPath) const;
  std::shared_ptr<Node> makePath(std::string_view fullPath);
};

}  // namespace sim
