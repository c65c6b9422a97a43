#include "WinReg.h"

#include <algorithm>
#include <vector>

#include "Handles.h"
#include "Platform.h"
#include "Tracers.h"

namespace qvinst {

bool regOpenFailed = false;

void initWinReg() {
  regOpenFailed = false;
}

namespace {

platform::Registry& reg() {
  return platform::get().registry;
}

// Number of subkeys or values and the longest name, or false when the query
// fails (as it does without a key).
struct KeyInfo {
  DWORD count = 0;
  DWORD maxNameLen = 0;
};

bool querySubkeys(HKEY key, KeyInfo& info) {
  if (key == nullptr) return false;
  return reg().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &info.count, &info.maxNameLen,
                                nullptr, nullptr, nullptr, nullptr, nullptr,
                                nullptr) == ERROR_SUCCESS;
}

bool queryValues(HKEY key, KeyInfo& info) {
  return reg().RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                &info.count, &info.maxNameLen, nullptr, nullptr,
                                nullptr) == ERROR_SUCCESS;
}

std::string traceText(std::string_view a, std::string_view b, std::string_view c = {},
                      bool withC = false) {
  std::string text(a);
  text += '|';
  text += b;
  if (withC) {
    text += '|';
    text += c;
  }
  return shortString(text);
}

// A name that the platform reports longer than its text holds a NUL: the
// ANSI calls cannot address it, and its text up to the NUL names another key
// or value. Such an entry is passed over.
bool addressable(const std::vector<char>& name, DWORD len) {
  const std::size_t size = std::min<std::size_t>(len, name.size());
  const std::string_view text(name.data(), size);
  const std::size_t nul = text.find('\0');
  if (nul == std::string_view::npos) return true;
  Trace("  WR: Skipping Name With NUL:%s Length:%d", {text.substr(0, nul), len});
  return false;
}

}  // namespace

// Makes a subkey the current key for the length of one operation; the
// remembered key comes back also when an error unwinds.
class TWinRegistry::CurrentKeySwap {
public:
  CurrentKeySwap(TWinRegistry& reg, HKEY key) : reg_(reg), saved_(reg.currentKey_) {
    reg.currentKey_ = key;
  }
  ~CurrentKeySwap() { reg_.currentKey_ = saved_; }
  CurrentKeySwap(const CurrentKeySwap&) = delete;
  CurrentKeySwap& operator=(const CurrentKeySwap&) = delete;

private:
  TWinRegistry& reg_;
  HKEY saved_;
};

TWinRegistry::TWinRegistry() : rootKey_(HKEY_CURRENT_USER) {}

std::unique_ptr<TWinRegistry> TWinRegistry::OpenWithKey(HKEY root, std::string_view path) {
  Trace("WINREG: OpenWithKey - FileName:%s", {path});
  return open(root, path, false);
}

std::unique_ptr<TWinRegistry> TWinRegistry::OpenWithKeyReadOnly(HKEY root, std::string_view path) {
  Trace("WINREG: OpenWithKeyReadOnly - FileName:%s", {path});
  return open(root, path, true);
}

std::unique_ptr<TWinRegistry> TWinRegistry::open(HKEY root, std::string_view path, bool readOnly) {
  std::unique_ptr<TWinRegistry> obj(new TWinRegistry());
  obj->openedPath_ = std::string(path);
  obj->rootKey_ = root;
  regOpenFailed = false;

  std::string relative;
  const HKEY base = obj->baseFor(path, relative);
  const REGSAM rights = readOnly ? KEY_READ : obj->access_;
  HKEY key = nullptr;
  if (reg().RegOpenKeyExA(base, relative.c_str(), /*options=*/0, rights, &key) == ERROR_SUCCESS) {
    TraceMsg("  WR: OpenKey SUCCEEDED!");
    regOpenFailed = false;
    obj->currentKey_ = key;
    obj->currentPath_ = relative;
    obj->lazyWrite_ = false;
    if (readOnly) obj->access_ = KEY_READ;
  } else {
    TraceMsg("  WR: OpenKey FAILED!");
    regOpenFailed = true;
  }
  return obj;
}

TWinRegistry::~TWinRegistry() {
  if (currentKey_ == nullptr) return;
  if (!lazyWrite_) reg().RegFlushKey(currentKey_);
  if (!platform::isPredefinedKey(currentKey_)) reg().RegCloseKey(currentKey_);
  currentKey_ = nullptr;
  currentPath_.clear();
}

HKEY TWinRegistry::baseFor(std::string_view path, std::string& relative) const {
  if (!path.empty() && path.front() == '\\') {
    relative = std::string(path.substr(1));
    return rootKey_;
  }
  relative = std::string(path);
  return currentKey_ != nullptr ? currentKey_ : rootKey_;
}

void TWinRegistry::ReadSection(TStringList& list) {
  list.clear();
  KeyInfo info;
  if (!querySubkeys(currentKey_, info)) return;
  std::vector<char> name(info.maxNameLen + 1);
  for (DWORD i = 0; i < info.count; ++i) {
    DWORD len = static_cast<DWORD>(name.size());
    if (reg().RegEnumKeyExA(currentKey_, i, name.data(), &len, nullptr, nullptr, nullptr,
                            nullptr) == ERROR_SUCCESS &&
        addressable(name, len)) {
      list.emplace_back(name.data(), len);
    }
  }
}

