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

namespace image {

namespace {

using text::equalNoCase;
using text::upper;

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

std::string utf8FromLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(static_cast<char>(0xC0 | byte >> 6));
      out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
    }
  }
  return out;
}

// A text value's data as the registry holds it: UTF-16LE narrowed to 8 bits.
// Data of odd length is not UTF-16 and is kept as it is.
std::vector<std::uint8_t> dataForRegistry(DWORD type, const char* raw, std::size_t length) {
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
  std::string name;  // 8-bit
  DWORD type = REG_NONE;
  Owned<char> data;
  std::size_t length = 0;
};

class Reader {
public:
  Reader(hive_h* hive, const std::filesystem::path& file) : hive_(hive), file_(file) {}

  std::string nodeName(hive_node_h node, bool& lossy) const {
    errno = 0;
    Owned<char> name(hivex_node_name(hive_, node));
    if (!name) corrupt("a key name");
    return narrowUtf8(name.get(), lossy);
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
      raw.name = narrowUtf8(key.get(), lossy);
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

class Collector {
public:
  Collector(const Reader& reader, HiveMount& mount, RecordStream& stream)
      : reader_(reader), mount_(mount), stream_(stream) {}

  // The node's values and subkeys; the node's own name is written by the caller.
  void collect(hive_node_h node, bool atRoot) {
    ++mount_.keys;
    bool lossy = false;
    for (RawValue& value : reader_.values(node, lossy)) {
      stream_.value(value.name, value.type,
                    dataForRegistry(value.type, value.data.get(), value.length));
      ++mount_.values;
    }
    if (lossy) ++mount_.narrowedNames;
    for (hive_node_h child : reader_.children(node)) {
      bool lossyName = false;
      std::string name = reader_.nodeName(child, lossyName);
      if (lossyName) ++mount_.narrowedNames;
      if (atRoot && !mount_.currentSet.empty()) {
        if (equalNoCase(name, kCurrentControlSet))
          fail(reader_.file(), "the hive holds a CurrentControlSet key of its own");
        if (equalNoCase(name, mount_.currentSet)) name = kCurrentControlSet;
      }
      stream_.enter(name);
      collect(child, false);
      stream_.leave();
    }
  }

private:
  const Reader& reader_;
  HiveMount& mount_;
  RecordStream& stream_;
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

// Compares the hive below a node with the registry below a path and, when
// `apply`, makes the hive match.
class Differ {
public:
  Differ(const sim::Registry& registry, const Reader& reader, const HiveMount& mount, bool apply)
      : registry_(registry), reader_(reader), mount_(mount), apply_(apply) {}

  void sync(hive_node_h node, const std::string& path) {
    syncValues(node, path);
    const bool atRoot = path == mount_.mountPath;
    std::map<std::string, std::string> wanted;  // upper-case name -> stored name
    for (std::string& name : registry_.subkeyNames(path)) wanted.emplace(upper(name), name);
    for (hive_node_h child : reader_.children(node)) {
      bool lossy = false;
      std::string name = reader_.nodeName(child, lossy);
      if (atRoot && !mount_.currentSet.empty() && equalNoCase(name, mount_.currentSet))
        name = kCurrentControlSet;
      auto it = wanted.find(upper(name));
      if (it == wanted.end()) {
        ++diff_.keysDeleted;
        if (apply_ && hivex_node_delete_child(reader_.hive(), child) != 0)
          fail(reader_.file(),
               "cannot delete the key " + path + '\\' + name + " (" + systemError() + ")");
        continue;
      }
      sync(child, path + '\\' + it->second);
      wanted.erase(it);
    }
    for (const auto& [key, name] : wanted) {
      if (atRoot && equalNoCase(name, mount_.currentSet))
        fail(reader_.file(), mount_.currentSet + " is the current control set; change it through " +
                                 kCurrentControlSet);
      add(node, path, name);
    }
  }

  const HiveDiff& diff() const { return diff_; }

private:
  const sim::Registry& registry_;
  const Reader& reader_;
  const HiveMount& mount_;
  bool apply_;
  HiveDiff diff_;

  void syncValues(hive_node_h node, const std::string& path) {
    const std::vector<sim::Value> wanted = registry_.values(path);
    bool lossy = false;
    std::vector<RawValue> present = reader_.values(node, lossy);
    // For each wanted value, the present one it equals, if any.
    std::vector<const RawValue*> same(wanted.size(), nullptr);
    std::size_t matched = 0;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      for (const RawValue& value : present) {
        if (value.type != wanted[i].type || !equalNoCase(value.name, wanted[i].name)) continue;
        if (dataForRegistry(value.type, value.data.get(), value.length) != wanted[i].data) break;
        same[i] = &value;
        ++matched;
        break;
      }
    }
    if (matched == wanted.size() && wanted.size() == present.size()) return;
    ++diff_.valueListsChanged;
    if (apply_) setValues(node, path, wanted, same);
  }

  // Unchanged values keep the hive's bytes; changed and new ones are encoded
  // from the registry.
  void setValues(hive_node_h node, const std::string& path, const std::vector<sim::Value>& wanted,
                 const std::vector<const RawValue*>& same) {
    std::vector<std::string> names;
    std::vector<std::vector<std::uint8_t>> encoded(wanted.size());
    names.reserve(wanted.size());
    std::vector<hive_set_value> list(wanted.size());
    for (std::size_t i = 0; i < wanted.size(); ++i) {
      names.push_back(utf8FromLatin1(wanted[i].name));
      hive_set_value& out = list[i];
      out.key = names.back().data();
      out.t = static_cast<hive_type>(wanted[i].type);
      if (same[i]) {
        out.len = same[i]->length;
        out.value = same[i]->data.get();
      } else {
        encoded[i] = dataForHive(wanted[i]);
        out.len = encoded[i].size();
        out.value = reinterpret_cast<char*>(encoded[i].data());
      }
    }
    if (hivex_node_set_values(reader_.hive(), node, list.size(), list.data(), 0) != 0)
      fail(reader_.file(), "cannot write the values of " + path + " (" + systemError() + ")");
  }

  void add(hive_node_h parent, const std::string& parentPath, const std::string& name) {
    ++diff_.keysAdded;
    const std::string path = parentPath + '\\' + name;
    if (!apply_) {
      for (const std::string& child : registry_.subkeyNames(path)) add(0, path, child);
      if (!registry_.values(path).empty()) ++diff_.valueListsChanged;
      return;
    }
    const hive_node_h node =
        hivex_node_add_child(reader_.hive(), parent, utf8FromLatin1(name).c_str());
    if (node == 0) fail(reader_.file(), "cannot add the key " + path + " (" + systemError() + ")");
    const std::vector<sim::Value> values = registry_.values(path);
    if (!values.empty()) {
      ++diff_.valueListsChanged;
      setValues(node, path, values, std::vector<const RawValue*>(values.size(), nullptr));
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
  if (mount.narrowedNames != 0 && out)
    fail(mount.file, "names with characters outside Latin-1 cannot be written back exactly");
  if (!registry.keyExists(mount.mountPath)) fail(mount.file, mount.mountPath + " is gone");
  if (!(stampOf(mount.file) == mount.stamp)) fail(mount.file, "the file changed since it was read");
  readHiveHeader(mount.file);

  Hive hive = openHive(mount.file, out ? HIVEX_OPEN_WRITE : 0);
  Reader reader(hive.get(), mount.file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  Differ differ(registry, reader, mount, out != nullptr);
  differ.sync(root, mount.mountPath);
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
  Collector(reader, mount, stream).collect(root, true);
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

}  // namespace image
