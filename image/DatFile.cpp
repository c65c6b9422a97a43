#include "DatFile.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <unordered_set>
#include <utility>

#include "ImageText.h"

namespace image::dat {

namespace {

constexpr std::uint32_t kNone = 0xFFFFFFFF;
constexpr std::uint32_t kTable = 0x20;  // the key table follows the file header
constexpr std::uint32_t kEntrySize = 28;
constexpr std::uint32_t kFreeEntry = 0x80000000;
constexpr std::uint32_t kBlockHeader = 0x20;
constexpr std::uint32_t kRecordHeader = 0x14;
constexpr std::uint32_t kValueHeader = 0x0C;
constexpr std::uint32_t kFreeRecordHeader = 0x0C;
constexpr std::uint32_t kChunk = 0x1000;
constexpr std::uint16_t kMaxId = 0xFE;  // ids per block: 0 to 0xFE
// What Windows 95/98/Me hold: value data of 16,300 bytes, names of 255, and
// data blocks of up to 60 KB (the largest that Windows Me lays out), which a
// new block and a record with its block header stay within.
constexpr std::uint32_t kMaxBlock = 0xF000;
constexpr std::size_t kMaxData = 16300;
constexpr std::size_t kMaxName = 255;
// A free record smaller than this stays with the record carved before it.
constexpr std::uint32_t kMinFreeRecord = 0x20;

std::uint32_t get32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return std::uint32_t(bytes[at]) | std::uint32_t(bytes[at + 1]) << 8 |
         std::uint32_t(bytes[at + 2]) << 16 | std::uint32_t(bytes[at + 3]) << 24;
}
std::uint16_t get16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint16_t>(bytes[at] | bytes[at + 1] << 8);
}
void put32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<std::uint8_t>(value >> (8 * i));
}
void put16(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint16_t value) {
  bytes[at] = static_cast<std::uint8_t>(value);
  bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::string hex(std::uint64_t value) {
  char buffer[24];
  std::snprintf(buffer, sizeof buffer, "0x%llX", static_cast<unsigned long long>(value));
  return buffer;
}

[[noreturn]] void fault(const std::string& what) {
  throw Error(what);
}

bool signatureAt(std::span<const std::uint8_t> bytes, std::size_t at, const char* signature) {
  return bytes.size() >= at + 4 && std::memcmp(bytes.data() + at, signature, 4) == 0;
}

// Walks the records of one data block and checks each; fills the block's
// in-use records into `records` (by block * 256 + id: the file offset). Windows 98 and Me chain
// a block's free records; Windows 95 packs its records from the block's start
// and leaves the free space, one free record, at its end (`packed`).
struct BlockCheck {
  std::span<const std::uint8_t> bytes;
  std::vector<std::uint32_t>& records;
  std::size_t values = 0;
  std::size_t found = 0;  // records in use

  void run(std::size_t index, std::uint32_t offset, std::uint32_t size, bool packed,
           std::uint64_t& freeRecordBytes) {
    const std::string where = "data block " + std::to_string(index) + " at " + hex(offset);
    std::vector<std::uint32_t> freeRecords;  // relative offsets, ascending
    std::uint64_t freeBytes = 0;
    std::vector<bool> idUsed(kMaxId + 1, false);
    int highestUsed = -1;
    const std::uint32_t end = offset + size;
    for (std::uint32_t at = offset + kBlockHeader; at < end;) {
      const auto record = [&] { return where + ", record at " + hex(at); };
      if (end - at < kFreeRecordHeader) fault(record() + ": runs past the block's end");
      const std::uint32_t recordSize = get32(bytes, at);
      if (recordSize < kFreeRecordHeader || recordSize > end - at)
        fault(record() + ": size " + hex(recordSize) + " does not fit the block");
      const std::uint32_t id = get32(bytes, at + 4);
      if (id == kNone) {
        if (packed && at + recordSize != end) fault(record() + ": free, before the block's end");
        freeRecords.push_back(at - offset);
        freeBytes += recordSize;
      } else {
        checkKeyRecord(record, index, at, recordSize, id);
        const std::uint16_t low = id & 0xFFFF;
        if (low > kMaxId) fault(record() + ": id " + hex(low) + " above " + hex(kMaxId));
        if (idUsed[low]) fault(record() + ": id " + hex(low) + " is used twice in the block");
        idUsed[low] = true;
        highestUsed = std::max<int>(highestUsed, low);
        records[index * 256 + low] = at;
        ++found;
      }
      at += recordSize;
    }
    freeRecordBytes += freeBytes;
    if (freeBytes != get32(bytes, offset + 8))
      fault(where + ": free space counter " + hex(get32(bytes, offset + 8)) +
            ", free records hold " + hex(freeBytes));
    const std::uint32_t firstLink = get32(bytes, offset + 0x10);
    if (packed) {
      if (firstLink != kNone && (freeRecords.empty() || firstLink != freeRecords.front()))
        fault(where + ": free record chain reaches " + hex(firstLink) + ", not its free end");
    } else {
      // The chain must reach every free record once and nothing else.
      std::size_t chained = 0;
      for (std::uint32_t link = firstLink; link != kNone; ++chained) {
        if (chained == freeRecords.size())
          fault(where + ": free record chain is longer than its " +
                std::to_string(freeRecords.size()) + " free records (a loop)");
        if (!std::binary_search(freeRecords.begin(), freeRecords.end(), link))
          fault(where + ": free record chain reaches " + hex(link) + ", not a free record");
        link = get32(bytes, offset + link + 8);
      }
      if (chained != freeRecords.size())
        fault(where + ": free record chain holds " + std::to_string(chained) + " of " +
              std::to_string(freeRecords.size()) + " free records");
    }
    const std::uint16_t highest = get16(bytes, offset + 0x14);
    const std::uint16_t firstFree = get16(bytes, offset + 0x16);
    if (highestUsed >= 0 && highest < highestUsed)
      fault(where + ": highest id " + hex(highest) + " is below id " + hex(highestUsed) +
            " in use");
    const auto unused = std::find(idUsed.begin(), idUsed.end(), false);
    const auto lowestUnused = static_cast<std::uint16_t>(unused - idUsed.begin());
    if (firstFree != lowestUnused)
      fault(where + ": first free id " + hex(firstFree) + ", the lowest unused is " +
            hex(lowestUnused));
  }

  template <typename Text>
  void checkKeyRecord(const Text& record, std::size_t index, std::uint32_t at, std::uint32_t size,
                      std::uint32_t id) {
    if (id >> 16 != index) fault(record() + ": id " + hex(id) + " names another block");
    if (size < kRecordHeader) fault(record() + ": too small for a key record");
    const std::uint32_t used = get32(bytes, at + 8);
    if (used < kRecordHeader || used > size)
      fault(record() + ": used size " + hex(used) + " outside its size " + hex(size));
    const std::uint32_t end = at + used;
    const std::uint16_t nameLength = get16(bytes, at + 0x0C);
    const std::uint16_t valueCount = get16(bytes, at + 0x0E);
    std::uint64_t next = std::uint64_t(at) + kRecordHeader + nameLength;
    if (next > end) fault(record() + ": name runs past the used size");
    for (std::uint16_t i = 0; i < valueCount; ++i) {
      if (next + kValueHeader > end)
        fault(record() + ": value " + std::to_string(i) + " runs past the used size");
      next += kValueHeader + get16(bytes, next + 8) + get16(bytes, next + 10);
      if (next > end) fault(record() + ": value " + std::to_string(i) + " runs past the used size");
    }
    if (next != end)
      fault(record() + ": used size " + hex(used) + ", its name and values take " + hex(next - at));
    values += valueCount;
  }
};

}  // namespace