void TWinRegistry::ReadValueNames(std::string_view subkey, TStringList& list) {
  std::string relative;
  const HKEY base = baseFor(subkey, relative);
  platform::UniqueRegKey key;
  if (reg().RegOpenKeyExA(base, relative.c_str(), 0, access_, key.put()) != ERROR_SUCCESS) return;
  CurrentKeySwap swap(*this, key.get());

  list.clear();
  KeyInfo info;
  if (!queryValues(key.get(), info)) return;
  std::vector<char> name(info.maxNameLen + 1);
  for (DWORD i = 0; i < info.count; ++i) {
    DWORD len = static_cast<DWORD>(name.size());
    if (reg().RegEnumValueA(key.get(), i, name.data(), &len, nullptr, nullptr, nullptr, nullptr) ==
            ERROR_SUCCESS &&
        addressable(name, len)) {
      list.emplace_back(name.data(), len);
    }
  }
}

void TWinRegistry::eraseSection(std::string_view subkey) {
  const std::string text = traceText(openedPath_, subkey);
  TraceMsg("WINREG: eraseSection - DEBUG OFF");
  Trace("  WR: Deleting Key:%s", {text});
  deleteRecursive(subkey);
}

// Children before their parent, the highest index first at every level (so
// that a deletion does not move the children still to be visited), the path
// itself last. The walk keeps its open keys on a stack of its own, so any
// depth is deleted without deep recursion, with a fixed number of platform
// calls per key.
void TWinRegistry::deleteRecursive(std::string_view path) {
  struct Level {
    HKEY base;             // where the key is opened and deleted
    std::string relative;  // its path below base
    platform::UniqueRegKey key;
    DWORD pending = 0;  // children still to visit: indexes below this
    std::vector<char> name;
  };
  std::vector<Level> stack;
  auto enter = [&](HKEY base, std::string relative) {
    Level level{base, std::move(relative), {}, 0, {}};
    if (reg().RegOpenKeyExA(base, level.relative.c_str(), 0, access_, level.key.put()) ==
        ERROR_SUCCESS) {
      KeyInfo info;
      if (querySubkeys(level.key.get(), info)) {
        level.pending = info.count;
        level.name.resize(info.maxNameLen + 1);
      }
    }
    stack.push_back(std::move(level));
  };

  std::string relative;
  const HKEY base = baseFor(path, relative);
  enter(base, std::move(relative));
  while (!stack.empty()) {
    Level& top = stack.back();
    if (top.pending > 0) {
      const DWORD index = --top.pending;
      DWORD len = static_cast<DWORD>(top.name.size());
      if (reg().RegEnumKeyExA(top.key.get(), index, top.name.data(), &len, nullptr, nullptr,
                              nullptr, nullptr) != ERROR_SUCCESS) {
        continue;
      }
      // An empty name would reopen the key itself.
      if (len == 0 || !addressable(top.name, len)) continue;
      const std::string_view child(top.name.data(), len);
      // A child's name is relative to its parent, by the path rule.
      if (child.front() == '\\') {
        enter(rootKey_, std::string(child.substr(1)));
      } else {
        enter(top.key.get(), std::string(child));
      }
      continue;
    }
    const HKEY levelBase = top.base;
    const std::string levelPath = std::move(top.relative);
    stack.pop_back();  // closes the key before it is deleted
    reg().RegDeleteKeyA(levelBase, levelPath.c_str());
  }
}

void TWinRegistry::DeleteKey(std::string_view subkey, std::string_view valueName) {
  const std::string text = traceText(openedPath_, subkey, valueName, true);
  std::string relative;
  const HKEY base = baseFor(subkey, relative);
  platform::UniqueRegKey key;
  if (reg().RegOpenKeyExA(base, relative.c_str(), 0, access_, key.put()) != ERROR_SUCCESS) return;
  CurrentKeySwap swap(*this, key.get());
  TraceMsg("WINREG: DeleteKey - DEBUG OFF");
  Trace("  WR: Deleting:%s", {text});
  reg().RegDeleteValueA(key.get(), std::string(valueName).c_str());
}

std::string TWinRegistry::ReadSubkeyString(std::string_view subkey, std::string_view valueName,
                                           std::string_view defaultText) {
  std::string relative;
  const HKEY base = baseFor(subkey, relative);
  platform::UniqueRegKey key;
  if (reg().RegOpenKeyExA(base, relative.c_str(), 0, access_, key.put()) != ERROR_SUCCESS) {
    return std::string(defaultText);
  }
  CurrentKeySwap swap(*this, key.get());

  const std::string name(valueName);
  DWORD type = REG_NONE;
  DWORD size = 0;
  if (reg().RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return std::string(defaultText);
  }
  if (size == 0) return std::string();

  std::vector<char> data(size);
  DWORD got = size;
  if (reg().RegQueryValueExA(key.get(), name.c_str(), nullptr, &type,
                             reinterpret_cast<LPBYTE>(data.data()), &got) != ERROR_SUCCESS) {
    throw ERegistryException("Failed to get data for '" + name + "'");
  }
  if (type != REG_SZ && type != REG_EXPAND_SZ) {
    throw ERegistryException("Invalid data type for '" + name + "'");
  }
  const std::size_t length = std::min<std::size_t>(got, data.size());
  std::string_view text(data.data(), length);
  const auto nul = text.find('\0');
  return std::string(nul == std::string_view::npos ? text : text.substr(0, nul));
}

}  // namespace qvinst
