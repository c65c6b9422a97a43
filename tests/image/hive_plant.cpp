// Test helper: prepares hive files for the hive tests with hivex alone,
// independent of the image code under test.
//
//   hive_plant plant IN OUT RECORDS.reg  IN with the image's keys and values added
//   hive_plant drop IN OUT KEY           IN without the key KEY below the root
//   hive_plant unclean IN OUT            IN with differing header sequence numbers
#include <hivex.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

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

std::string utf8(const std::string& latin1) {
  std::string out;
  for (char c : latin1) {
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
      const std::string name =
          utf8(i == 2 && parts[i] == "CurrentControlSet" ? set : std::string(parts[i]));
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
      names.push_back(utf8(value.name));
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

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "plant") {
    plant(args[1], args[2], args[3]);
  } else if (args.size() == 4 && args[0] == "drop") {
    drop(args[1], args[2], args[3]);
  } else if (args.size() == 3 && args[0] == "unclean") {
    unclean(args[1], args[2]);
  } else {
    std::fprintf(stderr,
                 "usage: hive_plant plant IN OUT RECORDS.reg | drop IN OUT KEY | unclean IN OUT\n");
    return 2;
  }
  return 0;
}