bool hasSignature(std::span<const std::uint8_t> bytes) {
  return signatureAt(bytes, 0, "CREG");
}

namespace {

// The hash without the bytes above 0x7F, as some writers may have made it:
// accepted on reading, so that a name in another code page does not make a
// sound file look damaged.
std::uint32_t asciiNameHash(std::string_view name, const Charset& charset) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < name.size();) {
    const std::size_t length = charset.charLength(name, i);
    if (length == 1 && static_cast<std::uint8_t>(name[i]) < 0x80)
      sum += static_cast<std::uint8_t>(text::upperChar(name[i]));
    i += length;
  }
  return sum;
}

// A key name Windows 95/98/Me can make: not empty, no '\' character. A
// trail byte 0x5C of a double-byte character is not one.
const char* badKeyName(std::string_view name, const Charset& charset) {
  if (name.empty()) return "an empty name";
  for (std::size_t i = 0; i < name.size(); i += charset.charLength(name, i)) {
    if (name[i] == '\\') return "a name holding '\\'";
    // Written in a path, its lead byte would take the '\' after it.
    if (i + 1 == name.size() && charset.lead(name[i])) return "a name ending in half a character";
  }
  return nullptr;
}

}  // namespace

std::uint32_t nameHash(std::string_view name, const Charset& charset) {
  std::uint32_t sum = 0;
  platform::names::Folder folder(charset);
  for (char c : name) sum += static_cast<std::uint8_t>(folder.next(c));
  return sum;
}

std::span<const std::uint8_t> storedData(std::uint32_t type, std::span<const std::uint8_t> data) {
  return type == 1 && !data.empty() && data.back() == 0 ? data.first(data.size() - 1) : data;
}

