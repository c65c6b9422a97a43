// The CREG editor's deletions on the real SYSTEM.DAT of a Windows Me
// installation: only the links, entries, records and counters that a
// deletion concerns change, byte for byte.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "DatFile.h"
#include "DatImage.h"
#include "DatRead.h"
#include "HiveFixture.h"
#include "Machine.h"
#include "NameCompare.h"
#include "RegFile.h"
#include "SimText.h"

namespace {

using image::dat::Editor;

std::uint32_t le32(const std::vector<std::uint8_t>& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | std::uint32_t(b[at + 3]) << 24;
}

std::filesystem::path realDatFile() {
  static const std::filesystem::path file = [] {
    const auto out = hivetest::workFolder() / "SYSTEM.DAT";
    const std::string command = "xz -dc " + hivetest::quoted(QVINST98_REAL_DAT) + " > " +
                                hivetest::quoted(out) + " 2>/dev/null";
    return std::system(command.c_str()) == 0 ? out : std::filesystem::path();
  }();
  return file;
}

std::vector<std::uint8_t> realDat() {
  if (realDatFile().empty()) return {};
  const std::string bytes = hivetest::readBytes(realDatFile());
  return std::vector<std::uint8_t>(bytes.begin(), bytes.end());
}

Editor::Key find(const Editor& editor, const std::vector<std::string>& path) {
  Editor::Key key = editor.root();
  for (const std::string& name : path) {
    bool found = false;
    for (Editor::Key child : editor.children(key))
      if (sim::text::equalNoCase(editor.name(child), name)) {
        key = child;
        found = true;
      }
    if (!found) ADD_FAILURE() << "no key " << name;
  }
  return key;
}

// The record of a key entry, found by walking its block (file offset).
std::uint32_t recordOf(const std::vector<std::uint8_t>& b, Editor::Key key) {
  const std::uint32_t id = le32(b, 0x20 + key + 0x18);
  std::uint32_t block = le32(b, 8);
  for (std::uint32_t i = 0; i < (id >> 16); ++i) block += le32(b, block + 4);
  for (std::uint32_t at = block + 0x20;; at += le32(b, at))
    if (le32(b, at + 4) == id) return at;
}

struct Range {
  std::uint32_t from, to;
};

// Byte offsets that differ and lie in none of the ranges.
std::vector<std::uint32_t> outside(const std::vector<std::uint8_t>& before,
                                   const std::vector<std::uint8_t>& after,
                                   const std::vector<Range>& allowed) {
  std::vector<std::uint32_t> stray;
  for (std::uint32_t i = 0; i < before.size() && i < after.size(); ++i) {
    if (before[i] == after[i]) continue;
    bool inside = false;
    for (const Range& r : allowed) inside = inside || (i >= r.from && i < r.to);
    if (!inside) stray.push_back(i);
  }
  return stray;
}

const auto* const cleanup = ::testing::AddGlobalTestEnvironment(new hivetest::WorkFolderCleanup);

TEST(DatEditor, DeletingASubtreeTouchesOnlyItsLinksEntriesRecordsAndCounters) {
  const std::vector<std::uint8_t> before = realDat();
  ASSERT_FALSE(before.empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  Editor editor(before);
  const Editor::Key oem = find(editor, {"System", "CurrentControlSet", "Control", "MediaProperties",
                                        "PrivateProperties", "Joystick", "OEM"});
  const Editor::Key parent = le32(before, 0x20 + oem + 0x0C);
  std::vector<Range> allowed{{0x2C, 0x30}};  // the key table's free list head
  allowed.push_back({0x20 + parent + 0x10, 0x20 + parent + 0x14});
  for (Editor::Key sibling : editor.children(parent))
    allowed.push_back({0x20 + sibling + 0x14, 0x20 + sibling + 0x18});
  std::vector<Editor::Key> subtree{oem};
  std::uint64_t recordBytes = 0;
  for (std::size_t i = 0; i < subtree.size(); ++i) {
    for (Editor::Key child : editor.children(subtree[i])) subtree.push_back(child);
    const std::uint32_t record = recordOf(before, subtree[i]);
    recordBytes += le32(before, record);
    allowed.push_back({0x20 + subtree[i], 0x20 + subtree[i] + 12});  // state, size, free link
    allowed.push_back({record + 4, record + 0x0C});                  // id, free link
    allowed.push_back({record + 0x0E, record + 0x10});               // value count
  }
  ASSERT_GT(subtree.size(), 20u);
  for (std::uint32_t block = le32(before, 8); block < before.size();
       block += le32(before, block + 4)) {
    allowed.push_back({block + 8, block + 0x0C});     // free bytes
    allowed.push_back({block + 0x10, block + 0x14});  // first free record
    allowed.push_back({block + 0x16, block + 0x18});  // first free id
  }

  editor.removeKey(oem);
  const std::vector<std::uint8_t> after = editor.take();
  ASSERT_EQ(after.size(), before.size());
  EXPECT_EQ(outside(before, after, allowed), std::vector<std::uint32_t>{});
  const image::dat::Summary was = image::dat::check(before);
  const image::dat::Summary now = image::dat::check(after);
  EXPECT_EQ(now.keys, was.keys - subtree.size());
  EXPECT_EQ(now.freeRecordBytes, was.freeRecordBytes + recordBytes);
  EXPECT_EQ(now.freeEntryBytes, was.freeEntryBytes + 28 * subtree.size());
}

TEST(DatEditor, DeletingAValueRewritesOnlyTheValuesAfterItInItsRecord) {
  const std::vector<std::uint8_t> before = realDat();
  ASSERT_FALSE(before.empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  Editor editor(before);
  const Editor::Key fonts = find(editor, {"Config", "0001", "Display", "Fonts"});
  std::vector<image::dat::ValueBytes> values = editor.values(fonts);
  ASSERT_GE(values.size(), 3u);
  const std::uint32_t record = recordOf(before, fonts);
  const std::uint32_t firstValue = record + 0x14 + editor.name(fonts).size();
  const std::uint32_t kept = 12 + values[0].name.size() + values[0].data.size();
  values.erase(values.begin() + 1);

  editor.setValues(fonts, values);
  const std::vector<std::uint8_t> after = editor.take();
  const std::vector<Range> allowed{{record + 8, record + 0x10},  // used size, value count
                                   {firstValue + kept, record + le32(before, record + 8)}};
  EXPECT_EQ(outside(before, after, allowed), std::vector<std::uint32_t>{});
  const image::dat::Summary was = image::dat::check(before);
  const image::dat::Summary now = image::dat::check(after);
  EXPECT_EQ(now.values, was.values - 1);
  EXPECT_EQ(now.freeRecordBytes, was.freeRecordBytes);
  EXPECT_EQ(Editor(after).values(fonts).size(), values.size());
}

// Our reader loads the tree libcreg loads: verifyDat reads the file through
// libcreg and compares every key, value, type and datum with what we loaded.
TEST(DatReader, LoadsTheRealFileAsLibcregDoes) {
  ASSERT_FALSE(realDatFile().empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  sim::Machine machine;
  const image::DatMount mount = image::loadDat(machine.registry, realDatFile());
  EXPECT_EQ(mount.keys, 4999u);
  EXPECT_EQ(mount.values, 15858u);
  EXPECT_NO_THROW(image::verifyDat(realDatFile(), machine.registry, mount));
}

// A file is believed only as far as its headers reach: bytes past its last
// data block are refused without being read into memory.
TEST(DatReader, ReadsNoFurtherThanTheHeadersSay) {
  ASSERT_FALSE(realDatFile().empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  const auto longer = hivetest::workFolder() / "LONGER.DAT";
  std::filesystem::copy_file(realDatFile(), longer);
  std::filesystem::resize_file(longer, std::filesystem::file_size(longer) + (1ull << 31));
  try {
    image::dat::readFile(longer);
    ADD_FAILURE() << "a file 2 GB longer than its blocks was read";
  } catch (const image::Error& e) {
    EXPECT_EQ(std::string(e.what()), "2147483648 bytes after the last of 21 data blocks");
  }
  std::filesystem::remove(longer);
}

// Names Windows 95/98/Me cannot hold are damage the check names, with the
// key's path; in a double-byte code page a trail byte is not a letter and
// not a '\\'. Each case adds keys or values to the real file through the
// editor and then makes the one edit the editor would not.
TEST(DatCheck, NamesAsWindowsTakesThem) {
  const std::vector<std::uint8_t> real = realDat();
  ASSERT_FALSE(real.empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  using image::dat::Charset;
  // A key "QV" below the root, renamed in place to `name` (no longer than 2).
  const auto renamed = [&](const std::string& name) {
    Editor editor(real);
    const Editor::Key key = editor.addKey(editor.root(), "QV");
    std::vector<std::uint8_t> b = editor.take();
    const std::uint32_t record = recordOf(b, key);
    b[record + 8] = static_cast<std::uint8_t>(0x14 + name.size());  // used size
    b[record + 0x0C] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), b.begin() + record + 0x14);
    const std::uint32_t hash = image::dat::nameHash(name);
    for (int i = 0; i < 4; ++i) b[0x20 + key + 4 + i] = static_cast<std::uint8_t>(hash >> 8 * i);
    return b;
  };
  const auto edited = [&](int codepage, const std::function<void(Editor&)>& edit) {
    Editor editor(real, Charset::forCodePage(codepage));
    edit(editor);
    return editor.take();
  };
  const std::string hyoji = "\x95\x5C\x8E\xA6";  // two characters of code page 932
  const auto twoKeys = [](std::string a, std::string b) {
    return [a, b](Editor& editor) {
      editor.addKey(editor.root(), a);
      editor.addKey(editor.root(), b);
    };
  };
  const auto twoValues = [](std::string a, std::string b) {
    return [a, b](Editor& editor) {
      editor.setValues(editor.addKey(editor.root(), "QV"), {{a, 1, {'1'}}, {b, 1, {'2'}}});
    };
  };
  const struct {
    const char* what;
    std::vector<std::uint8_t> bytes;
    int codepage;
    std::string fault;  // empty: the file passes
  } cases[] = {
      {"empty", renamed(""), 1252, "key \"\" (entry 0x"},
      {"backslash", renamed("\\"), 1252, ": a name holding '\\'"},
      {"backslash inside", renamed("a\\"), 1252, "a name holding"},
      {"siblings in two cases", edited(1252, twoKeys("QV", "qv")), 1252,
       "a second subkey named qv"},
      {"values in two cases", edited(1252, twoValues("Name", "NAME")), 1252, "key QV (entry 0x"},
      {"trail byte 0x5C", edited(932, twoKeys(hyoji, "x")), 932, ""},
      {"trail byte 0x5C, single-byte", edited(932, twoKeys(hyoji, "x")), 1252, "holding '\\'"},
      {"trail bytes a and A", edited(932, twoKeys("\x82\x61", "\x82\x41")), 932, ""},
      {"trail byte a hashed as a letter", edited(932, twoKeys("\x82\x61", "\x82\x41")), 1252,
       "name hash"},
      {"single-byte a and A after 0x82", edited(1252, twoKeys("\x82\x61", "\x82\x41")), 1252,
       "a second subkey"},
      {"values with trail bytes a and A", edited(932, twoValues("\x82\x61", "\x82\x41")), 932, ""},
      {"a lead byte at the end", renamed("a\x95"), 932, "a name ending in half a character"},
      {"0x95 at the end, single-byte", renamed("a\x95"), 1252, ""},
  };
  for (const auto& c : cases) {
    try {
      image::dat::check(c.bytes, Charset::forCodePage(c.codepage));
      EXPECT_EQ(c.fault, "") << c.what << ": passed";
    } catch (const image::Error& e) {
      EXPECT_NE(c.fault, "") << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
}

// The editor writes only what Windows 95/98/Me hold, and refuses the rest
// naming the key; the check refuses a header of another format or with
// something in its reserved fields, and a key entry that runs past the key
// table's end.
TEST(DatEditor, WritesOnlyWhatWindowsHolds) {
  const std::vector<std::uint8_t> real = realDat();
  ASSERT_FALSE(real.empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  const auto data = [](std::size_t n) { return std::vector<std::uint8_t>(n, 'd'); };
  const struct {
    const char* what;
    std::string key;
    std::vector<image::dat::ValueBytes> values;
    std::string fault;  // empty: written
  } cases[] = {
      {"16,300 bytes of data", "QV", {{"v", 3, data(16300)}}, ""},
      {"16,301 bytes of data", "QV", {{"v", 3, data(16301)}}, "key QV: value \"v\" of 16301 bytes"},
      {"a value name of 255 bytes", "QV", {{std::string(255, 'n'), 3, {}}}, ""},
      {"a value name of 256 bytes", "QV", {{std::string(256, 'n'), 3, {}}}, "key QV: a value name"},
      {"a key name of 256 bytes", std::string(256, 'k'), {}, "a name of 256 bytes"},
      {"a record of 60 KB",
       "QV",
       {{"a", 3, data(16000)}, {"b", 3, data(16000)}, {"c", 3, data(16000)}, {"d", 3, data(16000)}},
       "key QV: its name and values take 64"},
      {"a record that fills a block of 60 KB",
       "QV",
       {{"a", 3, data(16000)}, {"b", 3, data(16000)}, {"c", 3, data(16000)}, {"d", 3, data(13300)}},
       ""},
  };
  for (const auto& c : cases) {
    try {
      Editor editor(real);
      editor.setValues(editor.addKey(editor.root(), c.key), c.values);
      const std::vector<std::uint8_t> b = editor.take();
      EXPECT_EQ(c.fault, "") << c.what << ": written";
      image::dat::check(b);
      for (std::uint32_t block = le32(b, 8); block < b.size(); block += le32(b, block + 4))
        EXPECT_LE(le32(b, block + 4), 0xF000u) << c.what << ": a block larger than Windows makes";
    } catch (const image::Error& e) {
      EXPECT_NE(c.fault, "") << c.what << ": " << e.what();
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos)
          << c.what << ": " << e.what();
    }
  }
  // Bytes of the file header or of the key table changed; the key table
  // ends at 0x23000, where the first data block starts.
  const struct {
    std::size_t at;
    std::string bytes;
    const char* fault;
  } damaged[] = {
      {6, "\x02", "file header: format 2.0, not 1.0"},
      {0x1A, "\x01", "file header: reserved field at 0x18 holds 0x10000"},
      {0x3C, "\x07", "key table header: reserved field at 0x3C holds 0x7"},
      // The root's first child an entry whose last 4 bytes lie in the block.
      {0x50, std::string("\xE8\x2F\x02\x00", 4),
       "key entry 0x20: first child 0x22FE8 outside the key table"},
  };
  for (const auto& h : damaged) {
    std::vector<std::uint8_t> b = real;
    std::copy(h.bytes.begin(), h.bytes.end(), b.begin() + h.at);
    try {
      image::dat::check(b);
      ADD_FAILURE() << h.fault << ": passed";
    } catch (const image::Error& e) {
      EXPECT_EQ(std::string(e.what()), h.fault);
    }
  }
}

// A Unicode image imported into a CREG file becomes the file's code page, by
// character: a trail byte '\' neither splits a key nor escapes a quote. A
// character the code page lacks is refused naming the key, never made '?',
// and nothing is imported.
TEST(DatImport, UnicodeTextBecomesTheFilesCodePage) {
  ASSERT_FALSE(realDatFile().empty()) << "cannot unpack " << QVINST98_REAL_DAT;
  const std::string qv = "HKEY_LOCAL_MACHINE\\Software\\QV";
  const std::u16string homeAndCat =
      u"[HKEY_LOCAL_MACHINE\\Software\\QV\\Дом]\r\n\"v\"=\"1\"\r\n"
      u"[HKEY_LOCAL_MACHINE\\Software\\QV\\Кот]\r\n\"v\"=\"2\"";
  const auto keyCount = [](const sim::Registry& registry) {
    std::size_t n = 0;
    registry.forEachKey([&n](const sim::KeySnapshot&) { ++n; });
    return n;
  };
  const struct {
    int codepage;
    std::u16string body;  // after the header
    std::string key;      // made, with the value "v" or the one `name` names
    std::string data;     // of that value, a string
    std::string fault;    // empty: imported
    std::string name = "v";
  } cases[] = {
      {1252, u"[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n\"v\"=\"€ ™ Œ “ ” –\"", qv,
       "\x80 \x99 \x8C \x93 \x94 \x96", ""},
      {1251, homeAndCat, qv + "\\\xC4\xEE\xEC", "1", ""},
      {1251, homeAndCat, qv + "\\\xCA\xEE\xF2", "2", ""},
      {932, u"[HKEY_LOCAL_MACHINE\\Software\\QV\\表示]\r\n\"表\"=\"能\\\\ソ\\\"\"",
       qv + "\\\x95\x5C\x8E\xA6", "\x94\x5C\\\x83\x5C\"", "", "\x95\x5C"},
      {932, u"[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n\"v\"=hex(2):68,88,00,00", qv, "\x95\x5C", ""},
      {1252, u"[HKEY_LOCAL_MACHINE\\Software\\QV\\Дом]", "", "",
       "t.reg:3: key HKEY_LOCAL_MACHINE\\Software\\QV\\Дом: \"Д\" (U+0414) is not in code page "
       "1252"},
      {1252, u"[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n\"v\"=\"Кот\"", "", "",
       "t.reg:4: key HKEY_LOCAL_MACHINE\\Software\\QV: \"К\" (U+041A)"},
      {1251, u"[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n\"v\"=hex(2):00,4e,00,00", "", "",
       "t.reg:4: key HKEY_LOCAL_MACHINE\\Software\\QV: \"一\" (U+4E00) is not in code page 1251"},
      {932, u"[HKEY_LOCAL_MACHINE\\Software\\QV\\A¥B]", "", "", "(U+00A5) is not in code page 932"},
      {1252, u"[HKEY_LOCAL_MACHINE\\Software\\QV\\\U0001F600]", "", "", "(U+1F600) is not in"},
  };
  for (const auto& c : cases) {
    std::string image("\xFF\xFE");
    for (char16_t unit : u"Windows Registry Editor Version 5.00\r\n\r\n" + c.body + u"\r\n") {
      image.push_back(static_cast<char>(unit & 0xFF));
      image.push_back(static_cast<char>(unit >> 8));
    }
    sim::Machine machine;
    image::loadDat(machine.registry, realDatFile(), c.codepage);
    const std::size_t keys = keyCount(machine.registry);
    try {
      image::applyRegText(machine.registry, image, "t.reg");
      EXPECT_EQ(c.fault, "") << c.key << ": imported";
      std::string data = "(no value)";
      for (const sim::Value& value : machine.registry.values(c.key))
        if (value.name == c.name) data.assign(value.data.begin(), value.data.end());
      EXPECT_EQ(data, c.data + '\0') << c.key;
    } catch (const image::Error& e) {
      EXPECT_NE(c.fault, "") << e.what();
      EXPECT_NE(std::string(e.what()).find(c.fault), std::string::npos) << e.what();
      EXPECT_EQ(keyCount(machine.registry), keys) << e.what();
    }
    platform::names::ansi() = {};
  }
}

}  // namespace
