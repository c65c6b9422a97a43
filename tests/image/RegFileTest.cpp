// Registry images: both regedit formats read, written and read back byte for
// byte, malformed images rejected whole, undo images, and the sample machines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "Machine.h"
#include "RegFile.h"
#include "RegistryListing.h"

namespace {

using namespace std::string_literals;
using namespace std::string_view_literals;

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

// Everything the registry holds, keys and values in order.
std::vector<std::string> dump(const sim::Registry& registry) {
  return testing_support::registryLines(registry);
}

// The same as a set: a value put back by an undo image is appended to its
// key, so only its presence can be restored.
std::set<std::string> sortedDump(const sim::Registry& registry) {
  const std::vector<std::string> lines = dump(registry);
  return std::set<std::string>(lines.begin(), lines.end());
}

std::string readFile(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The UTF-16LE bytes of a UTF-16 literal, with the byte-order mark.
std::string utf16Image(std::u16string_view text) {
  std::string out("\xFF\xFE");
  for (char16_t c : text) {
    out.push_back(static_cast<char>(c & 0xFF));
    out.push_back(static_cast<char>(c >> 8));
  }
  return out;
}

// The UTF-8 bytes of a UTF-16 literal, surrogate pairs joined.
std::string utf8Image(std::u16string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::uint32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
    }
    auto put = [&](std::uint32_t b) { out.push_back(static_cast<char>(b)); };
    if (c < 0x80) {
      put(c);
    } else if (c < 0x800) {
      put(0xC0 | c >> 6);
      put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      put(0xE0 | c >> 12);
      put(0x80 | (c >> 6 & 0x3F));
      put(0x80 | (c & 0x3F));
    } else {
      put(0xF0 | c >> 18);
      put(0x80 | (c >> 12 & 0x3F));
      put(0x80 | (c >> 6 & 0x3F));
      put(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::string withoutCarriageReturns(std::string text) {
  std::erase(text, '\r');
  return text;
}

// "\\k\\k..." with `levels` components.
std::string deepPath(std::size_t levels) {
  std::string path;
  for (std::size_t i = 0; i < levels; ++i) path += "\\k";
  return path;
}

const char* formatName(image::RegFormat format) {
  return format == image::RegFormat::Regedit4 ? "REGEDIT4" : "Version 5";
}

class RegFileTest : public ::testing::Test {
protected:
  sim::Machine machine;
  sim::Registry& registry = machine.registry;

  void load(const std::string& image) { image::applyRegText(registry, image, "test.reg"); }

  std::optional<sim::Value> value(std::string_view key, std::string_view name) const {
    return registry.value(key, name);
  }
};

constexpr const char* kTestKey = "HKEY_LOCAL_MACHINE\\Software\\Test";

TEST_F(RegFileTest, ReadsEveryValueFormOfARegedit4Image) {
  struct Case {
    std::string line;
    std::string name;
    DWORD type;
    Bytes data;
  };
  const std::vector<Case> cases = {
      {R"("Text"="hello")", "Text", REG_SZ, bytes("hello\0"sv)},
      {R"(@="default")", "", REG_SZ, bytes("default\0"sv)},
      {R"("Empty"="")", "Empty", REG_SZ, {0}},
      {R"("Esc"="a \"q\" C:\\dir\\")", "Esc", REG_SZ, bytes("a \"q\" C:\\dir\\\0"sv)},
      {R"("Odd \"name\" \\ = ] ["="x")", "Odd \"name\" \\ = ] [", REG_SZ, {'x', 0}},
      {"\"Latin\"=\"caf\xE9\"", "Latin", REG_SZ, {'c', 'a', 'f', 0xE9, 0}},
      {R"("Dw"=dword:0000abcd)", "Dw", REG_DWORD, {0xCD, 0xAB, 0, 0}},
      {R"("DwUpper"=DWORD:FFFFFFFE)", "DwUpper", REG_DWORD, {0xFE, 0xFF, 0xFF, 0xFF}},
      {R"("Bin"=hex:01,02,ff)", "Bin", REG_BINARY, {1, 2, 0xFF}},
      {R"("BinEmpty"=hex:)", "BinEmpty", REG_BINARY, {}},
      {R"("Spaced" = hex: 01 , 2 ,03)", "Spaced", REG_BINARY, {1, 2, 3}},
      // REGEDIT4 text types are already 8-bit: taken byte for byte.
      {R"("Exp"=hex(2):25,41,25,00)", "Exp", REG_EXPAND_SZ, {'%', 'A', '%', 0}},
      {R"("Multi"=hex(7):61,00,62,00,00)", "Multi", REG_MULTI_SZ, {'a', 0, 'b', 0, 0}},
      {R"("None"=hex(0):)", "None", REG_NONE, {}},
      {R"("Q"=hex(b):01,00,00,00,00,00,00,80)", "Q", REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0x80}},
      {R"("Unusual"=hex(1a2b):00)", "Unusual", 0x1A2B, {0}},
      {"\"Wrapped\"=hex:01,02,\\\r\n    03,04", "Wrapped", REG_BINARY, {1, 2, 3, 4}},
      {"\"Thrice\"=hex(3):01,\\\r\n  02,\\\r\n  03", "Thrice", REG_BINARY, {1, 2, 3}},
      {"\"Early\"=hex:\\\r\n  0a,0b", "Early", REG_BINARY, {0x0A, 0x0B}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    sim::Machine fresh;
    image::applyRegText(
        fresh.registry,
        "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Test]\r\n" + c.line + "\r\n", "case.reg");
    const auto v = fresh.registry.value(kTestKey, c.name);
    ASSERT_TRUE(v.has_value());
    EXPECT_EQ(v->type, c.type);
    EXPECT_EQ(v->data, c.data);
    EXPECT_EQ(fresh.registry.values(kTestKey).size(), 1u);
  }
}

// One version 5 image, to be encoded in every way regedit and editors write it.
constexpr std::u16string_view kVersion5Image =
    u"Windows Registry Editor Version 5.00\r\n"
    u"\r\n"
    u"; a comment\r\n"
    u"[HKEY_LOCAL_MACHINE\\Software\\Wide]\r\n"
    u"\"Caf\u00e9\"=\"cr\u00e8me\"\r\n"
    u"\"Price\"=\"5 \u20ac\"\r\n"
    u"\"Clef\"=\"\U0001D11E!\"\r\n"
    u"\"Exp\"=hex(2):25,00,41,00,25,00,ac,20,00,00\r\n"
    u"\"Multi\"=hex(7):61,00,00,00,62,00,00,00,\\\r\n"
    u"  00,00\r\n"
    u"\"Sz\"=hex(1):e9,00,00,00\r\n"
    u"\"Bin\"=hex:e9,00\r\n"
    u"\"Dw\"=dword:00000102\r\n";

TEST_F(RegFileTest, ReadsVersion5ImagesInEveryEncodingToTheSame8BitRegistry) {
  const std::string utf8 = utf8Image(kVersion5Image);
  const std::vector<std::pair<const char*, std::string>> encodings = {
      {"UTF-16LE with byte-order mark", utf16Image(kVersion5Image)},
      {"UTF-8 with byte-order mark", "\xEF\xBB\xBF" + utf8},
      {"UTF-8 without byte-order mark", utf8},
      {"UTF-8 with LF line ends", withoutCarriageReturns(utf8)},
  };
  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\Wide";
  for (const auto& [encoding, image] : encodings) {
    SCOPED_TRACE(encoding);
    sim::Machine fresh;
    image::applyRegText(fresh.registry, image, "wide.reg");
    auto expect = [&](std::string_view name, DWORD type, std::string_view data) {
      SCOPED_TRACE(std::string(name));
      const auto v = fresh.registry.value(key, name);
      ASSERT_TRUE(v.has_value());
      EXPECT_EQ(v->type, type);
      EXPECT_EQ(v->data, bytes(data));
    };
    // Latin-1 characters become single bytes; anything else becomes '?',
    // a character outside the basic plane (two UTF-16 units) one '?'.
    expect("Caf\xE9", REG_SZ, "cr\xE8me\0"sv);
    expect("Price", REG_SZ, "5 ?\0"sv);
    expect("Clef", REG_SZ, "?!\0"sv);
    // Text types of version 5 hold UTF-16LE bytes, narrowed the same way.
    expect("Exp", REG_EXPAND_SZ, "%A%?\0"sv);
    expect("Multi", REG_MULTI_SZ, "a\0b\0\0"sv);
    expect("Sz", REG_SZ, "\xE9\0"sv);
    // Binary data is never narrowed.
    expect("Bin", REG_BINARY, "\xE9\0"sv);
    expect("Dw", REG_DWORD, "\x02\x01\0\0"sv);
    EXPECT_EQ(fresh.registry.values(key).size(), 8u);
  }
}

TEST_F(RegFileTest, KeyLinesTakeEveryRootByEitherNameAndKeepTheStoredCase) {
  load(
      "REGEDIT4\n"
      "\n"
      "   ; indented comment, then keys below all five roots\n"
      "[HKLM\\Software\\MiXed Case]\n"
      "  \"Indented\"=\"1\"\n"
      "[hkey_current_user\\Control Panel]\n"
      "[HKCR\\.qvx]\n"
      "[HKU\\.DEFAULT\\Software]\n"
      "[HKCC\\System\\Fonts]\n"
      "[HKEY_CLASSES_ROOT\\QV.File]\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Brackets [1]]]\n");
  const std::vector<std::string> expected = {
      "HKEY_LOCAL_MACHINE\\Software\\MiXed Case",
      "HKEY_CURRENT_USER\\Control Panel",
      "HKEY_CLASSES_ROOT\\.qvx",
      "HKEY_USERS\\.DEFAULT\\Software",
      "HKEY_CURRENT_CONFIG\\System\\Fonts",
      "HKEY_CLASSES_ROOT\\QV.File",
      "HKEY_LOCAL_MACHINE\\Software\\Brackets [1]]",
  };
  for (const std::string& path : expected) {
    SCOPED_TRACE(path);
    const auto stored = registry.storedPath(path);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ(*stored, path);
  }
  EXPECT_TRUE(value("HKEY_LOCAL_MACHINE\\Software\\MiXed Case", "Indented").has_value());
  // Written back, every root is spelled in full.
  const std::string text = image::writeRegText(registry);
  for (const std::string& path : expected) {
    EXPECT_NE(text.find("\r\n[" + path + "]\r\n"), std::string::npos) << path;
  }
}

TEST_F(RegFileTest, DeletionLinesRemoveWholeKeysAndSingleValues) {
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\A", "x", "1");
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\A", "y", "2");
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\A\\B", "z", "3");
  registry.addKey("HKEY_LOCAL_MACHINE\\Software\\A\\B\\C\\D");
  registry.addKey("HKEY_LOCAL_MACHINE\\Software\\A\\Sibling");
  registry.addKey("HKEY_LOCAL_MACHINE\\Software\\AB");

  load(
      "REGEDIT4\r\n"
      "\r\n"
      "[-HKEY_LOCAL_MACHINE\\software\\a\\b]\r\n"
      "\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
      "\"x\"=-\r\n"
      "\"never there\"=-\r\n"
      "\r\n"
      "[-HKEY_LOCAL_MACHINE\\Software\\Missing]\r\n");

  EXPECT_FALSE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\A\\B"));
  EXPECT_FALSE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\A\\B\\C\\D"));
  EXPECT_TRUE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\A\\Sibling"));
  EXPECT_TRUE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\AB"));
  EXPECT_FALSE(value("HKEY_LOCAL_MACHINE\\Software\\A", "x").has_value());
  EXPECT_TRUE(value("HKEY_LOCAL_MACHINE\\Software\\A", "y").has_value());
  EXPECT_FALSE(registry.keyExists("HKEY_LOCAL_MACHINE\\Software\\Missing"));
}

TEST_F(RegFileTest, MalformedImagesNameFileAndLineAndChangeNothing) {
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\Before", "kept", "yes");
  const std::vector<std::string> before = dump(registry);

  // Lines 1 to 4 are good and would add a key: the error must keep it out.
  const std::string good =
      "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\New]\r\n\"ok\"=\"1\"\r\n";
  const std::string v5 = "Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\Software\\New]\r\n";
  struct Case {
    std::string image;
    int line;
    std::string what;  // a word of the message
  };
  const std::vector<Case> cases = {
      {"", 1, "header"},
      {"REGEDIT5\r\n", 1, "header"},
      {"Windows Registry Editor Version 4.00\r\n", 1, "header"},
      {"\r\nREGEDIT4\r\n", 1, "header"},
      {"REGEDIT4\r\n\r\n\"a\"=\"b\"\r\n", 3, "before any key"},
      {good + "[HKEY_LOCAL_MACHINE\\Open\r\n", 5, "']'"},
      {good + "[HKEY_NOWHERE\\A]\r\n", 5, "root"},
      {good + "[Software\\A]\r\n", 5, "root"},
      {good + "[]\r\n", 5, "empty"},
      {good + "[HKEY_LOCAL_MACHINE\\A\\\\B]\r\n", 5, "empty"},
      {good + "[HKEY_LOCAL_MACHINE\\A\\]\r\n", 5, "empty"},
      {good + "[-HKEY_LOCAL_MACHINE]\r\n", 5, "root"},
      {good + "\"a\"=\"b\\q\"\r\n", 5, "escape"},
      {good + "\"a\\n\"=\"b\"\r\n", 5, "escape"},
      {good + "\"a\"=\"open\r\n", 5, "unterminated"},
      {good + "\"open=\"b\r\n", 5, "="},
      {good + "\"a\"=\"b\" extra\r\n", 5, "after"},
      {good + "\"a\"\r\n", 5, "="},
      {good + "\"a\"=\r\n", 5, "expected"},
      {good + "@\r\n", 5, "="},
      {good + "\"a\"=text\r\n", 5, "unknown"},
      {good + "\"a\"=dword:123\r\n", 5, "8 hex digits"},
      {good + "\"a\"=dword:123456789\r\n", 5, "8 hex digits"},
      {good + "\"a\"=dword:1234567g\r\n", 5, "hex digit"},
      {good + "\"a\"=hex:0g\r\n", 5, "hex digit"},
      {good + "\"a\"=hex:123\r\n", 5, "hex byte"},
      {good + "\"a\"=hex:01,,02\r\n", 5, "hex byte"},
      {good + "\"a\"=hex:01,\r\n", 5, "hex byte"},
      {good + "\"a\"=hex:01 02\r\n", 5, "','"},
      {good + "\"a\"=hex(zz):00\r\n", 5, "hex digit"},
      {good + "\"a\"=hex():00\r\n", 5, "type"},
      {good + "\"a\"=hex(2:00\r\n", 5, "hex(N)"},
      {good + "\"a\"=hex:01,\\\r\n  02,\\\r\n  0x\r\n", 7, "hex digit"},
      {good + "\"a\"=hex:01,\\\r\n\r\n", 6, "hex byte"},
      {good + "\"a\"=hex:01,\\", 5, "end of the image"},
      {good + "junk\r\n", 5, "unexpected"},
      {good + "[-HKEY_LOCAL_MACHINE\\Gone]\r\n\"a\"=\"b\"\r\n", 6, "deleted key"},
      {utf16Image(u"Windows Registry Editor Version 5.00\r\n\r\n") + "x", 3, "UTF-16"},
      {v5 + "\"e\"=hex(2):41\r\n", 4, "odd length"},
      {v5 + "\"e\"=\"\xC3\"\r\n", 4, "UTF-8"},
      {v5 + "\"e\"=\"\xFF\"\r\n", 4, "UTF-8"},
      // Names that regedit cannot write: the ANSI functions would reach
      // another key or value through the part before the NUL.
      {good + "[HKEY_LOCAL_MACHINE\\A\0B]\r\n"s, 5, "NUL character in key"},
      {good + "[HKLM\\\0B]\r\n"s, 5, "NUL character in key"},
      {good + "[-HKLM\\A\0]\r\n"s, 5, "NUL character in key"},
      {good + "\"a\0b\"=\"c\"\r\n"s, 5, "NUL character in value"},
      {good + "\"\0\"=hex:01,\\\r\n  02\r\n"s, 5, "NUL character in value"},
      {v5 + utf8Image(u"\"a\0\"=\"x\"\r\n"sv), 4, "NUL character in value"},
      {utf16Image(u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A\0]\r\n"sv), 3,
       "NUL character in key"},
      {good + "[HKLM" + deepPath(513) + "]\r\n", 5, "512 levels"},
      {good + "[-HKLM" + deepPath(513) + "]\r\n", 5, "512 levels"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.image);
    const std::string prefix = "bad.reg:" + std::to_string(c.line) + ": ";
    try {
      image::applyRegText(registry, c.image, "bad.reg");
      ADD_FAILURE() << "accepted";
    } catch (const image::Error& error) {
      const std::string message = error.what();
      EXPECT_EQ(message.substr(0, prefix.size()), prefix) << message;
      EXPECT_NE(message.find(c.what), std::string::npos) << message;
    }
    EXPECT_EQ(dump(registry), before);
  }
}

TEST_F(RegFileTest, WritesRegeditLayoutInBothFormats) {
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\QV", "Name", "C:\\QV \"1\"");
  registry.setDword("HKEY_LOCAL_MACHINE\\Software\\QV", "Count", 1);
  registry.setValue("HKEY_LOCAL_MACHINE\\Software\\QV", "Bin", REG_BINARY, {1, 0xAB});
  registry.setString("HKEY_LOCAL_MACHINE\\Software\\QV", "", "");
  registry.addKey("HKEY_LOCAL_MACHINE\\Software\\QV\\Empty");