Summary check(std::span<const std::uint8_t> bytes, const Charset& charset) {
  Summary summary;
  summary.size = bytes.size();
  if (!hasSignature(bytes)) fault("not a CREG file (no CREG signature)");
  if (bytes.size() < kTable + kBlockHeader)
    fault("truncated: " + std::to_string(bytes.size()) + " bytes, shorter than the headers");
  if (!signatureAt(bytes, kTable, "RGKN")) fault("no RGKN signature at 0x20");
  const std::uint32_t tableSize = get32(bytes, kTable + 4);
  if (tableSize < kBlockHeader + kEntrySize || tableSize > bytes.size() - kTable)
    fault("truncated or damaged: key table size " + hex(tableSize) + " does not fit the file (" +
          std::to_string(bytes.size()) + " bytes)");
  // Windows 95, 98 and Me write format 1.0 and leave these fields 0: a file
  // of another format, or with something there, is not one the editor knows.
  if (get32(bytes, 4) != 0x00010000)
    fault("file header: format " + std::to_string(get16(bytes, 6)) + "." +
          std::to_string(get16(bytes, 4)) + ", not 1.0");
  for (const std::uint32_t reserved : {0x18u, 0x1Cu, kTable + 0x18, kTable + 0x1C})
    if (get32(bytes, reserved) != 0)
      fault((reserved < kTable ? "file header" : "key table header") +
            std::string(": reserved field at ") + hex(reserved) + " holds " +
            hex(get32(bytes, reserved)));
  summary.headerChecksum = get32(bytes, 0x0C);
  summary.tableChecksum = get32(bytes, kTable + 0x14);
  const std::uint32_t firstBlock = get32(bytes, 8);
  if (firstBlock != kTable + tableSize)
    fault("first data block at " + hex(firstBlock) + ", the key table ends at " +
          hex(kTable + tableSize));

  // Data blocks.
  std::vector<std::uint32_t> records;  // by block * 256 + id: the offset, 0 for none
  std::size_t recordCount = 0;
  const std::size_t count = get16(bytes, 0x10);
  summary.blocks = count;
  std::uint64_t offset = firstBlock;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string where = "data block " + std::to_string(i) + " at " + hex(offset);
    if (offset + kBlockHeader > bytes.size())
      fault("truncated: " + where + " of " + std::to_string(count) + " is missing");
    if (!signatureAt(bytes, offset, "RGDB")) fault(where + ": no RGDB signature");
    const std::uint32_t size = get32(bytes, offset + 4);
    if (size < kChunk || size % kChunk != 0)
      fault(where + ": size " + hex(size) + " is not a whole number of 4 KB");
    if (offset + size > bytes.size())
      fault("truncated: " + where + " ends at " + hex(offset + size) + ", after the file's end " +
            hex(bytes.size()));
    if (get16(bytes, offset + 0x0E) != i)
      fault(where + ": numbered " + std::to_string(get16(bytes, offset + 0x0E)));
    // A block that breaks the chained layout may be in the packed one; a
    // file that is in neither is named by the chained layout's fault.
    records.resize((i + 1) * 256, 0);
    BlockCheck block{bytes, records};
    std::uint64_t freeBytes = 0;
    try {
      block.run(i, static_cast<std::uint32_t>(offset), size, false, freeBytes);
    } catch (const Error& chained) {
      std::fill(records.begin() + i * 256, records.end(), 0);
      block.values = 0;
      block.found = 0;
      freeBytes = 0;
      try {
        block.run(i, static_cast<std::uint32_t>(offset), size, true, freeBytes);
      } catch (const Error&) {
        throw chained;
      }
      summary.layout = Layout::win95;
    }
    recordCount += block.found;
    summary.values += block.values;
    summary.freeRecordBytes += freeBytes;
    offset += size;
  }
  if (offset != bytes.size())
    fault(std::to_string(bytes.size() - offset) + " bytes after the last of " +
          std::to_string(count) + " data blocks");

  // The key tree: a walk that remembers every entry it reached, so that a
  // link back into the tree is a fault and not a loop.
  const auto inTable = [&](std::uint32_t at) {
    return at >= kBlockHeader && at <= tableSize - kEntrySize && at % 4 == 0;
  };
  const auto entry = [&](std::uint32_t at, std::size_t field) {
    return get32(bytes, kTable + at + field);
  };
  const std::uint32_t root = get32(bytes, kTable + 8);
  if (!inTable(root)) fault("root key entry " + hex(root) + " outside the key table");
  if (entry(root, 0x0C) != kNone) fault("root key entry " + hex(root) + " has a parent");
  // Entries reached, by offset / 4; records owned, as `records`.
  std::vector<bool> seen(tableSize / 4 + 1, false);
  seen[root / 4] = true;
  std::size_t seenCount = 1;
  std::vector<bool> recordsUsed(records.size(), false);
  std::size_t recordsUsedCount = 0;
  const auto recordAt = [&](std::uint32_t id) -> std::uint32_t {
    const std::size_t slot = std::size_t(id >> 16) * 256 + (id & 0xFFFF);
    return (id & 0xFFFF) <= kMaxId && slot < records.size() ? records[slot] : 0;
  };
  std::unordered_set<std::string> siblingNames;  // parent's 4 bytes and upper-cased name
  siblingNames.reserve(tableSize / kEntrySize);
  std::vector<std::uint32_t> stack{root};
  const auto follow = [&](std::uint32_t from, std::uint32_t to, const char* link,
                          std::uint32_t parent) {
    if (to == kNone) return;
    const auto what = [&] { return "key entry " + hex(from) + ": " + link + " " + hex(to); };
    if (!inTable(to)) fault(what() + " outside the key table");
    if (seen[to / 4]) fault(what() + " reached twice (a loop)");
    seen[to / 4] = true;
    ++seenCount;
    if (entry(to, 0x0C) != parent)
      fault(what() + " names " + hex(entry(to, 0x0C)) + " as its parent, not " + hex(parent));
    stack.push_back(to);
  };
  const auto nameOf = [&](std::uint32_t record) {
    return std::string_view(reinterpret_cast<const char*>(bytes.data()) + record + kRecordHeader,
                            get16(bytes, record + 0x0C));
  };
  // A key's path, for a fault found on it: its parents are checked already.
  const auto pathOf = [&](std::uint32_t at) {
    std::string path;
    for (std::uint32_t key = at; key != root; key = entry(key, 0x0C)) {
      const std::uint32_t id = get16(bytes, kTable + key + 0x18) |
                               std::uint32_t(get16(bytes, kTable + key + 0x1A)) << 16;
      const std::uint32_t record = recordAt(id);
      std::string name = record == 0 ? "?" : std::string(nameOf(record));
      if (name.empty()) name = "\"\"";
      path = path.empty() ? name : name + '\\' + path;
    }
    return path;
  };
  std::vector<std::string> valueNames;
  while (!stack.empty()) {
    const std::uint32_t at = stack.back();
    stack.pop_back();
    const auto where = [&] { return "key entry " + hex(at); };
    if (entry(at, 0) != 0) fault(where() + ": marked free but linked into the tree");
    follow(at, entry(at, 0x10), "first child", at);
    if (at != root) follow(at, entry(at, 0x14), "next sibling", entry(at, 0x0C));
    if (at == root) {
      if (entry(root, 0x14) != kNone) fault("root key entry has a sibling");
      continue;
    }
    const std::uint32_t id =
        get16(bytes, kTable + at + 0x18) | std::uint32_t(get16(bytes, kTable + at + 0x1A)) << 16;
    const std::uint32_t record = recordAt(id);
    if (record == 0)
      fault(where() + ": no record with id " + hex(id & 0xFFFF) + " in data block " +
            std::to_string(id >> 16));
    const std::size_t slot = std::size_t(id >> 16) * 256 + (id & 0xFFFF);
    if (recordsUsed[slot]) fault(where() + ": record " + hex(id) + " belongs to two key entries");
    recordsUsed[slot] = true;
    ++recordsUsedCount;
    const std::string_view name = nameOf(record);
    const auto keyFault = [&](const std::string& what) {
      fault("key " + pathOf(at) + " (entry " + hex(at) + "): " + what);
    };
    if (const char* bad = badKeyName(name, charset)) keyFault(bad);
    if (entry(at, 4) != nameHash(name, charset) && entry(at, 4) != asciiNameHash(name, charset))
      keyFault("name hash " + hex(entry(at, 4)) + ", expected " + hex(nameHash(name, charset)));
    // Names are case-insensitive: two siblings of one name would be one key.
    std::string sibling(4, '\0');
    std::memcpy(sibling.data(), bytes.data() + kTable + at + 0x0C, 4);
    if (!siblingNames.insert(sibling + platform::names::upper(name, charset)).second)
      keyFault("a second subkey named " + std::string(name) + " in one key");
    // And so are a key's value names.
    const std::uint16_t valueCount = get16(bytes, record + 0x0E);
    if (valueCount < 2) continue;
    valueNames.clear();
    std::size_t value = record + kRecordHeader + name.size();
    for (std::uint16_t i = 0; i < valueCount; ++i) {
      const std::uint16_t nameLength = get16(bytes, value + 8);
      valueNames.push_back(platform::names::upper(
          {reinterpret_cast<const char*>(bytes.data()) + value + kValueHeader, nameLength},
          charset));
      value += kValueHeader + nameLength + get16(bytes, value + 10);
    }
    std::sort(valueNames.begin(), valueNames.end());
    const auto twice = std::adjacent_find(valueNames.begin(), valueNames.end());
    if (twice != valueNames.end())
      keyFault("two values named \"" + *twice + "\" as Windows compares names");
  }
  summary.keys = seenCount;
  if (recordsUsedCount != recordCount)
    fault(std::to_string(recordCount - recordsUsedCount) + " key records belong to no key entry");

  // Free areas of the key table, and no overlap with an entry in use.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> areas;  // start, end
  areas.reserve(seenCount);
  for (std::uint32_t at = 0; at < seen.size(); ++at)
    if (seen[at]) areas.emplace_back(at * 4, at * 4 + kEntrySize);
  std::size_t steps = 0;
  for (std::uint32_t at = get32(bytes, kTable + 0x0C); at != kNone; at = entry(at, 8)) {
    const std::string where = "key table free area " + hex(at);
    if (++steps > tableSize / kFreeRecordHeader) fault("key table free list loops");
    if (at < kBlockHeader || at % 4 != 0 || at > tableSize - kFreeRecordHeader)
      fault(where + " outside the key table");
    if (entry(at, 0) != kFreeEntry) fault(where + ": not marked free");
    const std::uint32_t size = entry(at, 4);
    if (size < kFreeRecordHeader || size % 4 != 0 || size > tableSize - at)
      fault(where + ": size " + hex(size) + " does not fit the key table");
    areas.emplace_back(at, at + size);
    summary.freeEntryBytes += size;
  }
  std::sort(areas.begin(), areas.end());
  for (std::size_t i = 1; i < areas.size(); ++i)
    if (areas[i].first < areas[i - 1].second)
      fault("key table: " + hex(areas[i].first) + " overlaps the entry or free area at " +
            hex(areas[i - 1].first));
  return summary;
}

