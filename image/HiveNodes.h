// The hive reader's and writer's shared pieces: hivex handles, name and data
// conversions, and the node reader both walk with. Private to HiveRead.cpp and
// HiveWrite.cpp.
#pragma once

#include <hivex.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "HiveImage.h"
#include "ImageText.h"

namespace image::hivenodes {

using text::equalNoCase;
using text::upper;
using text::utf8FromLatin1;

inline constexpr std::size_t kBaseBlockSize = 4096;
inline constexpr char kCurrentControlSet[] = "CurrentControlSet";

struct HiveCloser {
  void operator()(hive_h* hive) const noexcept { hivex_close(hive); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

// hivex hands out malloc'd names, data and handle lists.
struct Freer {
  void operator()(void* memory) const noexcept { std::free(memory); }
};
template <typename T>
using Owned = std::unique_ptr<T, Freer>;

inline std::string systemError() {
  return errno != 0 ? std::strerror(errno) : "unknown error";
}

[[noreturn]] inline void fail(const std::filesystem::path& file, const std::string& what) {
  throw Error(file, what);
}

inline std::uint32_t le32(const unsigned char* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
         std::uint32_t(bytes[3]) << 24;
}

inline bool isTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-8 (as hivex gives names) to the registry's 8-bit text.
inline std::string narrowUtf8(const char* text, bool& lossy) {
  std::string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text);
  for (std::size_t i = 0; bytes[i] != 0;) {
    const unsigned char lead = bytes[i];
    std::size_t length = lead < 0x80             ? 1
                         : (lead & 0xE0) == 0xC0 ? 2
                         : (lead & 0xF0) == 0xE0 ? 3
                                                 : 4;
    std::uint32_t codePoint = length == 1   ? lead
                              : length == 2 ? lead & 0x1Fu
                              : length == 3 ? lead & 0x0Fu
                                            : lead & 0x07u;
    std::size_t k = 1;
    for (; k < length && (bytes[i + k] & 0xC0) == 0x80; ++k)
      codePoint = codePoint << 6 | (bytes[i + k] & 0x3Fu);
    if (k < length) codePoint = 0xFFFD;  // broken sequence: take what is there
    if (codePoint > 0xFF) lossy = true;
    out.push_back(codePoint <= 0xFF ? static_cast<char>(codePoint) : '?');
    i += k;
  }
  return out;
}

// Windows compares names without regard to case; for the characters the
// registry here can hold, that is ASCII and Latin-1 upper case.
inline char32_t foldLatin1(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

inline std::string foldedNarrow(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(foldLatin1(static_cast<unsigned char>(c)));
  return out;
}

// A UTF-8 name as code points, case folded where Latin-1 has cases.
inline std::u32string foldedUtf8(const std::string& text) {
  std::u32string out;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.c_str());
  for (std::size_t i = 0; bytes[i] != 0;) {
    const unsigned char lead = bytes[i];
    const std::size_t length = lead < 0x80             ? 1
                               : (lead & 0xE0) == 0xC0 ? 2
                               : (lead & 0xF0) == 0xE0 ? 3
                                                       : 4;
    char32_t c = length == 1 ? lead : lead & (0x7Fu >> length);
    std::size_t k = 1;
    for (; k < length && (bytes[i + k] & 0xC0) == 0x80; ++k) c = c << 6 | (bytes[i + k] & 0x3Fu);
    out.push_back(foldLatin1(c));
    i += k;
  }
  return out;
}

// Names as error messages show them: in UTF-8, and with '?' for control
// characters, which would break the message's one line.
inline std::string shownUtf8(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}
// A name or path as the registry holds it, in 8-bit text.
inline std::string shown(std::string_view name) {
  return shownUtf8(utf8FromLatin1(name));
}

// A text value's data as the registry holds it: UTF-16LE narrowed to 8 bits.
// Data of odd length is not UTF-16 and is kept as it is.
inline std::vector<std::uint8_t> dataForRegistry(DWORD type, const char* raw, std::size_t length,
                                                 bool* lossy = nullptr) {
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(raw);
  if (!isTextType(type) || length % 2 != 0) return std::vector<std::uint8_t>(bytes, bytes + length);
  std::vector<std::uint8_t> out;
  out.reserve(length / 2);
  for (std::size_t i = 0; i < length; i += 2) {
    const unsigned unit = bytes[i] | unsigned(bytes[i + 1]) << 8;
    if (unit >= 0xDC00 && unit <= 0xDFFF && i > 0) {
      const unsigned previous = bytes[i - 2] | unsigned(bytes[i - 1]) << 8;
      if (previous >= 0xD800 && previous <= 0xDBFF) continue;  // one character, one '?'
    }
    if (unit > 0xFF && lossy) *lossy = true;
    out.push_back(unit <= 0xFF ? static_cast<std::uint8_t>(unit) : '?');
  }
  return out;
}

inline std::vector<std::uint8_t> dataForHive(const sim::Value& value) {
  if (!isTextType(value.type)) return value.data;
  std::vector<std::uint8_t> wide;
  wide.reserve(value.data.size() * 2);
  for (std::uint8_t byte : value.data) {
    wide.push_back(byte);
    wide.push_back(0);
  }
  return wide;
}

struct RawValue {
  std::string name;      // 8-bit
  Owned<char> original;  // as the hive holds it, in UTF-8
  bool narrowed = false;
  DWORD type = REG_NONE;
  Owned<char> data;
  std::size_t length = 0;
};

class Reader {
public:
  Reader(hive_h* hive, const std::filesystem::path& file) : hive_(hive), file_(file) {}