  EXPECT_EQ(image::writeRegText(registry, image::RegFormat::Regedit4),
            "REGEDIT4\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n"
            "\"Name\"=\"C:\\\\QV \\\"1\\\"\"\r\n"
            "\"Count\"=dword:00000001\r\n"
            "\"Bin\"=hex:01,ab\r\n"
            "@=\"\"\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\QV\\Empty]\r\n"
            "\r\n");
  EXPECT_EQ(image::writeRegText(registry, image::RegFormat::Regedit5),
            utf16Image(u"Windows Registry Editor Version 5.00\r\n"
                       u"\r\n"
                       u"[HKEY_LOCAL_MACHINE\\Software]\r\n"
                       u"\r\n"
                       u"[HKEY_LOCAL_MACHINE\\Software\\QV]\r\n"
                       u"\"Name\"=\"C:\\\\QV \\\"1\\\"\"\r\n"
                       u"\"Count\"=dword:00000001\r\n"
                       u"\"Bin\"=hex:01,ab\r\n"
                       u"@=\"\"\r\n"
                       u"\r\n"
                       u"[HKEY_LOCAL_MACHINE\\Software\\QV\\Empty]\r\n"
                       u"\r\n"));
  sim::Machine empty;
  EXPECT_EQ(image::writeRegText(empty.registry), "REGEDIT4\r\n\r\n");
}