// ---------------------------------------------------------------------------

std::string notWritable(const Summary& summary) {
  if (summary.layout == Layout::win95)
    return "Windows 95's layout (records packed in each data block, its free space at the end): "
           "writing it back has not been proven on such a file";
  const auto checksum = [](const char* where, std::uint32_t value) {
    return std::string("a checksum in the ") + where + " (" + hex(value) +
           "), which the editor cannot keep valid";
  };
  if (summary.headerChecksum != 0) return checksum("file header", summary.headerChecksum);
  if (summary.tableChecksum != 0) return checksum("key table header", summary.tableChecksum);
  return {};
}

Editor::Editor(std::vector<std::uint8_t> bytes, const Charset& charset)
    : bytes_(std::move(bytes)), charset_(charset) {
  index(check(bytes_, charset_));
}

Editor::Editor(std::vector<std::uint8_t> bytes, const Charset& charset, const Summary& checked)
    : bytes_(std::move(bytes)), charset_(charset) {
  index(checked);
}

void Editor::index(const Summary& checked) {
  if (const std::string why = notWritable(checked); !why.empty()) fault("not written back: " + why);
  std::uint32_t offset = get32(bytes_, 8);
  for (std::size_t i = 0, n = get16(bytes_, 0x10); i < n; ++i) {
    const Block block{offset, get32(bytes_, offset + 4)};
    blocks_.push_back(block);
    for (std::uint32_t rec = block.offset + kBlockHeader; rec < block.offset + block.size;
         rec += get32(bytes_, rec))
      if (get32(bytes_, rec + 4) != kNone) records_.emplace(get32(bytes_, rec + 4), rec - offset);
    offset += block.size;
  }
}