  std::string nodeName(hive_node_h node, bool& lossy) const {
    return narrowUtf8(originalName(node).get(), lossy);
  }
  // The name as the hive holds it, in UTF-8.
  Owned<char> originalName(hive_node_h node) const {
    errno = 0;
    Owned<char> name(hivex_node_name(hive_, node));
    if (!name) corrupt("a key name");
    return name;
  }

  std::vector<hive_node_h> children(hive_node_h node) const {
    errno = 0;
    Owned<hive_node_h> list(hivex_node_children(hive_, node));
    if (!list) corrupt("a subkey list");
    std::vector<hive_node_h> out;
    for (const hive_node_h* child = list.get(); *child != 0; ++child) out.push_back(*child);
    return out;
  }

  std::vector<RawValue> values(hive_node_h node, bool& lossy) const {
    errno = 0;
    Owned<hive_value_h> list(hivex_node_values(hive_, node));
    if (!list) corrupt("a value list");
    std::vector<RawValue> out;
    for (const hive_value_h* value = list.get(); *value != 0; ++value) {
      RawValue raw;
      errno = 0;
      Owned<char> key(hivex_value_key(hive_, *value));
      if (!key) corrupt("a value name");
      raw.name = narrowUtf8(key.get(), raw.narrowed);
      if (raw.narrowed) lossy = true;
      raw.original = std::move(key);
      hive_type type = hive_t_REG_NONE;
      errno = 0;
      raw.data.reset(hivex_value_value(hive_, *value, &type, &raw.length));
      if (!raw.data && errno != 0) corrupt("value data");
      if (!raw.data) raw.length = 0;
      raw.type = static_cast<DWORD>(type);
      out.push_back(std::move(raw));
    }
    return out;
  }

  std::optional<hive_node_h> child(hive_node_h node, std::string_view name) const {
    bool lossy = false;
    for (hive_node_h kid : children(node))
      if (equalNoCase(nodeName(kid, lossy), name)) return kid;
    return std::nullopt;
  }

  [[noreturn]] void corrupt(const char* what) const {
    fail(file_,
         std::string("corrupt registry hive: cannot read ") + what + " (" + systemError() + ")");
  }
  [[noreturn]] void damaged(const std::string& what) const {
    fail(file_, "corrupt registry hive: " + what);
  }

