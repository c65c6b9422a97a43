// Test helper: prepares hive files for the hive tests with hivex alone,
// independent of the image code under test.
//
//   hive_plant plant IN OUT RECORDS.reg  IN with the image's keys and values added
//   hive_plant drop IN OUT KEY           IN without the key KEY below the root
//   hive_plant unclean IN OUT            IN with differing header sequence numbers
//   hive_plant edit IN OUT STEP...       IN changed by each step in turn:
//     key|PATH             adds the key PATH (UTF-8 names), and missing parents
//     value|PATH|NAME|TEXT appends a REG_SZ value, even when one has the name
//     dword|PATH|NAME|N    appends a REG_DWORD value
//     link|KEY|TARGET      the first entry of KEY's subkey list names TARGET
//     ri-self|KEY          KEY's subkey list becomes an index list naming itself
//     rename|KEY|NAME      KEY's name bytes overwritten (ASCII, same length)
//     sk|KEY               KEY's security record offset names KEY itself
// Paths are below the root, separated by backslashes. The last four patch
// bytes in place, as damage or a crafted file would.
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "ImageText.h"
#include "Machine.h"
#include "RegFile.h"
#include "SimPath.h"

namespace {

struct HiveCloser {
  void operator()(hive_h* hive) const noexcept { hivex_close(hive); }
};
using Hive = std::unique_ptr<hive_h, HiveCloser>;

[[noreturn]] void die(const std::string& what) {
  std::fprintf(stderr, "hive_plant: %s\n", what.c_str());
  std::exit(1);
}

Hive openWritable(const std::string& file) {
  Hive hive(hivex_open(file.c_str(), HIVEX_OPEN_WRITE));
  if (!hive) die("cannot open " + file + ": " + std::strerror(errno));
  return hive;
}

std::string currentSet(hive_h* hive) {
  const hive_node_h select = hivex_node_get_child(hive, hivex_root(hive), "Select");
  if (select == 0) die("no Select key");
  const hive_value_h current = hivex_node_get_value(hive, select, "Current");
  if (current == 0) die("no Select\\Current");
  char name[32];
  std::snprintf(name, sizeof name, "ControlSet%03d", hivex_value_dword(hive, current));
  return name;
}

void plant(const std::string& in, const std::string& out, const std::string& records) {
  sim::Machine machine;
  image::loadRegFile(machine.registry, records);
  Hive hive = openWritable(in);
  const std::string set = currentSet(hive.get());
  machine.registry.forEachKey([&](const sim::KeySnapshot& key) {
    const std::vector<std::string_view> parts = sim::path::keyComponents(key.path);
    if (parts.size() < 2 || parts[0] != "HKEY_LOCAL_MACHINE" || parts[1] != "SYSTEM")
      die("not below HKEY_LOCAL_MACHINE\\SYSTEM: " + key.path);
    hive_node_h node = hivex_root(hive.get());
    for (std::size_t i = 2; i < parts.size(); ++i) {
      const std::string name = image::text::utf8FromLatin1(
          i == 2 && parts[i] == "CurrentControlSet" ? set : std::string(parts[i]));
      hive_node_h child = hivex_node_get_child(hive.get(), node, name.c_str());
      if (child == 0) child = hivex_node_add_child(hive.get(), node, name.c_str());
      if (child == 0) die("cannot add " + key.path);
      node = child;
    }
    if (key.values.empty()) return;
    std::vector<std::string> names;
    std::vector<std::vector<char>> data;
    names.reserve(key.values.size());
    data.reserve(key.values.size());
    std::vector<hive_set_value> values;
    for (const sim::Value& value : key.values) {
      names.push_back(image::text::utf8FromLatin1(value.name));
      std::vector<char> bytes;
      const bool text =
          value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
      for (std::uint8_t byte : value.data) {
        bytes.push_back(static_cast<char>(byte));
        if (text) bytes.push_back(0);  // UTF-16LE, as Windows stores text
      }
      data.push_back(std::move(bytes));
      values.push_back({names.back().data(), static_cast<hive_type>(value.type), data.back().size(),
                        data.back().data()});
    }
    if (hivex_node_set_values(hive.get(), node, values.size(), values.data(), 0) != 0)
      die("cannot set the values of " + key.path);
  });
  if (hivex_commit(hive.get(), out.c_str(), 0) != 0) die("cannot write " + out);
}

void drop(const std::string& in, const std::string& out, const std::string& key) {
  Hive hive = openWritable(in);
  const hive_node_h node = hivex_node_get_child(hive.get(), hivex_root(hive.get()), key.c_str());
  if (node == 0 || hivex_node_delete_child(hive.get(), node) != 0) die("cannot delete " + key);
  if (hivex_commit(hive.get(), out.c_str(), 0) != 0) die("cannot write " + out);
}

// The second sequence number one behind the first, and the base block's
// checksum (the XOR of its first 127 double words) made right again.
void unclean(const std::string& in, const std::string& out) {
  std::ifstream input(in, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(input)),
                          std::istreambuf_iterator<char>());
  if (bytes.size() < 4096) die(in + " is too short");
  auto word = [&bytes](std::size_t at) {
    std::uint32_t value = 0;
    std::memcpy(&value, bytes.data() + at, 4);
    return value;
  };
  auto setWord = [&bytes](std::size_t at, std::uint32_t value) {
    std::memcpy(bytes.data() + at, &value, 4);
  };
  setWord(8, word(4) - 1);
  std::uint32_t sum = 0;
  for (std::size_t at = 0; at < 0x1FC; at += 4) sum ^= word(at);
  setWord(0x1FC, sum);
  std::ofstream output(out, std::ios::binary);
  output.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!output) die("cannot write " + out);
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, separator)) parts.push_back(part);
  if (!text.empty() && text.back() == separator) parts.emplace_back();
  return parts;
}

