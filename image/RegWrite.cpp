#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string_view>
#include <utility>

#include "ImageText.h"
#include "RegFile.h"
#include "RootKeys.h"

namespace image {
namespace {

using sim::Change;
using sim::KeySnapshot;
using sim::Registry;
using sim::Value;
namespace path = sim::path;
using text::equalNoCase;

constexpr std::string_view kCrlf = "\r\n";

// Regedit wraps hex lists so that no line passes this column, "\" included.
constexpr std::size_t kHexLineLimit = 78;

using Bytes = std::vector<std::uint8_t>;

// ---------------------------------------------------------------------------
// Writing: the image is built as 8-bit text and widened for version 5. With
// a sink it goes out a key at a time, so that a large image never sits whole
// in memory.

class Writer {
public:
  explicit Writer(RegFormat format, std::ostream* sink = nullptr) : format_(format), sink_(sink) {
    out_.append(format == RegFormat::Regedit5 ? kRegHeader5 : kRegHeader4);
    out_.append(kCrlf);
    out_.append(kCrlf);
  }

  // A key line; its values follow, and a blank line ends the key.
  void key(std::string_view path, bool deletion = false) {
    refuseNul("key", path);
    out_.append(deletion ? "[-" : "[");
    const auto full = path::fullRootPath(path);
    out_.append(full ? *full : std::string(path));
    out_.append("]");
    out_.append(kCrlf);
  }

  void endKey() {
    out_.append(kCrlf);
    if (sink_ && out_.size() >= kFlushSize) flush();
  }

  void value(const Value& v) {
    refuseNul("value", v.name);
    std::string line = v.name.empty() ? std::string("@") : quote(v.name);
    line.push_back('=');
    if (v.type == REG_SZ && isPlainText(v.data)) {
      line.append(
          quote(std::string_view(reinterpret_cast<const char*>(v.data.data()), v.data.size() - 1)));
    } else if (v.type == REG_DWORD && v.data.size() == 4) {
      const std::uint32_t d =
          static_cast<std::uint32_t>(v.data[0]) | static_cast<std::uint32_t>(v.data[1]) << 8 |
          static_cast<std::uint32_t>(v.data[2]) << 16 | static_cast<std::uint32_t>(v.data[3]) << 24;
      line.append("dword:");
      line.append(hex(d, 8));
    } else {
      line.append(v.type == REG_BINARY ? std::string("hex:") : "hex(" + hex(v.type, 1) + "):");
      appendHexList(line, widenedIfText(v));
    }
    out_.append(line);
    out_.append(kCrlf);
  }

  // A line that deletes the value.
  void deletedValue(std::string_view name) {
    refuseNul("value", name);
    out_.append(name.empty() ? std::string("@") : quote(name));
    out_.append("=-");
    out_.append(kCrlf);
  }

  // The whole image, or with a sink what is left of it (nothing returned).
  std::string finish() {
    if (sink_) {
      flush();
      return {};
    }
    std::string image = encoded();
    out_.clear();
    return image;
  }

private:
  static constexpr std::size_t kFlushSize = std::size_t(1) << 16;
  RegFormat format_;
  std::ostream* sink_;
  bool started_ = false;  // the byte-order mark is out
  std::string out_;

  // Version 5 images are UTF-16LE with a byte-order mark; every 8-bit
  // character is its own Latin-1 code point.
  std::string encoded() {
    if (format_ == RegFormat::Regedit4) return out_;
    std::string wide(started_ ? "" : "\xFF\xFE");
    started_ = true;
    wide.reserve(wide.size() + out_.size() * 2);
    for (char c : out_) {
      wide.push_back(c);
      wide.push_back('\0');
    }
    return wide;
  }

  void flush() {
    const std::string bytes = encoded();
    sink_->write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out_.clear();
  }

  // A .reg image has no way to write a NUL or a line feed in a name, and
  // one written raw would make an image that no reader takes back as it was
  // (ours refuses a NUL and ends the line at a line feed): such a registry
  // cannot be written, rather than be written wrong. A carriage return alone
  // ends no line, so it is written as it is and read back.
  static void refuseNul(std::string_view what, std::string_view name) {
    if (name.find_first_of(std::string_view("\0\n", 2)) == std::string_view::npos) return;
    std::string shown;
    for (char c : name)
      shown += c == '\0'   ? std::string_view("<NUL>")
               : c == '\n' ? std::string_view("<LF>")
                           : std::string_view(&c, 1);
    throw Error::aboutKey(std::string(name),
                          std::string(what) + " \"" + shown +
                              "\" holds a NUL character or a line break, which a .reg image "
                              "cannot hold");
  }

  static std::string hex(std::uint32_t value, int minDigits) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string s;
    do {
      s.insert(s.begin(), kDigits[value & 0xF]);
      value >>= 4;
    } while (value != 0);
    while (static_cast<int>(s.size()) < minDigits) s.insert(s.begin(), '0');
    return s;
  }

  static std::string quote(std::string_view text) {
    std::string s("\"");
    for (char c : text) {
      if (c == '\\' || c == '"') s.push_back('\\');
      s.push_back(c);
    }
    s.push_back('"');
    return s;
  }

  // A REG_SZ goes out as a quoted string only when reading that string back
  // gives the same bytes: one terminating NUL, no other, and nothing that
  // would break the line.
  static bool isPlainText(const Bytes& data) {
    if (data.empty() || data.back() != 0) return false;
    for (std::size_t i = 0; i + 1 < data.size(); ++i) {
      if (data[i] < 0x20 || data[i] == 0x7F) return false;
    }
    return true;
  }