  hive_h* hive() const { return hive_; }
  const std::filesystem::path& file() const { return file_; }

private:
  hive_h* hive_;
  const std::filesystem::path& file_;
};

inline Hive openHive(const std::filesystem::path& file, int flags) {
  errno = 0;
  Hive hive(hivex_open(file.c_str(), flags));
  if (!hive) fail(file, "not a readable registry hive (" + systemError() + ")");
  return hive;
}

// The control set that Select\Current names, as "ControlSet001".
inline std::string currentControlSet(const Reader& reader, hive_node_h root) {
  const auto select = reader.child(root, "Select");
  if (!select) fail(reader.file(), "SYSTEM hive without a Select key; no current control set");
  bool lossy = false;
  for (RawValue& value : reader.values(*select, lossy)) {
    if (!equalNoCase(value.name, "Current")) continue;
    if (value.type != REG_DWORD || value.length != 4)
      fail(reader.file(), "Select\\Current is not a REG_DWORD");
    const std::uint32_t number = le32(reinterpret_cast<const unsigned char*>(value.data.get()));
    char name[32];
    std::snprintf(name, sizeof name, "ControlSet%03u", static_cast<unsigned>(number));
    if (!reader.child(root, name))
      fail(reader.file(), std::string("Select\\Current names ") + name + ", which is missing");
    return name;
  }
  fail(reader.file(), "SYSTEM hive without Select\\Current; no current control set");
}

inline FileStamp stampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) fail(file, "cannot be read (" + systemError() + ")");
  return FileStamp{static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec,
                   info.st_mtim.tv_nsec};
}

// Levels of a key's path, its root key included, as in a .reg image: a
// deeper key is damage, and walks stay bounded.
inline constexpr std::size_t kMaxDepth = 512;

// A sibling's name as the registry will hold it, with what is needed to
// tell a duplicate from two names that only narrowing made equal.
struct Sibling {
  std::string_view name;      // narrowed
  const char* original = "";  // UTF-8, as the hive holds it
  bool narrowed = false;
};

inline bool equalFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (foldLatin1(static_cast<unsigned char>(a[i])) !=
        foldLatin1(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Two siblings equal as Windows compares names are damage: the registry
// would merge them and writing back would lose one with all below it. Two
// that only differ outside Latin-1 load (the registry holds one); writing
// back refuses them.
inline void refuseDuplicates(const std::vector<Sibling>& siblings, const Reader& reader,
                             const char* what, const std::string& path) {
  const auto same = [](const Sibling& a, const Sibling& b) {
    if (!equalFolded(a.name, b.name)) return false;
    return !(a.narrowed || b.narrowed) || foldedUtf8(a.original) == foldedUtf8(b.original);
  };
  const auto refuse = [&](const Sibling& a) {
    reader.damaged((path.empty() ? std::string("the root key") : shown(path)) + " holds two " +
                   what + " named " + shownUtf8(a.original));
  };
  // Most keys have a few children or values: compared in pairs; many are
  // sorted by their folded names first.
  constexpr std::size_t kFew = 16;
  if (siblings.size() <= kFew) {
    for (std::size_t i = 0; i < siblings.size(); ++i)
      for (std::size_t k = i + 1; k < siblings.size(); ++k)
        if (same(siblings[i], siblings[k])) refuse(siblings[i]);
    return;
  }
  std::vector<std::pair<std::string, std::size_t>> order;
  order.reserve(siblings.size());
  for (std::size_t i = 0; i < siblings.size(); ++i)
    order.emplace_back(foldedNarrow(siblings[i].name), i);
  std::sort(order.begin(), order.end());
  for (std::size_t i = 1; i < order.size(); ++i)
    if (order[i - 1].first == order[i].first &&
        same(siblings[order[i - 1].second], siblings[order[i].second]))
      refuse(siblings[order[i - 1].second]);
}

}  // namespace image::hivenodes