TEST_F(RegFileTest, WritesEachValueInTheFormThatReadsBackByteForByte) {
  struct Case {
    DWORD type;
    Bytes data;
    std::string regedit4;  // the value line after "v"=
    std::string regedit5;  // the same in a version 5 image, if different
  };
  const std::vector<Case> cases = {
      {REG_SZ, bytes("a\xE9\0"sv), "\"a\xE9\"", ""},
      {REG_SZ, {0}, "\"\"", ""},
      // Anything a quoted string would not give back goes out as hex(1).
      {REG_SZ, {}, "hex(1):", ""},
      {REG_SZ, bytes("ab"sv), "hex(1):61,62", "hex(1):61,00,62,00"},
      {REG_SZ, bytes("a\0b\0"sv), "hex(1):61,00,62,00", "hex(1):61,00,00,00,62,00,00,00"},
      {REG_SZ, bytes("ab\0\0"sv), "hex(1):61,62,00,00", "hex(1):61,00,62,00,00,00,00,00"},
      {REG_SZ, bytes("a\nb\0"sv), "hex(1):61,0a,62,00", "hex(1):61,00,0a,00,62,00,00,00"},
      {REG_DWORD, {0x78, 0x56, 0x34, 0x12}, "dword:12345678", ""},
      {REG_DWORD, {1, 2, 3}, "hex(4):01,02,03", ""},
      {REG_BINARY, {0, 0xFF}, "hex:00,ff", ""},
      {REG_BINARY, {}, "hex:", ""},
      {REG_EXPAND_SZ, bytes("%A%\0"sv), "hex(2):25,41,25,00", "hex(2):25,00,41,00,25,00,00,00"},
      {REG_MULTI_SZ, bytes("a\0\0"sv), "hex(7):61,00,00", "hex(7):61,00,00,00,00,00"},
      {REG_NONE, {}, "hex(0):", ""},
      {REG_QWORD, {1, 0, 0, 0, 0, 0, 0, 0}, "hex(b):01,00,00,00,00,00,00,00", ""},
      {0x12345678, {0xAA}, "hex(12345678):aa", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.regedit4);
    sim::Machine one;
    one.registry.setValue(kTestKey, "v", c.type, c.data);
    const std::string text4 = image::writeRegText(one.registry, image::RegFormat::Regedit4);
    EXPECT_NE(text4.find("\r\n\"v\"=" + c.regedit4 + "\r\n"), std::string::npos) << text4;
    const std::string line5 = c.regedit5.empty() ? c.regedit4 : c.regedit5;
    std::u16string wide;
    for (char ch : "\r\n\"v\"=" + line5 + "\r\n") wide.push_back(static_cast<unsigned char>(ch));
    const std::string text5 = image::writeRegText(one.registry, image::RegFormat::Regedit5);
    EXPECT_NE(text5.find(utf16Image(wide).substr(2)), std::string::npos) << line5;
  }
}