  // In a version 5 image the text types' bytes are UTF-16LE.
  Bytes widenedIfText(const Value& v) const {
    const bool text = v.type == REG_SZ || v.type == REG_EXPAND_SZ || v.type == REG_MULTI_SZ;
    if (format_ != RegFormat::Regedit5 || !text) return v.data;
    Bytes wide;
    wide.reserve(v.data.size() * 2);
    for (std::uint8_t b : v.data) {
      wide.push_back(b);
      wide.push_back(0);
    }
    return wide;
  }

  void appendHexList(std::string& line, const Bytes& data) {
    std::size_t column = line.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
      const bool last = i + 1 == data.size();
      const std::size_t width = last ? 2 : 3;
      if (column + width + (last ? 0 : 1) > kHexLineLimit) {
        line.append("\\");
        line.append(kCrlf);
        line.append("  ");
        column = 2;
      }
      line.append(hex(data[i], 2));
      if (!last) line.push_back(',');
      column += width;
    }
  }
};

}  // namespace

namespace {

void writeKeys(const Registry& registry, Writer& writer) {
  // forEachKey walks the roots in table order without visiting them, so a
  // root's own values go out just before its first key, or after the last
  // root's keys when it has none.
  std::size_t nextRoot = 0;
  auto writeRootsUpTo = [&](std::size_t end) {
    for (; nextRoot < end; ++nextRoot) {
      const std::string_view root = path::kRootKeys[nextRoot].full;
      const std::vector<Value> values = registry.values(root);
      if (values.empty()) continue;
      writer.key(root);
      for (const Value& v : values) writer.value(v);
      writer.endKey();
    }
  };
  registry.forEachKey([&](const KeySnapshot& key) {
    const path::RootKey* root =
        path::findRoot(std::string_view(key.path).substr(0, key.path.find('\\')));
    if (root) writeRootsUpTo(std::size_t(root - path::kRootKeys) + 1);
    writer.key(key.path);
    for (const Value& v : key.values) writer.value(v);
    writer.endKey();
  });
  writeRootsUpTo(path::kRootKeyCount);
}

}  // namespace

std::string writeRegText(const Registry& registry, RegFormat format) {
  Writer writer(format);
  writeKeys(registry, writer);
  return writer.finish();
}

void writeRegImage(const Registry& registry, std::ostream& out, RegFormat format) {
  Writer writer(format, &out);
  writeKeys(registry, writer);
  writer.finish();
}

void saveRegFile(const Registry& registry, const std::filesystem::path& file, RegFormat format) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  writeRegImage(registry, out, format);
  out.flush();
  if (!out) throw Error(file, "cannot be written");
}

std::string writeUndoText(const std::vector<Change>& changes, RegFormat format) {
  // Later changes are undone first, so that a key created and then deleted
  // by the run is put back and then removed again.
  Writer writer(format);
  for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
    switch (it->kind) {
      case Change::Kind::DeletedKey:
        writer.key(it->path);
        for (const Value& v : it->values) writer.value(v);
        writer.endKey();
        break;
      case Change::Kind::DeletedValue: {
        if (it->values.empty()) break;  // nothing recorded to put back
        Value restored = it->values.front();
        restored.name = it->valueName;
        writer.key(it->path);
        writer.value(restored);
        writer.endKey();
        break;
      }
      case Change::Kind::CreatedKey:
        writer.key(it->path, /*deletion=*/true);
        writer.endKey();
        break;
      default:
        break;  // device-tree and file changes are not registry images
    }
  }
  return writer.finish();
}

namespace {

bool sameValue(const Value& a, const Value& b) {
  return a.type == b.type && a.data == b.data;
}

const Value* findValue(const std::vector<Value>& values, std::string_view name) {
  for (const Value& value : values)
    if (text::equalNoCase(value.name, name)) return &value;
  return nullptr;
}

std::string parentOf(const std::string& path) {
  const auto slash = path.rfind('\\');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

}  // namespace

RegistrySnapshot snapshotBelow(const Registry& registry, const std::vector<std::string>& roots) {
  RegistrySnapshot snapshot;
  registry.forEachKey([&](const KeySnapshot& key) {
    for (const std::string& root : roots) {
      if (!text::atOrBelow(key.path, root)) continue;
      snapshot.emplace(text::upper(key.path), key);
      return;
    }
  });
  return snapshot;
}

std::string writeUndoDiff(const RegistrySnapshot& before, const RegistrySnapshot& after,
                          RegFormat format) {
  Writer writer(format);
  // Keys the run added: the topmost of each added subtree goes, with
  // everything below it.
  for (const auto& [upperPath, key] : after) {
    const std::string parent = parentOf(upperPath);
    if (before.count(upperPath) != 0 || (after.count(parent) != 0 && before.count(parent) == 0))
      continue;
    writer.key(key.path, /*deletion=*/true);
    writer.endKey();
  }
  // Keys the run deleted come back whole; kept keys get their values back.
  for (const auto& [upperPath, old] : before) {
    const auto now = after.find(upperPath);
    if (now == after.end()) {
      writer.key(old.path);
      for (const Value& value : old.values) writer.value(value);
      writer.endKey();
      continue;
    }
    std::vector<const Value*> reset;
    std::vector<std::string_view> added;
    for (const Value& value : old.values) {
      const Value* current = findValue(now->second.values, value.name);
      if (current == nullptr || !sameValue(*current, value)) reset.push_back(&value);
    }
    for (const Value& value : now->second.values)
      if (findValue(old.values, value.name) == nullptr) added.push_back(value.name);
    if (reset.empty() && added.empty()) continue;
    writer.key(old.path);
    for (std::string_view name : added) writer.deletedValue(name);
    for (const Value* value : reset) writer.value(*value);
    writer.endKey();
  }
  return writer.finish();
}

}  // namespace image