Editor::Key Editor::root() const {
  return get32(bytes_, kTable + 8);
}

std::vector<Editor::Key> Editor::children(Key key) const {
  std::vector<Key> out;
  for (Key child = get32(bytes_, entryAt(key) + 0x10); child != kNone;
       child = get32(bytes_, entryAt(child) + 0x14))
    out.push_back(child);
  return out;
}

Editor::Place Editor::recordOf(Key key) const {
  const std::uint32_t at = entryAt(key);
  const std::uint16_t index = get16(bytes_, at + 0x1A);
  const std::uint32_t id = get16(bytes_, at + 0x18) | std::uint32_t(index) << 16;
  const auto record = records_.find(id);
  if (index >= blocks_.size() || record == records_.end())
    fault("key entry " + hex(key) + ": its record is missing");
  return {index, blocks_[index].offset + record->second};
}

std::string Editor::name(Key key) const {
  const std::uint32_t rec = recordOf(key).offset;
  return std::string(reinterpret_cast<const char*>(bytes_.data()) + rec + kRecordHeader,
                     get16(bytes_, rec + 0x0C));
}

std::vector<ValueBytes> Editor::values(Key key) const {
  const std::uint32_t rec = recordOf(key).offset;
  std::vector<ValueBytes> out;
  std::size_t at = rec + kRecordHeader + get16(bytes_, rec + 0x0C);
  for (std::uint16_t i = 0, n = get16(bytes_, rec + 0x0E); i < n; ++i) {
    ValueBytes value;
    value.type = get32(bytes_, at);
    value.reserved = get32(bytes_, at + 4);
    const std::uint16_t nameLength = get16(bytes_, at + 8);
    const std::uint16_t dataLength = get16(bytes_, at + 10);
    const auto* start = bytes_.data() + at + kValueHeader;
    value.name.assign(reinterpret_cast<const char*>(start), nameLength);
    value.data.assign(start + nameLength, start + nameLength + dataLength);
    out.push_back(std::move(value));
    at += kValueHeader + nameLength + dataLength;
  }
  return out;
}

