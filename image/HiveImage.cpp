#include "HiveImage.h"

#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "ImageText.h"
#include "Machine.h"
#include "TreeCompare.h"

namespace image {

namespace {

using text::equalNoCase;
using text::upper;
using text::utf8FromLatin1;

constexpr std::size_t kBaseBlockSize = 4096;
constexpr char kCurrentControlSet[] = "CurrentControlSet";

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

std::string systemError() {
  return errno != 0 ? std::strerror(errno) : "unknown error";
}

[[noreturn]] void fail(const std::filesystem::path& file, const std::string& what) {
  throw Error(file, what);
}

std::uint32_t le32(const unsigned char* bytes) {
  return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
         std::uint32_t(bytes[3]) << 24;
}

bool isTextType(DWORD type) {
  return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-8 (as hivex gives names) to the registry's 8-bit text.
std::string narrowUtf8(const char* text, bool& lossy) {
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
char32_t foldLatin1(char32_t c) {
  if ((c >= 'a' && c <= 'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7)) return c - 0x20;
  return c;
}

std::string foldedNarrow(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = static_cast<char>(foldLatin1(static_cast<unsigned char>(c)));
  return out;
}

// A UTF-8 name as code points, case folded where Latin-1 has cases.
std::u32string foldedUtf8(const std::string& text) {
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
std::string shownUtf8(std::string_view name) {
  std::string out(name);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return out;
}
// A name or path as the registry holds it, in 8-bit text.
std::string shown(std::string_view name) {
  return shownUtf8(utf8FromLatin1(name));
}

// A text value's data as the registry holds it: UTF-16LE narrowed to 8 bits.
// Data of odd length is not UTF-16 and is kept as it is.
std::vector<std::uint8_t> dataForRegistry(DWORD type, const char* raw, std::size_t length,
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

std::vector<std::uint8_t> dataForHive(const sim::Value& value) {
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

Hive openHive(const std::filesystem::path& file, int flags) {
  errno = 0;
  Hive hive(hivex_open(file.c_str(), flags));
  if (!hive) fail(file, "not a readable registry hive (" + systemError() + ")");
  return hive;
}

// The control set that Select\Current names, as "ControlSet001".
std::string currentControlSet(const Reader& reader, hive_node_h root) {
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

FileStamp stampOf(const std::filesystem::path& file) {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) fail(file, "cannot be read (" + systemError() + ")");
  return FileStamp{static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec,
                   info.st_mtim.tv_nsec};
}

// The hive's keys and values, read in one pass into a compact record stream
// so that the hive can be closed (and its mapping given back) before the
// registry is built: the two are never in memory in full at the same time.
// The stream lives in anonymous mappings of its own, each given back as soon
// as it has been replayed.
class RecordStream {
public:
  enum Tag : char { Enter = 'K', Value = 'V', Leave = 'U' };

  void enter(const std::string& name) {
    char* out = reserve(1 + 4 + name.size());
    *out++ = Enter;
    out = put(out, name.data(), name.size());
  }
  void value(const std::string& name, DWORD type, const std::vector<std::uint8_t>& data) {
    char* out = reserve(1 + 4 + name.size() + 4 + 4 + data.size());
    *out++ = Value;
    out = put(out, name.data(), name.size());
    out = putWord(out, type);
    put(out, reinterpret_cast<const char*>(data.data()), data.size());
  }
  void leave() { *reserve(1) = Leave; }

  // Hands each record to `visit` in order, giving back each chunk once read.
  template <typename Visit>
  void replay(Visit&& visit) {
    for (Chunk& chunk : chunks_) {
      const char* in = chunk.data;
      const char* end = chunk.data + chunk.used;
      while (in < end) {
        const char tag = *in++;
        std::string_view name;
        if (tag == Enter || tag == Value) in = get(in, name);
        if (tag != Value) {
          visit(tag, name, REG_NONE, nullptr, 0);
          continue;
        }
        const DWORD type = getWord(in);
        in += 4;
        std::string_view data;
        in = get(in, data);
        visit(tag, name, type, reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
      }
      chunk.release();
    }
    chunks_.clear();
  }

private:
  static constexpr std::size_t kChunkSize = 1 << 20;

  struct Chunk {
    char* data = nullptr;
    std::size_t size = 0;
    std::size_t used = 0;
    explicit Chunk(std::size_t bytes) : size(bytes) {
      void* memory =
          ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (memory == MAP_FAILED) throw std::bad_alloc();
      data = static_cast<char*>(memory);
    }
    Chunk(Chunk&& other) noexcept : data(other.data), size(other.size), used(other.used) {
      other.data = nullptr;
    }
    Chunk(const Chunk&) = delete;
    Chunk& operator=(const Chunk&) = delete;
    Chunk& operator=(Chunk&&) = delete;
    ~Chunk() { release(); }
    void release() noexcept {
      if (data) ::munmap(data, size);
      data = nullptr;
    }
  };
  std::vector<Chunk> chunks_;

  char* reserve(std::size_t bytes) {
    if (chunks_.empty() || chunks_.back().size - chunks_.back().used < bytes) {
      chunks_.reserve(chunks_.size() + 1);
      chunks_.emplace_back(std::max(kChunkSize, bytes));
    }
    Chunk& chunk = chunks_.back();
    char* out = chunk.data + chunk.used;
    chunk.used += bytes;
    return out;
  }
  static char* putWord(char* out, std::uint32_t word) {
    for (int i = 0; i < 4; ++i) *out++ = static_cast<char>(word >> (8 * i));
    return out;
  }
  static char* put(char* out, const char* bytes, std::size_t size) {
    out = putWord(out, static_cast<std::uint32_t>(size));
    if (size != 0) std::memcpy(out, bytes, size);
    return out + size;
  }
  static std::uint32_t getWord(const char* in) {
    return le32(reinterpret_cast<const unsigned char*>(in));
  }
  static const char* get(const char* in, std::string_view& text) {
    const std::uint32_t size = getWord(in);
    text = std::string_view(in + 4, size);
    return in + 4 + size;
  }
};

// Levels of a key's path, its root key included, as in a .reg image: a
// deeper key is damage, and walks stay bounded.
constexpr std::size_t kMaxDepth = 512;

// A sibling's name as the registry will hold it, with what is needed to
// tell a duplicate from two names that only narrowing made equal.
struct Sibling {
  std::string_view name;      // narrowed
  const char* original = "";  // UTF-8, as the hive holds it
  bool narrowed = false;
};

bool equalFolded(std::string_view a, std::string_view b) {
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
void refuseDuplicates(const std::vector<Sibling>& siblings, const Reader& reader, const char* what,
                      const std::string& path) {
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

class Collector {
public:
  Collector(const Reader& reader, HiveMount& mount, RecordStream& stream)
      : reader_(reader),
        mount_(mount),
        stream_(stream),
        seen_(mount.header.fileSize / 4 + 1, false) {}

  void collectRoot(hive_node_h root) {
    mark(root);
    collect(root, true);
  }

private:
  const Reader& reader_;
  HiveMount& mount_;
  RecordStream& stream_;
  std::vector<bool> seen_;  // nodes by offset: each key is read once
  std::vector<hive_node_h> ancestors_;
  std::string path_;  // below the root, as read

  std::string where() const { return path_.empty() ? "the root key" : shown(path_); }

  void mark(hive_node_h node) {
    const std::size_t slot = node / 4;
    if (slot >= seen_.size()) seen_.resize(slot + 1, false);
    seen_[slot] = true;
  }
  bool seen(hive_node_h node) const { return node / 4 < seen_.size() && seen_[node / 4]; }

  // The node's values and subkeys; the node's own name is written by the caller.
  void collect(hive_node_h node, bool atRoot) {
    ++mount_.keys;
    ancestors_.push_back(node);
    bool lossy = false;
    std::vector<RawValue> values = reader_.values(node, lossy);
    if (lossy) ++mount_.narrowedNames;
    std::vector<Sibling> names;
    names.reserve(values.size());
    for (const RawValue& value : values)
      names.push_back({value.name, value.original.get(), value.narrowed});
    refuseDuplicates(names, reader_, "values", path_);
    for (RawValue& value : values) {
      stream_.value(value.name, value.type,
                    dataForRegistry(value.type, value.data.get(), value.length));
      ++mount_.values;
    }
    values.clear();

    struct Child {
      hive_node_h node;
      Owned<char> original;
      std::string name;
      bool narrowed = false;
    };
    std::vector<Child> children;
    for (hive_node_h kid : reader_.children(node)) {
      Child child{kid, reader_.originalName(kid), {}, false};
      child.name = narrowUtf8(child.original.get(), child.narrowed);
      if (child.narrowed) ++mount_.narrowedNames;
      children.push_back(std::move(child));
    }
    names.clear();
    for (const Child& child : children)
      names.push_back({child.name, child.original.get(), child.narrowed});
    refuseDuplicates(names, reader_, "subkeys", path_);
    for (Child& child : children) {
      const bool again = seen(child.node);
      if (again && std::find(ancestors_.begin(), ancestors_.end(), child.node) != ancestors_.end())
        reader_.damaged("the subkey list of " + where() + " names that key or one above it");
      const std::size_t length = path_.size();
      if (!path_.empty()) path_ += '\\';
      path_ += child.name;
      if (again) reader_.damaged(where() + " is listed below two keys");
      mark(child.node);
      if (ancestors_.size() + 1 > kMaxDepth)
        reader_.damaged("keys nested deeper than 512 levels at " + where());
      std::string name = std::move(child.name);
      if (atRoot && !mount_.currentSet.empty()) {
        if (equalNoCase(name, kCurrentControlSet))
          fail(reader_.file(), "the hive holds a CurrentControlSet key of its own");
        if (equalNoCase(name, mount_.currentSet)) name = kCurrentControlSet;
      }
      stream_.enter(name);
      collect(child.node, false);
      stream_.leave();
      path_.resize(length);
    }
    ancestors_.pop_back();
  }
};

void build(sim::Registry& registry, const std::string& mountPath, RecordStream& stream) {
  std::string path = mountPath;
  std::vector<std::size_t> lengths;  // of the parent paths
  bool pending = true;               // the current key exists only once made
  stream.replay(
      [&](char tag, std::string_view name, DWORD type, const std::uint8_t* data, std::size_t size) {
        if (tag == RecordStream::Value) {
          registry.setValue(path, name, type, std::vector<std::uint8_t>(data, data + size));
          pending = false;
          return;
        }
        if (pending) registry.addKey(path);
        pending = tag == RecordStream::Enter;
        if (tag == RecordStream::Enter) {
          lengths.push_back(path.size());
          path += '\\';
          path += name;
        } else {
          path.resize(lengths.back());
          lengths.pop_back();
        }
      });
  if (pending) registry.addKey(path);
}

// Compares the hive below a node with the registry below a path and makes
// the hive, open for writing in memory, match it. Everything that could stop
// a write shows here, before any file is written: the caller commits only
// when the walk went through.
class Differ {
public:
  Differ(const sim::Registry& registry, const Reader& reader, const HiveMount& mount)
      : registry_(registry), reader_(reader), mount_(mount) {}

  // `narrowedPath`: a name on the way here lost characters to narrowing.
  void sync(hive_node_h node, const std::string& path, bool narrowedPath, std::size_t depth) {
    if (depth > kMaxDepth) reader_.damaged("keys nested deeper than 512 levels at " + shown(path));
    syncValues(node, path, narrowedPath);
    const bool atRoot = path == mount_.mountPath;
    struct Wanted {
      std::string name;      // stored case
      std::string original;  // of the hive key that matched it, in UTF-8
      bool matched = false;
    };
    std::map<std::string, Wanted> wanted;  // by upper-case name
    for (std::string& name : registry_.subkeyNames(path)) {
      std::string key = upper(name);
      wanted.emplace(std::move(key), Wanted{std::move(name), {}, false});
    }
    for (hive_node_h child : reader_.children(node)) {
      Owned<char> original = reader_.originalName(child);
      bool lossy = false;
      std::string name = narrowUtf8(original.get(), lossy);
      if (atRoot && !mount_.currentSet.empty() && equalNoCase(name, mount_.currentSet))
        name = kCurrentControlSet;
      auto it = wanted.find(upper(name));
      if (it == wanted.end()) {
        remove(node, child, path + '\\' + name, narrowedPath || lossy);
        continue;
      }
      if (it->second.matched)
        fail(reader_.file(), shown(path) + " holds the subkeys " + shownUtf8(it->second.original) +
                                 " and " + shownUtf8(original.get()) +
                                 ", one name in 8-bit text; the hive cannot be written back");
      it->second.matched = true;
      it->second.original = original.get();
      sync(child, path + '\\' + it->second.name, narrowedPath || lossy, depth + 1);
    }
    for (const auto& [key, entry] : wanted) {
      if (entry.matched) continue;
      if (atRoot && equalNoCase(entry.name, mount_.currentSet))
        fail(reader_.file(), mount_.currentSet + " is the current control set; change it through " +
                                 kCurrentControlSet);
      add(node, path, entry.name);
    }
  }

  const HiveDiff& diff() const { return diff_; }

private:
  const sim::Registry& registry_;
  const Reader& reader_;
  const HiveMount& mount_;
  HiveDiff diff_;

  // The undo file holds 8-bit text: what it would put back for a name or
  // text that narrowing changed is not what the hive held.
  [[noreturn]] void cannotUndo(const std::string& deleted, const std::string& what) const {
    fail(reader_.file(), "the run deletes " + shown(deleted) +
                             ", and the undo file cannot restore " + what +
                             " (characters outside Latin-1); nothing is written");
  }

  void checkUndoable(const std::string& deleted, const std::string& valuePath,
                     const RawValue& value, bool narrowedPath) const {
    if (narrowedPath) cannotUndo(deleted, "the path of " + shown(valuePath));
    if (value.narrowed) cannotUndo(deleted, "the name of " + shown(valuePath));
    if (!isTextType(value.type)) return;
    bool lossy = false;
    dataForRegistry(value.type, value.data.get(), value.length, &lossy);
    if (lossy) cannotUndo(deleted, "the text of " + shown(valuePath));
  }

  // Every name and text below a key the run deletes must come back from the
  // undo file as the hive held it.
  void checkSubtreeUndoable(const std::string& deleted, hive_node_h node, const std::string& path,
                            bool narrowedPath, std::size_t depth) const {
    if (depth > kMaxDepth) reader_.damaged("keys nested deeper than 512 levels at " + shown(path));
    if (narrowedPath) cannotUndo(deleted, "the name of " + shown(path));
    bool lossy = false;
    for (const RawValue& value : reader_.values(node, lossy))
      checkUndoable(deleted, path + '|' + value.name, value, false);
    for (hive_node_h child : reader_.children(node)) {
      bool narrowed = false;
      const std::string name = reader_.nodeName(child, narrowed);
      checkSubtreeUndoable(deleted, child, path + '\\' + name, narrowed, depth + 1);
    }
  }

  void remove(hive_node_h parent, hive_node_h child, const std::string& path, bool narrowedPath) {
    checkSubtreeUndoable(path, child, path, narrowedPath, 0);
    // hivex unlinks a key from the parent its own record names.
    errno = 0;
    if (hivex_node_parent(reader_.hive(), child) != parent)
      reader_.damaged(shown(path) + " names another key as its parent");
    ++diff_.keysDeleted;
    if (hivex_node_delete_child(reader_.hive(), child) != 0)
      fail(reader_.file(), "cannot delete the key " + shown(path) + " (" + systemError() + ")");
  }

  void syncValues(hive_node_h node, const std::string& path, bool narrowedPath) {
    const std::vector<sim::Value> wanted = registry_.values(path);
    bool lossy = false;
    std::vector<RawValue> present = reader_.values(node, lossy);
    if (lossy) refuseCollisions(present, path);
    // For each wanted value, the present one of that name, and whether it is
    // the same.
    std::vector<const RawValue*> named(wanted.size(), nullptr);
    std::vector<bool> same(wanted.size(), false);
    std::vector<bool> kept(present.size(), false);
    std::size_t matched = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      for (std::size_t k = 0; k < present.size(); ++k) {
        const RawValue& value = present[k];
        if (!equalNoCase(value.name, wanted[i].name)) continue;
        named[i] = &value;
        kept[k] = true;
        same[i] = value.type == wanted[i].type &&
                  dataForRegistry(value.type, value.data.get(), value.length) == wanted[i].data;
        if (same[i]) ++matched;
        break;
      }
    }
    for (std::size_t k = 0; k < present.size(); ++k)
      if (!kept[k])
        checkUndoable(path + '|' + present[k].name, path + '|' + present[k].name, present[k],
                      narrowedPath);
    if (matched == wanted.size() && wanted.size() == present.size()) return;
    ++diff_.valueListsChanged;
    setValues(node, path, wanted, named, same);
  }

  // Two values that narrowing made one: the registry holds only one of them.
  void refuseCollisions(const std::vector<RawValue>& present, const std::string& path) const {
    std::map<std::string, const RawValue*> byName;
    for (const RawValue& value : present) {
      const auto [it, added] = byName.emplace(upper(value.name), &value);
      if (!added)
        fail(reader_.file(), shown(path) + " holds the values " +
                                 shownUtf8(it->second->original.get()) + " and " +
                                 shownUtf8(value.original.get()) +
                                 ", one name in 8-bit text; the hive cannot be written back");
    }
  }

  // Unchanged values keep the hive's bytes, and every value that is in the
  // hive keeps its name as the hive spells it; changed and new ones are
  // encoded from the registry.
  void setValues(hive_node_h node, const std::string& path, const std::vector<sim::Value>& wanted,
                 const std::vector<const RawValue*>& named, const std::vector<bool>& same) {
    std::vector<std::string> names;
    std::vector<std::vector<std::uint8_t>> encoded(wanted.size());
    names.reserve(wanted.size());
    std::vector<hive_set_value> list(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      names.push_back(named[i] ? std::string(named[i]->original.get())
                               : utf8FromLatin1(wanted[i].name));
      hive_set_value& out = list[i];
      out.key = names.back().data();
      out.t = static_cast<hive_type>(wanted[i].type);
      if (same[i]) {
        out.len = named[i]->length;
        out.value = named[i]->data.get();
      } else {
        encoded[i] = dataForHive(wanted[i]);
        out.len = encoded[i].size();
        out.value = reinterpret_cast<char*>(encoded[i].data());
      }
    }
    if (hivex_node_set_values(reader_.hive(), node, list.size(), list.data(), 0) != 0)
      fail(reader_.file(),
           "cannot write the values of " + shown(path) + " (" + systemError() + ")");
  }

  void add(hive_node_h parent, const std::string& parentPath, const std::string& name) {
    ++diff_.keysAdded;
    const std::string path = parentPath + '\\' + name;
    errno = 0;
    const hive_node_h node =
        hivex_node_add_child(reader_.hive(), parent, utf8FromLatin1(name).c_str());
    if (node == 0)
      fail(reader_.file(), "cannot add the key " + shown(path) + " (" + systemError() + ")");
    const std::vector<sim::Value> values = registry_.values(path);
    if (!values.empty()) {
      ++diff_.valueListsChanged;
      setValues(node, path, values, std::vector<const RawValue*>(values.size(), nullptr),
                std::vector<bool>(values.size(), false));
    }
    for (const std::string& child : registry_.subkeyNames(path)) add(node, path, child);
  }
};

HiveDiff compare(const sim::Registry& registry, const HiveMount& mount,
                 const std::filesystem::path* out, bool writeWhenUnchanged) {
  if (out && !mount.header.clean())
    fail(mount.file,
         "the hive was not written completely (its sequence numbers differ); it is "
         "not written back");
  if (!registry.keyExists(mount.mountPath)) fail(mount.file, mount.mountPath + " is gone");
  if (!(stampOf(mount.file) == mount.stamp)) fail(mount.file, "the file changed since it was read");
  readHiveHeader(mount.file);

  // Open for writing even for a preview: hivex then changes a copy in
  // memory, and a change that would fail on the file fails here too.
  Hive hive = openHive(mount.file, HIVEX_OPEN_WRITE);
  Reader reader(hive.get(), mount.file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  Differ differ(registry, reader, mount);
  differ.sync(root, mount.mountPath, false, 1);
  if (out && (writeWhenUnchanged || !differ.diff().empty())) {
    errno = 0;
    if (hivex_commit(hive.get(), out->c_str(), 0) != 0)
      fail(*out, "cannot write the hive (" + systemError() + ")");
  }
  return differ.diff();
}

}  // namespace

HiveHeader readHiveHeader(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) fail(file, "cannot be read");
  std::array<unsigned char, kBaseBlockSize> block{};
  in.read(reinterpret_cast<char*>(block.data()), block.size());
  const auto got = static_cast<std::size_t>(in.gcount());
  if (got < 4 || std::memcmp(block.data(), "regf", 4) != 0)
    fail(file, "not a registry hive (no regf signature)");
  if (got < kBaseBlockSize) fail(file, "truncated registry hive (shorter than its base block)");
  HiveHeader header;
  header.sequence1 = le32(block.data() + 4);
  header.sequence2 = le32(block.data() + 8);
  header.declaredSize = kBaseBlockSize + std::uint64_t(le32(block.data() + 0x28));
  header.fileSize = std::filesystem::file_size(file);
  if (header.fileSize < header.declaredSize)
    fail(file, "truncated registry hive (" + std::to_string(header.fileSize) + " of " +
                   std::to_string(header.declaredSize) + " bytes)");
  return header;
}

bool looksLikeHive(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  char signature[4] = {};
  in.read(signature, sizeof signature);
  return in.gcount() == 4 && std::memcmp(signature, "regf", 4) == 0;
}

std::string mountPathFor(HiveKind kind) {
  return kind == HiveKind::System ? "HKEY_LOCAL_MACHINE\\SYSTEM" : "HKEY_LOCAL_MACHINE\\SOFTWARE";
}

HiveMount loadHive(sim::Registry& registry, const std::filesystem::path& file, HiveKind kind) {
  HiveMount mount;
  mount.kind = kind;
  mount.file = file;
  mount.mountPath = mountPathFor(kind);
  mount.header = readHiveHeader(file);
  mount.stamp = stampOf(file);
  Hive hive = openHive(file, 0);
  Reader reader(hive.get(), file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  if (kind == HiveKind::System) mount.currentSet = currentControlSet(reader, root);
  RecordStream stream;
  Collector(reader, mount, stream).collectRoot(root);
  hive.reset();
  build(registry, mount.mountPath, stream);
  return mount;
}

HiveDiff writeHive(const sim::Registry& registry, const HiveMount& mount,
                   const std::filesystem::path& out, bool writeWhenUnchanged) {
  return compare(registry, mount, &out, writeWhenUnchanged);
}

void verifyHive(const std::filesystem::path& file) {
  readHiveHeader(file);
  Hive hive = openHive(file, 0);
  Reader reader(hive.get(), file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  reader.children(root);
}

HiveDiff diffHive(const sim::Registry& registry, const HiveMount& mount) {
  return compare(registry, mount, nullptr, false);
}

void checkWritable(const sim::Registry& registry, const HiveMount& mount) {
  compare(registry, mount, nullptr, false);
}

void verifyHiveAgainst(const std::filesystem::path& file, HiveKind kind,
                       const sim::Registry& expected, const std::string& mountPath) {
  sim::Machine written;
  loadHive(written.registry, file, kind);
  if (const auto difference = firstDifference(expected, written.registry, mountPath))
    fail(file, "does not read back as the registry: " + shown(*difference));
}

}  // namespace image