TEST_F(RegFileTest, WrapsHexListsAsRegeditDoes) {
  // Regedit fills a line up to column 78, backslash included, and goes on
  // with two blanks: 20 bytes after "ShellState"=hex:, then 25 a line.
  Bytes data(36 + 25);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  registry.setValue(kTestKey, "ShellState", REG_BINARY, data);
  const std::string text = image::writeRegText(registry);
  EXPECT_NE(text.find("\"ShellState\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,"
                      "10,11,12,13,\\\r\n"
                      "  14,15,16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27,28,29,"
                      "2a,2b,2c,\\\r\n"
                      "  2d,2e,2f,30,31,32,33,34,35,36,37,38,39,3a,3b,3c\r\n"),
            std::string::npos)
      << text;
}

// A registry with every kind of value and name that an image must carry.
void fillOddRegistry(sim::Registry& r) {
  const std::string odd = "HKEY_LOCAL_MACHINE\\Software\\Odd [brackets]]";
  auto raw = [](std::string_view s) { return Bytes(s.begin(), s.end()); };
  r.setValue(odd, "plain", REG_SZ, raw("text\0"sv));
  r.setValue(odd, "Quote \"and\" back\\slash = [x]", REG_SZ, raw("C:\\dir\\\"q\"\\\0"sv));
  r.setValue(odd, "empty", REG_SZ, {0});
  r.setValue(odd, "zeroLength", REG_SZ, {});
  r.setValue(odd, "noNul", REG_SZ, raw("abc"));
  r.setValue(odd, "twoNuls", REG_SZ, raw("ab\0\0"sv));
  r.setValue(odd, "innerNul", REG_SZ, raw("a\0b\0"sv));
  r.setValue(odd, "lineBreak", REG_SZ, raw("one\r\ntwo\0"sv));
  r.setValue(odd, "tab", REG_SZ, raw("a\tb\0"sv));
  r.setValue(odd, "high", REG_SZ, raw("\x80\xE9\xFF\0"sv));
  r.setValue(odd, "\xE9t\xE9", REG_SZ, raw("x\0"sv));
  r.setValue(odd, " ", REG_SZ, raw(" \0"sv));
  r.setValue(odd, "longText", REG_SZ, raw(std::string(300, 'L') + '\0'));
  r.setValue(odd, "dw", REG_DWORD, {0x78, 0x56, 0x34, 0x12});
  r.setValue(odd, "dwShort", REG_DWORD, {1, 2, 3});
  r.setValue(odd, "dwEmpty", REG_DWORD, {});
  r.setValue(odd, "bigEndian", REG_DWORD_BIG_ENDIAN, {0x12, 0x34, 0x56, 0x78});
  r.setValue(odd, "qword", REG_QWORD, {1, 2, 3, 4, 5, 6, 7, 8});
  r.setValue(odd, "bin", REG_BINARY, {0, 1, 0, 0xFF});
  r.setValue(odd, "binEmpty", REG_BINARY, {});
  Bytes longBin(300);
  for (std::size_t i = 0; i < longBin.size(); ++i) longBin[i] = static_cast<std::uint8_t>(i);
  r.setValue(odd, "longBin", REG_BINARY, longBin);
  r.setValue(odd, std::string(90, 'N'), REG_BINARY, Bytes(40, 0x5A));
  r.setValue(odd, "multi", REG_MULTI_SZ, raw("one\0tw\xF6\0\0"sv));
  r.setValue(odd, "multiBare", REG_MULTI_SZ, raw("x"));
  r.setValue(odd, "expand", REG_EXPAND_SZ, raw("%SystemRoot%\\x\0"sv));
  r.setValue(odd, "expandOdd", REG_EXPAND_SZ, raw("\0\0\0"sv));
  r.setValue(odd, "none", REG_NONE, {});
  r.setValue(odd, "noneData", REG_NONE, {1, 2});
  r.setValue(odd, "resourceList", REG_RESOURCE_LIST, {1, 0, 0, 0});
  r.setValue(odd, "oddType", 0x12345678, {0xAA});

  r.setValue(odd + "\\Default", "", REG_SZ, {0});
  r.setValue(odd + "\\Default\\Binary", "", REG_BINARY, {0});
  r.addKey(odd + "\\Empty\\Deeper");
  r.addKey(odd + "\\ leading and trailing ");
  r.addKey(odd + "\\Quote\"d=Key;");
  r.addKey(odd +
           "\\Stra\xDF"
           "e \xE9\xFF");
  r.addKey(odd + "\\-dash");
  r.addKey("HKEY_LOCAL_MACHINE\\Software\\]");
  r.setDword("HKEY_CURRENT_USER\\Software\\QV", "n", 7);
  r.setString("HKEY_CLASSES_ROOT\\.qvx", "", "QV.File");
  r.addKey("HKEY_CURRENT_CONFIG\\System\\Fonts");
  r.setString("HKEY_CURRENT_CONFIG", "onTheRoot", "1");
  r.setDword("HKEY_USERS", "onAnEmptyRoot", 2);
}