void Editor::removeKey(Key key) {
  if (key == root()) fault("the root key cannot be deleted");
  const std::uint32_t at = entryAt(key);
  const std::uint32_t parent = entryAt(get32(bytes_, at + 0x0C));
  const std::uint32_t next = get32(bytes_, at + 0x14);
  if (get32(bytes_, parent + 0x10) == key) {
    put32(bytes_, parent + 0x10, next);
  } else {
    Key sibling = get32(bytes_, parent + 0x10);
    while (get32(bytes_, entryAt(sibling) + 0x14) != key)
      sibling = get32(bytes_, entryAt(sibling) + 0x14);
    put32(bytes_, entryAt(sibling) + 0x14, next);
  }
  std::vector<Key> stack{key};
  while (!stack.empty()) {
    const Key current = stack.back();
    stack.pop_back();
    for (Key child : children(current)) stack.push_back(child);
    freeRecord(recordOf(current), true);
    freeEntry(current);
  }
}

void Editor::freeEntry(Key key) {
  const std::uint32_t at = entryAt(key);
  put32(bytes_, at, kFreeEntry);
  put32(bytes_, at + 4, kEntrySize);
  put32(bytes_, at + 8, get32(bytes_, kTable + 0x0C));
  put32(bytes_, kTable + 0x0C, key);
}

void Editor::freeRecord(const Place& place, bool releaseIdToo) {
  const Block block = blocks_[place.block];
  const std::uint32_t rec = place.offset;
  records_.erase(get32(bytes_, rec + 4));
  const auto id = static_cast<std::uint16_t>(get32(bytes_, rec + 4) & 0xFFFF);
  put32(bytes_, rec + 4, kNone);
  put32(bytes_, rec + 8, get32(bytes_, block.offset + 0x10));
  // The used size now holds the chain link: a reader that parses free records
  // too must not look for values within it.
  put16(bytes_, rec + 0x0E, 0);
  put32(bytes_, block.offset + 0x10, rec - block.offset);
  put32(bytes_, block.offset + 8, get32(bytes_, block.offset + 8) + get32(bytes_, rec));
  if (releaseIdToo) releaseId(place.block, id);
}

void Editor::releaseId(std::size_t index, std::uint16_t id) {
  const std::uint32_t header = blocks_[index].offset;
  if (id < get16(bytes_, header + 0x16)) put16(bytes_, header + 0x16, id);
}

std::uint16_t Editor::takeId(std::size_t index) {
  const Block block = blocks_[index];
  const std::uint16_t id = get16(bytes_, block.offset + 0x16);
  std::vector<bool> used(kMaxId + 2, false);
  used[id] = true;
  for (std::uint32_t rec = block.offset + kBlockHeader; rec < block.offset + block.size;
       rec += get32(bytes_, rec))
    if (get32(bytes_, rec + 4) != kNone) used[get32(bytes_, rec + 4) & 0xFFFF] = true;
  const auto lowest = std::find(used.begin(), used.end(), false) - used.begin();
  put16(bytes_, block.offset + 0x16, static_cast<std::uint16_t>(lowest));
  if (id > get16(bytes_, block.offset + 0x14)) put16(bytes_, block.offset + 0x14, id);
  return id;
}

Editor::Key Editor::allocateEntry() {
  for (int attempt = 0; attempt < 2; ++attempt) {
    std::uint32_t link = kTable + 0x0C;
    for (Key at = get32(bytes_, link); at != kNone; at = get32(bytes_, link)) {
      const std::uint32_t size = get32(bytes_, entryAt(at) + 4);
      const std::uint32_t next = get32(bytes_, entryAt(at) + 8);
      if (size >= kEntrySize) {
        if (size - kEntrySize >= kEntrySize) {
          const Key rest = at + kEntrySize;
          put32(bytes_, entryAt(rest), kFreeEntry);
          put32(bytes_, entryAt(rest) + 4, size - kEntrySize);
          put32(bytes_, entryAt(rest) + 8, next);
          put32(bytes_, link, rest);
        } else {
          put32(bytes_, link, next);
        }
        return at;
      }
      link = entryAt(at) + 8;
    }
    growKeyTable();
  }
  fault("no room for a key entry in the key table");
}

// The key table grows by 4 KB; the data blocks move down behind it.
void Editor::growKeyTable() {
  const std::uint32_t size = get32(bytes_, kTable + 4);
  bytes_.insert(bytes_.begin() + kTable + size, kChunk, 0);
  put32(bytes_, kTable + 4, size + kChunk);
  put32(bytes_, 8, get32(bytes_, 8) + kChunk);
  for (Block& block : blocks_) block.offset += kChunk;
  put32(bytes_, entryAt(size), kFreeEntry);
  put32(bytes_, entryAt(size) + 4, kChunk);
  put32(bytes_, entryAt(size) + 8, get32(bytes_, kTable + 0x0C));
  put32(bytes_, kTable + 0x0C, size);
}

