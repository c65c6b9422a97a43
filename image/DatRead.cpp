#include "DatRead.h"

#include <fstream>
#include <string>
#include <utility>

namespace image::dat {

namespace {

constexpr std::uint32_t kTable = 0x20;
constexpr std::uint32_t kHeaders = 0x40;  // the file header and the key table's
constexpr std::uint32_t kChunk = 0x1000;

std::uint32_t get32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
         std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}
std::uint16_t get16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}

bool readAt(std::ifstream& in, std::uint64_t at, std::uint8_t* out, std::size_t size) {
  in.seekg(static_cast<std::streamoff>(at));
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  return in.gcount() == static_cast<std::streamsize>(size);
}

}  // namespace

std::vector<std::uint8_t> readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary | std::ios::ate);
  if (!in) throw Error("cannot be read");
  const std::streamoff measured = in.tellg();
  if (measured < 0) throw Error("cannot be read");
  const auto size = static_cast<std::uint64_t>(measured);
  // Where the file ends by its headers: the key table, then each data block
  // as long as its header says. A header that cannot be believed stops the
  // walk there; the check names it on the bytes read so far.
  std::uint64_t end = size;
  std::uint8_t header[kHeaders] = {};
  if (size >= kHeaders) {
    if (!readAt(in, 0, header, kHeaders)) throw Error("cannot be read");
    const std::span<const std::uint8_t> head(header, kHeaders);
    std::uint64_t at = std::uint64_t(kTable) + get32(head, kTable + 4);
    const std::size_t count = get16(head, 0x10);
    for (std::size_t i = 0; i < count && at + 8 <= size; ++i) {
      std::uint8_t block[8];
      if (!readAt(in, at, block, sizeof block)) throw Error("cannot be read");
      const std::uint32_t blockSize = get32(block, 4);
      if (blockSize < kChunk || blockSize % kChunk != 0) {
        at = size;
        break;
      }
      at += blockSize;
    }
    end = std::min(size, std::max<std::uint64_t>(at, kHeaders));
  }
  in.clear();
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(end));
  if (!readAt(in, 0, bytes.data(), bytes.size())) throw Error("cannot be read");
  if (end < size) {
    // Damage before the end is named first; a sound file is only too long.
    check(bytes);
    throw Error(std::to_string(size - end) + " bytes after the last of " +
                std::to_string(get16(bytes, 0x10)) + " data blocks");
  }
  if (in.peek() != std::ifstream::traits_type::eof()) throw Error("changed while it was read");
  return bytes;
}

Tree::Tree(std::span<const std::uint8_t> bytes) : bytes_(bytes) {
  const std::size_t count = get16(bytes, 0x10);
  records_.assign(count * 256, 0);
  std::uint32_t offset = get32(bytes, 8);
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t end = offset + get32(bytes, offset + 4);
    for (std::uint32_t at = offset + 0x20; at < end; at += get32(bytes, at)) {
      const std::uint32_t id = get32(bytes, at + 4);
      if (id != kNone) records_[(id >> 16) * 256 + (id & 0xFF)] = at;
    }
    offset = end;
  }
}

Tree::Key Tree::root() const {
  return get32(bytes_, kTable + 8);
}
Tree::Key Tree::firstChild(Key key) const {
  return get32(bytes_, kTable + key + 0x10);
}
Tree::Key Tree::nextSibling(Key key) const {
  return get32(bytes_, kTable + key + 0x14);
}

std::uint32_t Tree::recordOf(Key key) const {
  const std::uint32_t id = get16(bytes_, kTable + key + 0x18);
  const std::uint32_t block = get16(bytes_, kTable + key + 0x1A);
  const std::size_t slot = block * 256 + (id & 0xFF);
  return id <= 0xFF && slot < records_.size() ? records_[slot] : 0;
}

std::string_view Tree::name(Key key) const {
  const std::uint32_t record = recordOf(key);
  if (record == 0) return {};
  return {reinterpret_cast<const char*>(bytes_.data()) + record + 0x14,
          get16(bytes_, record + 0x0C)};
}

std::size_t Tree::valueCount(Key key) const {
  const std::uint32_t record = recordOf(key);
  return record == 0 ? 0 : get16(bytes_, record + 0x0E);
}

Tree::Key Tree::child(Key key, std::string_view wanted,
                      const platform::names::Charset& charset) const {
  for (Key at = firstChild(key); at != kNone; at = nextSibling(at))
    if (platform::names::equalNoCase(name(at), wanted, charset)) return at;
  return kNone;
}

Loaded load(const Tree& tree, sim::Registry& registry, sim::Registry::Node& root) {
  Loaded loaded;
  loaded.keys = 1;
  // Each pending chain of siblings with the node they go below. The root's
  // values are not kept: Windows keeps none there.
  std::vector<std::pair<Tree::Key, sim::Registry::Node*>> pending{
      {tree.firstChild(tree.root()), &root}};
  while (!pending.empty()) {
    auto [first, parent] = pending.back();
    pending.pop_back();
    for (Tree::Key key = first; key != Tree::kNone; key = tree.nextSibling(key)) {
      sim::Registry::Node& node = registry.makeChild(*parent, tree.name(key));
      ++loaded.keys;
      registry.reserveValues(node, tree.valueCount(key));
      tree.forEachValue(key, [&](const Tree::Value& value) {
        registry.setValue(node, value.name, value.type, value.data);
        ++loaded.values;
      });
      if (tree.firstChild(key) != Tree::kNone) pending.emplace_back(tree.firstChild(key), &node);
    }
  }
  return loaded;
}

}  // namespace image::dat