TEST_F(RegFileTest, WrittenImagesReadBackToTheSameRegistryInBothFormats) {
  fillOddRegistry(registry);
  const std::vector<std::string> original = dump(registry);
  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    SCOPED_TRACE(formatName(format));
    const std::string image = image::writeRegText(registry, format);
    sim::Machine copy;
    image::applyRegText(copy.registry, image, "roundtrip.reg");
    EXPECT_EQ(dump(copy.registry), original);
    // The copy writes the same image again: nothing drifts.
    EXPECT_EQ(image::writeRegText(copy.registry, format), image);
  }
}

TEST_F(RegFileTest, WrittenHexListsStayWithinRegeditLineWidth) {
  fillOddRegistry(registry);
  std::istringstream lines(image::writeRegText(registry));
  std::string line;
  bool continued = false;
  int continuations = 0;
  while (std::getline(lines, line)) {
    ASSERT_FALSE(line.empty()) << "line without CR";
    ASSERT_EQ(line.back(), '\r');
    line.pop_back();
    if (continued) {
      ASSERT_GT(line.size(), 2u);
      EXPECT_EQ(line.substr(0, 2), "  ") << line;
      EXPECT_TRUE(std::isxdigit(static_cast<unsigned char>(line[2]))) << line;
      EXPECT_LE(line.size(), 78u) << line;
      ++continuations;
    } else if (!line.empty() && line.back() == '\\' && line.size() > 78) {
      // Only a name too long for the line puts the first byte on the next.
      EXPECT_EQ(line.substr(line.size() - 2), ":\\") << line;
    }
    continued = !line.empty() && line.back() == '\\';
  }
  EXPECT_FALSE(continued);
  EXPECT_GT(continuations, 10);
}

TEST_F(RegFileTest, UndoImagePutsBackWhatTheChangesDeleted) {
  image::loadRegFile(registry, QVINST98_MACHINES_DIR "/win98.reg");
  fillOddRegistry(registry);
  const std::set<std::string> before = sortedDump(registry);
  std::vector<sim::Change> changes;

  auto deleteKey = [&](const std::string& path) {
    // Logged as the registry logs a tree: every key with its values,
    // children first.
    const std::string stored = *registry.storedPath(path);
    std::vector<sim::KeySnapshot> tree;
    registry.forEachKey([&](const sim::KeySnapshot& key) {
      if (key.path == stored || key.path.starts_with(stored + "\\")) tree.push_back(key);
    });
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
      changes.push_back({sim::Change::Kind::DeletedKey, it->path, "", it->values});
    }
    ASSERT_TRUE(registry.removeKey(path));
  };
  auto deleteValue = [&](const std::string& path, const std::string& name) {
    const auto v = registry.value(path, name);
    ASSERT_TRUE(v.has_value());
    changes.push_back({sim::Change::Kind::DeletedValue, *registry.storedPath(path), name, {*v}});
    ASSERT_TRUE(registry.removeValue(path, name));
  };
  auto createKey = [&](const std::string& path) {
    changes.push_back({sim::Change::Kind::CreatedKey, path, "", {}});
    registry.addKey(path);
  };

  const std::string enumUsb = "HKEY_LOCAL_MACHINE\\Enum\\USB\\VID_1D9F&PID_2100";
  const std::string media5 =
      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class\\MEDIA\\0005";
  const std::string asd =
      "HKLM\\System\\CurrentControlSet\\Control\\ASD\\Prob\\{9b4e7760-3196-11cf-97ea-00aa0034319d}";
  deleteKey(enumUsb);
  deleteValue(media5, "DriverDesc");  // a value, then its whole key
  deleteKey(media5);
  deleteValue(asd, "ROOT\\*QV_TILLERDESK\\0000");
  deleteValue("HKEY_LOCAL_MACHINE\\Software\\Odd [brackets]]", "Quote \"and\" back\\slash = [x]");
  deleteValue("HKEY_LOCAL_MACHINE\\Software\\Odd [brackets]]", "noNul");
  deleteKey("HKEY_LOCAL_MACHINE\\Software\\Odd [brackets]]\\Default");
  createKey("HKEY_LOCAL_MACHINE\\Enum\\Root\\*QV_TILLERDESK\\0001");
  createKey("HKEY_LOCAL_MACHINE\\Software\\Created");
  createKey("HKEY_LOCAL_MACHINE\\Software\\Created\\Child");
  deleteKey("HKEY_LOCAL_MACHINE\\Software\\Created");  // created and deleted by the run
  changes.push_back({sim::Change::Kind::DeletedFile, "C:\\WINDOWS\\INF\\drvdata.bin", "", {}});
  ASSERT_NE(sortedDump(registry), before);

  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    SCOPED_TRACE(formatName(format));
    sim::Machine after;
    image::applyRegText(after.registry, image::writeRegText(registry), "after.reg");
    image::applyRegText(after.registry, image::writeUndoText(changes, format), "undo.reg");
    EXPECT_EQ(sortedDump(after.registry), before);
  }
}

TEST_F(RegFileTest, UndoImageRestoresWhatTheRegistryLoggedItself) {
  image::loadRegFile(registry, QVINST98_MACHINES_DIR "/win98.reg");
  const std::vector<std::string> before = dump(registry);
  ASSERT_TRUE(registry.removeKeyLogged("HKEY_LOCAL_MACHINE\\Enum\\HID\\VID_1D9F&PID_2124"));
  ASSERT_TRUE(registry.removeKeyLogged(
      "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\joystick\\<FixedKey>"));
  registry.addKeyLogged("HKEY_LOCAL_MACHINE\\Enum\\Root\\*QV_TILLERDESK\\0001\\Sub");
  ASSERT_FALSE(machine.changes.empty());

  image::applyRegText(registry, image::writeUndoText(machine.changes), "undo.reg");
  EXPECT_EQ(dump(registry), before);
}

TEST_F(RegFileTest, UndoImageSpellsRootsInFullAndLeavesOutWhatIsNotRegistry) {
  EXPECT_EQ(image::writeUndoText({}), "REGEDIT4\r\n\r\n");
  EXPECT_EQ(image::writeUndoText({}, image::RegFormat::Regedit5),
            utf16Image(u"Windows Registry Editor Version 5.00\r\n\r\n"));
  const std::vector<sim::Change> changes = {
      {sim::Change::Kind::DeletedValue,
       "HKLM\\Software\\A",
       "name",
       {{"", REG_DWORD, {1, 0, 0, 0}}}},
      {sim::Change::Kind::DeletedValue, "HKLM\\Software\\A", "unknown", {}},
      {sim::Change::Kind::RemovedDevice, "USB\\VID_1D9F&PID_2100\\1", "", {}},
      {sim::Change::Kind::CreatedNode, "ROOT\\*QV_TILLERDESK\\0000", "", {}},
      {sim::Change::Kind::DeletedFile, "C:\\WINDOWS\\INF\\drvidx.bin", "", {}},
      {sim::Change::Kind::CreatedKey, "HKCU\\Software\\New", "", {}},
  };
  EXPECT_EQ(image::writeUndoText(changes),
            "REGEDIT4\r\n"
            "\r\n"
            "[-HKEY_CURRENT_USER\\Software\\New]\r\n"
            "\r\n"
            "[HKEY_LOCAL_MACHINE\\Software\\A]\r\n"
            "\"name\"=dword:00000001\r\n"
            "\r\n");
}

