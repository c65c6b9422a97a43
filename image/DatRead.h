// Reading a Windows 95/98/Me registry file (DatFile.h) with our own code:
// the file's bytes read no further than its header names, and the tree of a
// checked file loaded into the simulated registry. Names and data stay the
// file's bytes, in its code page. libcreg stays the independent reader of
// every file the tool writes (DatImage.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>
#include <vector>

#include "DatFile.h"
#include "SimRegistry.h"

namespace image::dat {

// The file's bytes, read only as far as its header, key table and data block
// headers say the file reaches, so that a file far longer than that is
// refused before it takes memory. Throws Error ("cannot be read", or the
// bytes left after the last data block).
std::vector<std::uint8_t> readFile(const std::filesystem::path& file);

// A view of a checked file's key tree (check() passed on these bytes; the
// view trusts them).
class Tree {
public:
  using Key = std::uint32_t;  // the offset of its key table entry
  static constexpr Key kNone = 0xFFFFFFFF;

  explicit Tree(std::span<const std::uint8_t> bytes);

  Key root() const;
  Key firstChild(Key key) const;
  Key nextSibling(Key key) const;
  std::string_view name(Key key) const;

  struct Value {
    std::string_view name;
    std::uint32_t type;
    std::span<const std::uint8_t> data;
  };
  // Calls `visit(const Value&)` for each of the key's values, in file order.
  template <typename Visit>
  void forEachValue(Key key, Visit visit) const;
  std::size_t valueCount(Key key) const;

  // The key below `key` named `name` as Windows compares names, or kNone.
  Key child(Key key, std::string_view name, const platform::names::Charset& charset) const;

private:
  std::span<const std::uint8_t> bytes_;
  std::vector<std::uint32_t> records_;  // by block * 256 + id: the record's offset, 0 for none
  std::uint32_t recordOf(Key key) const;
};

struct Loaded {
  std::size_t keys = 0;  // the root included
  std::size_t values = 0;
};

// Loads every key and value below the file's root into `root`.
Loaded load(const Tree& tree, sim::Registry& registry, sim::Registry::Node& root);

// ---------------------------------------------------------------------------

template <typename Visit>
void Tree::forEachValue(Key key, Visit visit) const {
  const std::uint32_t record = recordOf(key);
  if (record == 0) return;
  const auto get16 = [this](std::size_t at) {
    return static_cast<std::uint16_t>(bytes_[at] | bytes_[at + 1] << 8);
  };
  std::size_t at = record + 0x14 + get16(record + 0x0C);
  for (std::uint16_t i = 0, n = get16(record + 0x0E); i < n; ++i) {
    const std::uint16_t nameLength = get16(at + 8);
    const std::uint16_t dataLength = get16(at + 10);
    const auto* start = bytes_.data() + at + 12;
    visit(Value{{reinterpret_cast<const char*>(start), nameLength},
                std::uint32_t(get16(at)) | std::uint32_t(get16(at + 2)) << 16,
                {start + nameLength, dataLength}});
    at += 12 + nameLength + dataLength;
  }
}

}  // namespace image::dat