// The node at PATH (below the root), optionally adding what is missing.
hive_node_h nodeAt(hive_h* hive, const std::string& path, bool add) {
  hive_node_h node = hivex_root(hive);
  for (const std::string& name : split(path, '\\')) {
    if (name.empty()) continue;
    hive_node_h child = hivex_node_get_child(hive, node, name.c_str());
    if (child == 0 && add) child = hivex_node_add_child(hive, node, name.c_str());
    if (child == 0) die("no key " + path);
    node = child;
  }
  return node;
}

std::vector<char> readAll(const std::string& file) {
  std::ifstream input(file, std::ios::binary);
  return std::vector<char>((std::istreambuf_iterator<char>(input)),
                           std::istreambuf_iterator<char>());
}

void writeAll(const std::string& file, const std::vector<char>& bytes) {
  std::ofstream output(file, std::ios::binary | std::ios::trunc);
  output.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!output) die("cannot write " + file);
}

std::string utf16(const std::string& utf8) {
  std::string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const auto lead = static_cast<unsigned char>(utf8[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : 3;  // no surrogates needed
    unsigned unit = length == 1 ? lead : lead & (0x7Fu >> length);
    for (std::size_t k = 1; k < length; ++k) unit = unit << 6 | (utf8[i + k] & 0x3Fu);
    out.push_back(static_cast<char>(unit & 0xFF));
    out.push_back(static_cast<char>(unit >> 8));
    i += length;
  }
  out.append(2, '\0');
  return out;
}

void appendValue(hive_h* hive, hive_node_h node, const std::string& name, const std::string& text,
                 bool dword) {
  std::unique_ptr<hive_value_h, decltype(&std::free)> present(hivex_node_values(hive, node),
                                                              &std::free);
  if (!present) die("cannot read the values of " + name);
  std::vector<std::unique_ptr<char, decltype(&std::free)>> owned;
  std::vector<hive_set_value> values;
  for (const hive_value_h* value = present.get(); *value != 0; ++value) {
    hive_type type{};
    std::size_t length = 0;
    owned.emplace_back(hivex_value_key(hive, *value), &std::free);
    char* key = owned.back().get();
    owned.emplace_back(hivex_value_value(hive, *value, &type, &length), &std::free);
    values.push_back({key, type, length, owned.back().get()});
  }
  std::string data = utf16(text);
  if (dword) {
    const auto number = static_cast<std::uint32_t>(std::stoul(text));
    data.assign(4, '\0');
    for (int i = 0; i < 4; ++i) data[i] = static_cast<char>(number >> (8 * i));
  }
  std::string key = name;
  values.push_back(
      {key.data(), dword ? hive_t_REG_DWORD : hive_t_REG_SZ, data.size(), data.data()});
  if (hivex_node_set_values(hive, node, values.size(), values.data(), 0) != 0)
    die("cannot set the value " + name);
}

std::uint32_t wordAt(const std::vector<char>& bytes, std::size_t at) {
  std::uint32_t value = 0;
  if (at + 4 > bytes.size()) die("offset outside the file");
  std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

void setWordAt(std::vector<char>& bytes, std::size_t at, std::uint32_t value) {
  if (at + 4 > bytes.size()) die("offset outside the file");
  std::memcpy(bytes.data() + at, &value, 4);
}

// Offsets in a hive count from the first bin, 4096 bytes into the file;
// hivex's node handles are file offsets.
constexpr std::uint32_t kBins = 0x1000;
constexpr std::size_t kNkSubkeyList = 32;
constexpr std::size_t kNkSecurity = 48;
constexpr std::size_t kNkNameLength = 76;
constexpr std::size_t kNkName = 80;

void edit(const std::string& in, const std::string& out, const std::vector<std::string>& steps) {
  std::string current = in;
  for (const std::string& step : steps) {
    const std::vector<std::string> field = split(step, '|');
    const std::string& op = field[0];
    if ((op == "key" && field.size() == 2) ||
        ((op == "value" || op == "dword") && field.size() == 4)) {
      Hive hive = openWritable(current);
      const hive_node_h node = nodeAt(hive.get(), field[1], true);
      if (op != "key") appendValue(hive.get(), node, field[2], field[3], op == "dword");
      if (hivex_commit(hive.get(), out.c_str(), 0) != 0) die("cannot write " + out);
      current = out;
      continue;
    }
    Hive hive(hivex_open(current.c_str(), 0));
    if (!hive) die("cannot open " + current);
    const hive_node_h key = field.size() > 1 ? nodeAt(hive.get(), field[1], false) : 0;
    const hive_node_h target =
        op == "link" && field.size() == 3 ? nodeAt(hive.get(), field[2], false) : 0;
    hive.reset();
    std::vector<char> bytes = readAll(current);
    const std::size_t list = wordAt(bytes, key + kNkSubkeyList) + std::size_t(kBins);
    if (op == "link" && field.size() == 3) {
      std::size_t entries = list + 8;
      if (bytes[list + 4] == 'r' && bytes[list + 5] == 'i')
        entries = wordAt(bytes, list + 8) + kBins + 8;
      setWordAt(bytes, entries, static_cast<std::uint32_t>(target - kBins));
    } else if (op == "ri-self" && field.size() == 2) {
      bytes[list + 4] = 'r';
      bytes[list + 5] = 'i';
      bytes[list + 6] = 1;
      bytes[list + 7] = 0;
      setWordAt(bytes, list + 8, static_cast<std::uint32_t>(list - kBins));
    } else if (op == "rename" && field.size() == 3) {
      const std::uint32_t length = wordAt(bytes, key + kNkNameLength) & 0xFFFF;
      if (field[2].size() != length) die("rename keeps the name's length: " + step);
      std::memcpy(bytes.data() + key + kNkName, field[2].data(), length);
    } else if (op == "sk" && field.size() == 2) {
      setWordAt(bytes, key + kNkSecurity, static_cast<std::uint32_t>(key - kBins));
    } else {
      die("unknown step " + step);
    }
    writeAll(out, bytes);
    current = out;
  }
  if (current == in) die("no step");
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "plant") {
    plant(args[1], args[2], args[3]);
  } else if (args.size() == 4 && args[0] == "drop") {
    drop(args[1], args[2], args[3]);
  } else if (args.size() == 3 && args[0] == "unclean") {
    unclean(args[1], args[2]);
  } else if (args.size() >= 4 && args[0] == "edit") {
    edit(args[1], args[2], std::vector<std::string>(args.begin() + 3, args.end()));
  } else {
    std::fprintf(stderr,
                 "usage: hive_plant plant IN OUT RECORDS.reg | drop IN OUT KEY | unclean IN OUT | "
                 "edit IN OUT STEP...\n");
    return 2;
  }
  return 0;
}