// A .reg image cannot hold a NUL in a name: writing one raw would make an
// image that no reader takes, so writing is refused, naming the name.
TEST_F(RegFileTest, NamesHoldingNulAreRefusedRatherThanWrittenRaw) {
  using namespace std::string_literals;
  auto refusal = [](const std::function<void()>& write) {
    try {
      write();
    } catch (const image::Error& e) {
      return std::string(e.what());
    }
    return std::string("nothing refused");
  };
  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    SCOPED_TRACE(formatName(format));
    sim::Machine keyMachine;
    keyMachine.registry.addKey("HKLM\\Software\\A\0B"s);
    EXPECT_THAT(refusal([&] { image::writeRegText(keyMachine.registry, format); }),
                ::testing::HasSubstr("key \"HKEY_LOCAL_MACHINE\\Software\\A<NUL>B\" holds a NUL"));

    sim::Machine valueMachine;
    valueMachine.registry.setDword("HKLM\\Software\\C", "v\0w"s, 1);
    EXPECT_THAT(refusal([&] { image::writeRegText(valueMachine.registry, format); }),
                ::testing::HasSubstr("value \"v<NUL>w\" holds a NUL"));

    const std::vector<sim::Change> deleted = {
        {sim::Change::Kind::DeletedKey, "HKLM\\Software\\D\0"s, "", {}}};
    EXPECT_THAT(refusal([&] { image::writeUndoText(deleted, format); }),
                ::testing::HasSubstr("D<NUL>\" holds a NUL"));
  }
}

TEST_F(RegFileTest, LoadsTheSameRegistryFromARegedit4AndAUtf16File) {
  const std::filesystem::path dir = QVINST98_TESTDATA_DIR;
  const std::string utf16 = readFile(dir / "regedit5_utf16le.reg");
  ASSERT_EQ(utf16.substr(0, 4), "\xFF\xFEW\0"s);

  registry.setString("HKEY_CURRENT_USER\\Control Panel\\Joystick", "Gone", "x");
  sim::Machine wide;
  wide.registry.setString("HKEY_CURRENT_USER\\Control Panel\\Joystick", "Gone", "x");
  image::loadRegFile(registry, dir / "regedit4_sample.reg");
  image::loadRegFile(wide.registry, dir / "regedit5_utf16le.reg");
  EXPECT_EQ(dump(wide.registry), dump(registry));

  const std::string key = "HKEY_LOCAL_MACHINE\\Software\\QV Sample";
  EXPECT_EQ(value(key, "").value().data, bytes("Default text\0"sv));
  EXPECT_EQ(value(key, "Path").value().data, bytes("C:\\Program Files\\QV\0"sv));
  EXPECT_EQ(value(key, "Expand").value().type, REG_EXPAND_SZ);
  EXPECT_EQ(value(key, "Expand").value().data, bytes("%SystemRoot%\\system\0"sv));
  EXPECT_EQ(value(key, "Multi").value().data, bytes("one\0two\0\0"sv));
  EXPECT_EQ(value(key, "Blob").value().data.size(), 32u);
  EXPECT_EQ(value(key, "Price").value().data, bytes("5 ?\0"sv));
  EXPECT_EQ(value(key, "Caf\xE9").value().data, bytes("cr\xE8me br\xFBl\xE9\x65\0"sv));
  EXPECT_TRUE(registry.keyExists(key + "\\Empty"));
  EXPECT_FALSE(value("HKEY_CURRENT_USER\\Control Panel\\Joystick", "Gone").has_value());
  EXPECT_TRUE(value("HKEY_CURRENT_USER\\Control Panel\\Joystick", "Kept").has_value());
}

TEST_F(RegFileTest, SavedFilesLoadBackAndUnreadableFilesAreErrors) {
  fillOddRegistry(registry);
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qvinst98-regfile-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    SCOPED_TRACE(formatName(format));
    const auto file = dir / "saved.reg";
    image::saveRegFile(registry, file, format);
    EXPECT_EQ(readFile(file), image::writeRegText(registry, format));
    sim::Machine copy;
    image::loadRegFile(copy.registry, file);
    EXPECT_EQ(dump(copy.registry), dump(registry));
  }
  const auto missing = dir / "missing.reg";
  try {
    image::loadRegFile(registry, missing);
    ADD_FAILURE() << "a missing file loaded";
  } catch (const image::Error& error) {
    EXPECT_NE(std::string(error.what()).find(missing.string()), std::string::npos);
  }
  // A malformed file names itself and the line.
  const auto bad = dir / "bad.reg";
  std::ofstream(bad, std::ios::binary) << "REGEDIT4\r\n\r\n[HKLM\\A]\r\n\"v\"=dword:1\r\n";
  try {
    image::loadRegFile(registry, bad);
    ADD_FAILURE() << "a malformed file loaded";
  } catch (const image::Error& error) {
    EXPECT_EQ(std::string(error.what()).rfind(bad.string() + ":4: ", 0), 0u) << error.what();
  }
  std::filesystem::remove_all(dir);
}

// ---- The bundled sample machines ------------------------------------------

struct SampleMachine {
  const char* file;
  const char* header;
  const char* enumRoot;
  const char* classRoot;
};

void PrintTo(const SampleMachine& machine, std::ostream* out) {
  *out << machine.file;
}

class SampleMachineTest : public ::testing::TestWithParam<SampleMachine> {
protected:
  sim::Machine machine;
  sim::Registry& registry = machine.registry;

  void SetUp() override {
    image::loadRegFile(registry, std::filesystem::path(QVINST98_MACHINES_DIR) / GetParam().file);
  }
  std::string text(std::string_view key, std::string_view name) const {
    const auto v = registry.value(key, name);
    if (!v || v->data.empty()) return {};
    return std::string(v->data.begin(), v->data.end() - 1);
  }
};

TEST_P(SampleMachineTest, IsWrittenAsRegeditWritesItAndReadsBackUnchanged) {
  const std::string image =
      readFile(std::filesystem::path(QVINST98_MACHINES_DIR) / GetParam().file);
  EXPECT_EQ(image.substr(0, image.find("\r\n")), GetParam().header);
  EXPECT_EQ(image.find("\n\n"), std::string::npos) << "LF without CR";
  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    sim::Machine copy;
    image::applyRegText(copy.registry, image::writeRegText(registry, format), "copy.reg");
    EXPECT_EQ(dump(copy.registry), dump(registry)) << formatName(format);
  }
}