bool Editor::takeFreeRecord(std::size_t index, std::uint32_t size, std::uint32_t& offset) {
  const Block block = blocks_[index];
  std::uint32_t link = block.offset + 0x10;
  for (std::uint32_t rel = get32(bytes_, link); rel != kNone; rel = get32(bytes_, link)) {
    const std::uint32_t rec = block.offset + rel;
    const std::uint32_t recordSize = get32(bytes_, rec);
    const std::uint32_t next = get32(bytes_, rec + 8);
    if (recordSize >= size) {
      std::uint32_t taken = recordSize;
      if (recordSize - size >= kMinFreeRecord) {
        taken = size;
        put32(bytes_, rec + size, recordSize - size);
        put32(bytes_, rec + size + 4, kNone);
        put32(bytes_, rec + size + 8, next);
        // No name and no values: readers that walk the block parse free
        // records too, and the bytes here are the middle of an older record.
        put32(bytes_, rec + size + 0x0C, 0);
        put32(bytes_, link, rel + size);
        put32(bytes_, rec, size);
      } else {
        put32(bytes_, link, next);
      }
      put32(bytes_, block.offset + 8, get32(bytes_, block.offset + 8) - taken);
      offset = rec;
      return true;
    }
    link = rec + 8;
  }
  return false;
}

std::size_t Editor::appendBlock(std::uint32_t need) {
  const std::uint32_t size = (kBlockHeader + need + kChunk - 1) / kChunk * kChunk;
  const std::size_t index = get16(bytes_, 0x10);
  if (index == 0xFFFF) fault("no room for another data block");
  const std::uint16_t flags = blocks_.empty() ? 8 : get16(bytes_, blocks_.front().offset + 0x0C);
  const std::size_t at = bytes_.size();
  bytes_.resize(at + size, 0);
  std::memcpy(bytes_.data() + at, "RGDB", 4);
  put32(bytes_, at + 4, size);
  put32(bytes_, at + 8, size - kBlockHeader);
  put16(bytes_, at + 0x0C, flags);
  put16(bytes_, at + 0x0E, static_cast<std::uint16_t>(index));
  put32(bytes_, at + 0x10, kBlockHeader);
  put32(bytes_, at + 0x14, 0);  // highest id 0, first free id 0
  put32(bytes_, at + kBlockHeader, size - kBlockHeader);
  put32(bytes_, at + kBlockHeader + 4, kNone);
  put32(bytes_, at + kBlockHeader + 8, kNone);
  put16(bytes_, 0x10, static_cast<std::uint16_t>(index + 1));
  blocks_.push_back({static_cast<std::uint32_t>(at), size});
  return index;
}

Editor::Place Editor::allocateRecord(std::uint32_t size, std::size_t preferred, bool needId) {
  if (kBlockHeader + size > kMaxBlock)
    fault("a key's name and values take " + std::to_string(size) + " bytes, more than a " +
          std::to_string(kMaxBlock / 1024) + " KB data block holds");
  // A block can take the record when it has an id to give and, by its free
  // space counter, room that may fit it.
  const auto fits = [&](std::size_t index, std::uint32_t& offset) {
    const std::uint32_t header = blocks_[index].offset;
    if (needId && get16(bytes_, header + 0x16) > kMaxId) return false;
    if (get32(bytes_, header + 8) < size) return false;
    return takeFreeRecord(index, size, offset);
  };
  std::uint32_t offset = 0;
  for (std::size_t index : {preferred, lastBlock_})
    if (index < blocks_.size() && fits(index, offset)) return {lastBlock_ = index, offset};
  for (std::size_t i = 0; i < blocks_.size(); ++i)
    if (fits(i, offset)) return {lastBlock_ = i, offset};
  const std::size_t index = appendBlock(size);
  if (!takeFreeRecord(index, size, offset)) fault("a new data block has no room");
  return {lastBlock_ = index, offset};
}

void Editor::writeRecord(const Place& place, std::uint32_t id, std::string_view name,
                         const std::vector<ValueBytes>& values) {
  const std::uint32_t rec = place.offset;
  std::size_t at = rec + kRecordHeader;
  std::memcpy(bytes_.data() + at, name.data(), name.size());
  at += name.size();
  for (const ValueBytes& value : values) {
    put32(bytes_, at, value.type);
    put32(bytes_, at + 4, value.reserved);
    put16(bytes_, at + 8, static_cast<std::uint16_t>(value.name.size()));
    put16(bytes_, at + 10, static_cast<std::uint16_t>(value.data.size()));
    at += kValueHeader;
    std::memcpy(bytes_.data() + at, value.name.data(), value.name.size());
    at += value.name.size();
    if (!value.data.empty()) std::memcpy(bytes_.data() + at, value.data.data(), value.data.size());
    at += value.data.size();
  }
  put32(bytes_, rec + 4, id);
  records_[id] = rec - blocks_[place.block].offset;
  put32(bytes_, rec + 8, static_cast<std::uint32_t>(at - rec));
  put16(bytes_, rec + 0x0C, static_cast<std::uint16_t>(name.size()));
  put16(bytes_, rec + 0x0E, static_cast<std::uint16_t>(values.size()));
}

