#include <hivex.h>
#include <sys/mman.h>
#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <new>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "HiveImage.h"
#include "HiveNodes.h"
#include "ImageText.h"
#include "Machine.h"
#include "TreeCompare.h"

namespace image {

using namespace hivenodes;

namespace {

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
  // By node, one level at a time: a path looked up from its root for each
  // value would cost the key's depth again every time.
  std::vector<sim::Registry::Node*> nodes{&registry.makeKey(mountPath)};
  stream.replay(
      [&](char tag, std::string_view name, DWORD type, const std::uint8_t* data, std::size_t size) {
        if (tag == RecordStream::Value)
          registry.setValue(*nodes.back(), name, type, std::span<const std::uint8_t>(data, size));
        else if (tag == RecordStream::Enter)
          nodes.push_back(&registry.makeChild(*nodes.back(), name));
        else
          nodes.pop_back();
      });
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

void verifyHive(const std::filesystem::path& file) {
  readHiveHeader(file);
  Hive hive = openHive(file, 0);
  Reader reader(hive.get(), file);
  const hive_node_h root = hivex_root(hive.get());
  if (root == 0) reader.corrupt("the root key");
  reader.children(root);
}

void verifyHiveAgainst(const std::filesystem::path& file, HiveKind kind,
                       const sim::Registry& expected, const std::string& mountPath) {
  sim::Machine written;
  loadHive(written.registry, file, kind);
  if (const auto difference = firstDifference(expected, written.registry, mountPath))
    fail(file, "does not read back as the registry: " + shown(*difference));
}

}  // namespace image