TEST_P(SampleMachineTest, HoldsEveryDeviceKindWithDriverKeysThatExist) {
  const std::string enumRoot = GetParam().enumRoot;
  const std::string classRoot = GetParam().classRoot;
  struct Device {
    std::string key;  // below the enumerator root
    std::size_t instances;
  };
  const std::vector<Device> devices = {
      {"USB\\VID_1D9F&PID_2100", 2}, {"USB\\VID_1D9F&PID_2124", 1}, {"USB\\VID_1D9F&PID_2181", 1},
      {"HID\\VID_1D9F&PID_2100", 2}, {"HID\\VID_1D9F&PID_2124", 1}, {"HID\\VID_1D9F&PID_2181", 1},
      {"USB\\VID_045E&PID_0040", 1}, {"USB\\VID_046D&PID_C216", 1}, {"HID\\VID_045E&PID_0040", 1},
      {"HID\\VID_046D&PID_C216", 1},
  };
  for (const Device& device : devices) {
    SCOPED_TRACE(device.key);
    EXPECT_EQ(registry.subkeyNames(enumRoot + "\\" + device.key).size(), device.instances);
  }
  // Every instance below the enumerator tree names a driver key that is
  // there, and no two instances share one.
  std::set<std::string> drivers;
  std::set<std::string> classes;
  std::size_t instances = 0;
  for (const std::string& enumerator : registry.subkeyNames(enumRoot)) {
    for (const std::string& id : registry.subkeyNames(enumRoot + "\\" + enumerator)) {
      for (const std::string& instance :
           registry.subkeyNames(enumRoot + "\\" + enumerator + "\\" + id)) {
        const std::string key = enumRoot + "\\" + enumerator + "\\" + id + "\\" + instance;
        SCOPED_TRACE(key);
        ++instances;
        const auto driver = registry.value(key, "Driver");
        if (!driver) continue;
        EXPECT_EQ(driver->type, REG_SZ);
        const std::string name = text(key, "Driver");
        EXPECT_TRUE(registry.keyExists(classRoot + "\\" + name));
        EXPECT_TRUE(drivers.insert(name).second) << "shared driver key " << name;
        classes.insert(name.substr(0, name.find('\\')));
      }
    }
  }
  EXPECT_GE(instances, 14u);
  EXPECT_GE(classes.size(), 4u);
  // Joystick settings and OEM keys of the three product IDs and another's.
  const std::string settings = std::string(GetParam().file) == "win98.reg"
                                   ? "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\"
                                     "joystick\\<FixedKey>\\JoystickSettings"
                                   : "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\"
                                     "Joystick\\DINPUT.DLL\\JoystickSettings";
  const std::string oem =
      "HKLM\\System\\CurrentControlSet\\Control\\MediaProperties\\PrivateProperties\\Joystick\\OEM";
  for (const char* id :
       {"VID_1D9F&PID_2100", "VID_1D9F&PID_2124", "VID_1D9F&PID_2181", "VID_046D&PID_C216"}) {
    EXPECT_TRUE(registry.keyExists(settings + "\\" + id)) << id;
    EXPECT_TRUE(registry.keyExists(oem + "\\" + id)) << id;
  }
  // Every device interface key names an instance that is there.
  const std::string deviceClasses = "HKLM\\System\\CurrentControlSet\\Control\\DeviceClasses\\";
  for (const char* guid :
       {"{4d1e55b2-f16f-11cf-88cb-001111000030}", "{a5dcbf10-6530-11d2-901f-00c04fb951ed}"}) {
    const auto interfaces = registry.subkeyNames(deviceClasses + guid);
    EXPECT_GE(interfaces.size(), 4u) << guid;
    for (const std::string& name : interfaces) {
      const std::string instance = text(deviceClasses + guid + "\\" + name, "DeviceInstance");
      EXPECT_TRUE(registry.keyExists(enumRoot + "\\" + instance)) << name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Bundled, SampleMachineTest,
    ::testing::Values(
        SampleMachine{"win98.reg", "REGEDIT4", "HKEY_LOCAL_MACHINE\\Enum",
                      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\Class"},
        SampleMachine{"winxp.reg", "Windows Registry Editor Version 5.00",
                      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Enum",
                      "HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Class"}),
    [](const ::testing::TestParamInfo<SampleMachine>& info) {
      return std::string(info.param.file).substr(0, 5);
    });

TEST(SampleMachines, Win98HoldsTheRootDeviceAndTheLegacyOnlyRecords) {
  sim::Machine machine;
  image::loadRegFile(machine.registry, QVINST98_MACHINES_DIR "/win98.reg");
  const sim::Registry& r = machine.registry;
  const std::string root = "HKLM\\Enum\\Root\\*QV_TILLERDESK\\0000";
  ASSERT_TRUE(r.keyExists(root));
  const auto driver = r.value(root, "Driver");
  ASSERT_TRUE(driver.has_value());
  const std::string driverKey(driver->data.begin(), driver->data.end() - 1);
  EXPECT_TRUE(r.keyExists("HKLM\\System\\CurrentControlSet\\Services\\Class\\" + driverKey));
  const std::string asd = "HKLM\\System\\CurrentControlSet\\Control\\ASD\\Prob\\";
  for (const char* guid :
       {"{9b4e7760-3196-11cf-97ea-00aa0034319d}", "{cf2524c0-29ae-11cf-97ea-00aa0034319d}"}) {
    EXPECT_TRUE(r.value(asd + guid, "ROOT\\*QV_TILLERDESK\\0000").has_value()) << guid;
  }
  EXPECT_TRUE(r.value(asd + "{9b4e7760-3196-11cf-97ea-00aa0034319d}",
                      "USB\\VID_045E&PID_0040\\5&3A2B1C0D&0&2")
                  .has_value());
  // Each HID joystick's MEDIA driver has its joystick resource key.
  const std::string joystick =
      "HKLM\\System\\CurrentControlSet\\Control\\MediaResources\\joystick\\";
  for (const char* number : {"0004", "0005", "0006", "0007"}) {
    EXPECT_TRUE(r.keyExists(joystick + "msjstick.drv<" + number + ">")) << number;
  }
  EXPECT_EQ(r.subkeyNames("HKLM\\Enum\\QVProducts").size(), 2u);
}

TEST(SampleMachines, WinXpHasNoRootDeviceAndKeepsMultiStringsAs8BitText) {
  sim::Machine machine;
  image::loadRegFile(machine.registry, QVINST98_MACHINES_DIR "/winxp.reg");
  const sim::Registry& r = machine.registry;
  EXPECT_FALSE(r.keyExists("HKLM\\Enum\\Root\\*QV_TILLERDESK"));
  EXPECT_FALSE(r.keyExists("HKLM\\System\\CurrentControlSet\\Enum\\Root\\*QV_TILLERDESK"));
  const auto hardwareId =
      r.value("HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_1D9F&PID_2100\\6&2a0b1c3d&0&1",
              "HardwareID");
  ASSERT_TRUE(hardwareId.has_value());
  EXPECT_EQ(hardwareId->type, REG_MULTI_SZ);
  EXPECT_EQ(hardwareId->data,
            bytes("USB\\VID_1D9F&PID_2100&REV_0100\0USB\\VID_1D9F&PID_2100\0\0"sv));
  EXPECT_EQ(
      r.value("HKCU\\Software\\QV\\Tillerdesk\\Profiles\\Caf\xE9 Racer", "Device").value().type,
      REG_SZ);
}

// ---------------------------------------------------------------------------
// Images are read in pieces as they come from a file: wherever a piece ends
// (inside a UTF-16 surrogate pair or a UTF-8 character, between CR and LF,
// inside a continued hex list), the registry and the errors are those of the
// whole image.

std::vector<std::string_view> cutAt(std::string_view image, std::size_t at) {
  return {image.substr(0, at), image.substr(at)};
}

std::vector<std::string_view> bytewise(std::string_view image) {
  std::vector<std::string_view> pieces;
  for (std::size_t i = 0; i < image.size(); ++i) pieces.push_back(image.substr(i, 1));
  return pieces;
}

constexpr std::u16string_view kCutText =
    u"Windows Registry Editor Version 5.00\r\n\r\n"
    u"[HKEY_LOCAL_MACHINE\\Software\\T\xD83D\xDE00x]\r\n"
    u"\"a\"=\"x\xD83D\xDE00y\xE9\"\r\n"
    u"\"h\"=hex(2):41,00,\\\r\n"
    u"  42,00,00,00\r\n"
    u"\"\xE9t\xE9\"=dword:00000001\r\n"
    u"@=hex:01,02,\\\r\n"
    u"  03\r\n";

TEST_F(RegFileTest, ImagesCutAnywhereReadAsTheWholeImage) {
  std::string hex2 = "REGEDIT4\n\n[HKLM\\Software\\T]\n\"h\"=hex(7):61,00,\\\n  62,00,00,00\n";
  hex2 += "\"s\"=\"tail without a line end\"";
  const std::vector<std::pair<const char*, std::string>> images = {
      {"UTF-16LE", utf16Image(kCutText)},
      {"UTF-8 with a mark", "\xEF\xBB\xBF" + utf8Image(kCutText)},
      {"UTF-8", utf8Image(kCutText)},
      {"REGEDIT4, LF only", hex2},
  };
  for (const auto& [name, image] : images) {
    SCOPED_TRACE(name);
    sim::Machine whole;
    image::applyRegText(whole.registry, image, "cut.reg");
    const std::vector<std::string> expected = dump(whole.registry);
    ASSERT_GT(expected.size(), 2u);
    for (std::size_t at = 0; at <= image.size(); ++at) {
      sim::Machine cut;
      image::applyRegPieces(cut.registry, cutAt(image, at), "cut.reg");
      ASSERT_EQ(dump(cut.registry), expected) << "cut at byte " << at;
    }
    sim::Machine bytes;
    image::applyRegPieces(bytes.registry, bytewise(image), "cut.reg");
    EXPECT_EQ(dump(bytes.registry), expected);
  }
}

TEST_F(RegFileTest, MalformedImagesCutAnywhereFailAsTheWholeImageAndChangeNothing) {
  const std::u16string_view head = u"Windows Registry Editor Version 5.00\r\n\r\n[HKLM\\A]\r\n";
  const std::string v5 = utf8Image(head);
  const std::vector<std::pair<std::string, std::string>> cases = {
      // The first fault in the text is the one named, be it in the encoding
      // or in the text it decodes to.
      {utf16Image(std::u16string(head) + u"\"a\"=\"b\"\r\n") + "x", "cut.reg:5: UTF-16 text ends"},
      {v5 + "\"a\"=\"\xC3\x28\"\r\n[HKLM\\B\r\n", "cut.reg:4: invalid UTF-8"},
      {v5 + "[HKLM\\B\r\n\"a\"=\"\xC3\x28\"\r\n", "cut.reg:4: key line without"},
      {v5 + "\"a\"=\"\xE2\x82", "cut.reg:4: invalid UTF-8"},
      {v5 + "\"h\"=hex:01,\\\r\n", "cut.reg:4: continued line at the end"},
      {utf16Image(std::u16string(head) + u"\"h\"=hex:01,\\\r\n  zz\r\n"), "cut.reg:5: bad hex"},
  };
  for (const auto& [image, message] : cases) {
    SCOPED_TRACE(message);
    for (std::size_t at = 0; at <= image.size(); ++at) {
      // An empty registry and one that holds keys take different roads in.
      for (const bool holdsKeys : {false, true}) {
        sim::Machine target;
        if (holdsKeys) target.registry.setString("HKLM\\Software\\Before", "kept", "yes");
        const std::vector<std::string> before = dump(target.registry);
        try {
          image::applyRegPieces(target.registry, cutAt(image, at), "cut.reg");
          ADD_FAILURE() << "accepted, cut at byte " << at;
        } catch (const image::Error& error) {
          ASSERT_EQ(std::string(error.what()).rfind(message, 0), 0u)
              << error.what() << ", cut at byte " << at;
        }
        ASSERT_EQ(dump(target.registry), before) << "cut at byte " << at;
      }
    }
  }
}

TEST_F(RegFileTest, LargeImagesSaveAndLoadInPiecesAsWrittenWhole) {
  // Several megabytes: the file is written and read over many pieces.
  for (int i = 0; i < 6000; ++i) {
    const std::string key = "HKLM\\Software\\Big\\K" + std::to_string(i * 7919 % 6000);
    registry.setString(key, "Name", "value number " + std::to_string(i));
    registry.setValue(key, "Blob", REG_BINARY, Bytes(90, static_cast<std::uint8_t>(i)));
    registry.setString(key, "Path", "%SystemRoot%\\x" + std::to_string(i), REG_EXPAND_SZ);
  }
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() / ("qvinst98-bigreg-" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  for (const image::RegFormat format : {image::RegFormat::Regedit4, image::RegFormat::Regedit5}) {
    SCOPED_TRACE(formatName(format));
    const auto file = dir / "big.reg";
    image::saveRegFile(registry, file, format);
    const std::string written = image::writeRegText(registry, format);
    ASSERT_GT(written.size(), std::size_t(2) << 20);
    EXPECT_TRUE(readFile(file) == written);
    sim::Machine copy;
    image::loadRegFile(copy.registry, file);
    EXPECT_TRUE(dump(copy.registry) == dump(registry));
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