namespace {

std::uint64_t recordSize(std::string_view name, const std::vector<ValueBytes>& values) {
  std::uint64_t size = kRecordHeader + name.size();
  for (const ValueBytes& value : values)
    size += kValueHeader + value.name.size() + value.data.size();
  return size;
}

}  // namespace

std::string Editor::path(Key key) const {
  std::string out;
  for (; key != root(); key = get32(bytes_, entryAt(key) + 0x0C))
    out = out.empty() ? name(key) : name(key) + '\\' + out;
  return out;
}

void Editor::setValues(Key key, const std::vector<ValueBytes>& values) {
  const Place place = recordOf(key);
  const std::string keyName = name(key);
  const auto refuse = [&](const std::string& what) { fault("key " + path(key) + ": " + what); };
  for (const ValueBytes& value : values) {
    if (value.name.size() > kMaxName)
      refuse("a value name of " + std::to_string(value.name.size()) + " bytes, more than the " +
             std::to_string(kMaxName) + " Windows 95/98/Me hold");
    if (value.data.size() > kMaxData)
      refuse("value \"" + value.name + "\" of " + std::to_string(value.data.size()) +
             " bytes, more than the " + std::to_string(kMaxData) + " Windows 95/98/Me hold");
  }
  if (values.size() > 0xFFFF) refuse("more than 65535 values");
  const std::uint64_t need = recordSize(keyName, values);
  if (kBlockHeader + need > kMaxBlock)
    refuse("its name and values take " + std::to_string(need) + " bytes, more than a " +
           std::to_string(kMaxBlock / 1024) + " KB data block holds");
  const std::uint32_t id = get32(bytes_, place.offset + 4);
  if (need <= get32(bytes_, place.offset)) {
    writeRecord(place, id, keyName, values);
    return;
  }
  // The record moves: within its block it keeps its id, else it takes one in
  // the block it moves to.
  std::uint32_t offset = 0;
  if (takeFreeRecord(place.block, static_cast<std::uint32_t>(need), offset)) {
    put32(bytes_, offset + 0x10, get32(bytes_, place.offset + 0x10));
    freeRecord(place, false);
    writeRecord({place.block, offset}, id, keyName, values);
    return;
  }
  const Place moved = allocateRecord(static_cast<std::uint32_t>(need), place.block, true);
  const std::uint16_t newId = takeId(moved.block);
  put32(bytes_, moved.offset + 0x10, get32(bytes_, place.offset + 0x10));
  freeRecord(place, true);
  writeRecord(moved, newId | std::uint32_t(moved.block) << 16, keyName, values);
  put16(bytes_, entryAt(key) + 0x18, newId);
  put16(bytes_, entryAt(key) + 0x1A, static_cast<std::uint16_t>(moved.block));
}

Editor::Key Editor::addKey(Key parent, std::string_view keyName) {
  const auto refuse = [&](const std::string& what) {
    const std::string above = path(parent);
    fault("key " + (above.empty() ? "" : above + '\\') + std::string(keyName) + ": " + what);
  };
  if (const char* bad = badKeyName(keyName, charset_)) refuse(bad);
  if (keyName.size() > kMaxName)
    refuse("a name of " + std::to_string(keyName.size()) + " bytes, more than the " +
           std::to_string(kMaxName) + " Windows 95/98/Me hold");
  const Key key = allocateEntry();  // first: growing the table moves the blocks
  const std::size_t preferred = parent == root() ? 0 : recordOf(parent).block;
  const auto need = static_cast<std::uint32_t>(kRecordHeader + keyName.size());
  const Place place = allocateRecord(need, preferred, true);
  const std::uint16_t id = takeId(place.block);
  put32(bytes_, place.offset + 0x10, 0);
  writeRecord(place, id | std::uint32_t(place.block) << 16, keyName, {});

  const std::uint32_t at = entryAt(key);
  put32(bytes_, at, 0);
  put32(bytes_, at + 4, nameHash(keyName, charset_));
  put32(bytes_, at + 8, kNone);
  put32(bytes_, at + 0x0C, parent);
  put32(bytes_, at + 0x10, kNone);
  put32(bytes_, at + 0x14, kNone);
  put16(bytes_, at + 0x18, id);
  put16(bytes_, at + 0x1A, static_cast<std::uint16_t>(place.block));
  const std::vector<Key> siblings = children(parent);
  put32(bytes_, siblings.empty() ? entryAt(parent) + 0x10 : entryAt(siblings.back()) + 0x14, key);
  return key;
}

}  // namespace image::dat
