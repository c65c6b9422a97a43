// The Windows 95/98/Me registry file (SYSTEM.DAT, "CREG") as bytes: a
// structural check and a small in-place editor of our own. Reading the file
// into the simulated registry goes through libcreg (DatImage.h); this part
// does not depend on it, so that the two check each other.
//
// Layout, as Windows 98 and Me write it (all numbers little-endian):
//   file header (32 bytes)  "CREG", offset of the first data block, number
//                           of data blocks
//   key table "RGKN"        a header of 32 bytes, then 28-byte key entries
//                           (hash of the name, parent, first child, next
//                           sibling, record id and data block number) and
//                           free areas chained from the header
//   data blocks "RGDB"      sizes in whole 4 KB; a header of 32 bytes, then
//                           records that fill the block exactly: a key's
//                           record (its name and values) or a free record,
//                           free records chained from the header
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ImageError.h"
#include "NameCompare.h"

namespace image::dat {

using platform::names::Charset;

// A file that breaks the layout, or an edit that cannot be made, throws
// image::Error; the message is one line, and the caller names the file.

bool hasSignature(std::span<const std::uint8_t> bytes);

// Where a data block keeps its free space: Windows 98 and Me chain free
// records anywhere in it; Windows 95 packs its records from the start and
// leaves one free record at its end.
enum class Layout { win98, win95 };

struct Summary {
  Layout layout = Layout::win98;  // win95 when any block is packed and not chained
  // Fields that Windows 98 and Me leave 0 and that may hold checksums of a
  // kind not known here: the file header's at 0x0C, the key table's at 0x34.
  std::uint32_t headerChecksum = 0;
  std::uint32_t tableChecksum = 0;
  std::size_t keys = 0;  // the root key included
  std::size_t values = 0;
  std::size_t blocks = 0;
  std::uint64_t freeRecordBytes = 0;  // in the data blocks' free records
  std::uint64_t freeEntryBytes = 0;   // in the key table's free areas
  std::uint64_t size = 0;
};

// Checks every structure of the file, its names in the file's code page as
// Windows 95/98/Me take them (bytes of the code page without '\', siblings
// and a key's values each of their own name); throws Error naming the
// first fault.
Summary check(std::span<const std::uint8_t> bytes, const Charset& charset = {});

// Why the editor does not write such a file back (its layout or checksums),
// or nothing when it does.
std::string notWritable(const Summary& summary);

// The name hash of a key entry: the sum of the upper-cased name's bytes,
// single-byte letters upper-cased and double-byte characters as they are.
std::uint32_t nameHash(std::string_view name, const Charset& charset = {});

// Value data as Windows 95/98/Me store it: a REG_SZ string without a trailing
// NUL, as none of a Windows-written file's has (its REG_EXPAND_SZ strings
// keep theirs, and so are kept as given).
std::span<const std::uint8_t> storedData(std::uint32_t type, std::span<const std::uint8_t> data);

struct ValueBytes {
  std::string name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
  std::uint32_t reserved = 0xFFFFFFFF;  // the field after the type, kept as found
};

// Edits a checked file in place. Keys are named by the offset of their entry
// in the key table, which no edit moves.
class Editor {
public:
  using Key = std::uint32_t;

  // Checks the bytes first, and refuses a file that notWritable names.
  explicit Editor(std::vector<std::uint8_t> bytes, const Charset& charset = {});
  // Bytes that check() passed in this code page, with its summary.
  Editor(std::vector<std::uint8_t> bytes, const Charset& charset, const Summary& checked);

  Key root() const;
  std::vector<Key> children(Key key) const;
  std::string name(Key key) const;
  std::vector<ValueBytes> values(Key key) const;

  // Unlinks the key; its subtree's entries join the key table's free list and
  // its records become free records of their blocks.
  void removeKey(Key key);
  // Replaces the key's values; the record grows into free space when it must.
  // Refuses what Windows 95/98/Me do not hold (names above 255 bytes, data
  // above 16,300, a record beyond a data block), naming the key.
  void setValues(Key key, const std::vector<ValueBytes>& values);
  // A new key without values, last among its parent's children; refuses a
  // name Windows cannot make (empty, holding '\', above 255 bytes).
  Key addKey(Key parent, std::string_view name);

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() { return std::move(bytes_); }

private:
  struct Block {
    std::uint32_t offset;  // in the file
    std::uint32_t size;
  };
  struct Place {
    std::size_t block;
    std::uint32_t offset;  // of the record, in the file
  };
  std::vector<std::uint8_t> bytes_;
  Charset charset_;
  std::vector<Block> blocks_;  // kept as the key table grows and blocks are added
  // Each record in use: its id (block number and id) -> its offset in its
  // block, which growing the key table does not change.
  std::unordered_map<std::uint32_t, std::uint32_t> records_;
  std::size_t lastBlock_ = 0;  // where the last record was placed: tried early

  void index(const Summary& checked);  // refuses what notWritable names, finds the records
  const std::vector<Block>& blocks() const { return blocks_; }
  std::string path(Key key) const;  // below the root, for messages
  std::uint32_t entryAt(Key key) const { return 0x20 + key; }
  Place recordOf(Key key) const;
  void freeEntry(Key key);
  void freeRecord(const Place& place, bool releaseId);
  Key allocateEntry();
  void growKeyTable();
  // A record of `size` bytes; in `preferred` first (keeping `keepId` there
  // when it is not 0xFFFF), else in any block with a free id, else in a new
  // block at the end. Returns its place; its id is written by the caller.
  Place allocateRecord(std::uint32_t size, std::size_t preferred, bool needId);
  bool takeFreeRecord(std::size_t block, std::uint32_t size, std::uint32_t& offset);
  std::uint16_t takeId(std::size_t block);
  void releaseId(std::size_t block, std::uint16_t id);
  std::size_t appendBlock(std::uint32_t need);
  void writeRecord(const Place& place, std::uint32_t id, std::string_view name,
                   const std::vector<ValueBytes>& values);
};

}  // namespace image::dat
