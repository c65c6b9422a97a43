#include <algorithm>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string_view>
#include <utility>

#include "CodePage.h"
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

using Bytes = std::vector<std::uint8_t>;

[[noreturn]] void fail(const std::string& origin, std::size_t line, const std::string& what) {
  throw Error(origin, line, what);
}

// The next key separator from `from` (a character's start) on, by character:
// a trail byte 0x5C of a double-byte code page belongs to its name.
std::size_t separatorAt(std::string_view path, std::size_t from) {
  const platform::names::Charset& charset = platform::names::ansi();
  if (!charset.doubleByte()) return path.find('\\', from);
  for (std::size_t at = from; at < path.size(); at += charset.charLength(path, at))
    if (path[at] == '\\') return at;
  return std::string_view::npos;
}

bool hasEmptyName(std::string_view path) {
  for (std::size_t start = 0;;) {
    const std::size_t end = separatorAt(path, start);
    if (end == start) return true;
    if (end == std::string_view::npos) return start == path.size();
    start = end + 1;
  }
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && equalNoCase(text.substr(0, prefix.size()), prefix);
}

bool isBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view trim(std::string_view s) {
  return trimRight(trimLeft(s));
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Windows refuses keys deeper than this below their root.
constexpr std::size_t kMaxKeyDepth = 512;

// ---------------------------------------------------------------------------
// Decoding, a piece at a time: every image becomes 8-bit text, since the
// registry is ANSI here. A character cut by the end of a piece waits for the
// next piece; a fault stops the decoding where it is.

enum class Encoding { Bytes, Utf8, Utf16 };

// What a Unicode image's characters become. Without a code page (the bundled
// machines, NT hives) each is its Latin-1 byte and a character outside
// Latin-1 becomes '?', as the ANSI registry functions would give it. With the
// code page of a CREG file each becomes that code page's bytes, and a
// character the code page lacks stops the decoding: '?' would merge names.
class Narrower {
public:
  Narrower() {
    if (const int number = platform::names::ansi().codepage) codePage_.emplace(number);
  }

  bool latin1() const { return !codePage_; }
  const CodePage* codePage() const { return codePage_ ? &*codePage_ : nullptr; }
  char32_t missing() const { return missing_; }

  bool append(std::string& out, char32_t codePoint) {
    if (!codePage_) {
      out.push_back(codePoint <= 0xFF ? static_cast<char>(codePoint) : '?');
    } else if (!codePage_->append(out, codePoint)) {
      missing_ = codePoint;
      return false;
    }
    return true;
  }

private:
  std::optional<CodePage> codePage_;
  char32_t missing_ = 0;
};

constexpr const char* kNotInCodePage = "a character not in the code page";

std::uint16_t unitAt(std::string_view bytes, std::size_t i) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes[i]) |
                                    static_cast<std::uint8_t>(bytes[i + 1]) << 8);
}

// Decodes what it can of `bytes` onto `out` and returns how many bytes it
// took; `last` when no bytes follow.
std::size_t decodeUtf16(std::string_view bytes, bool last, std::string& out, const char*& fault,
                        Narrower& narrower) {
  // Written in place: one growth of the text per piece, not one per character.
  const std::size_t start = out.size();
  out.resize(start + bytes.size() / 2);
  char* to = out.data() + start;
  const auto* from = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t whole = bytes.size() & ~std::size_t(1);
  // Bytes that are their own character in every code page.
  const unsigned plain = narrower.latin1() ? 0x100 : 0x80;
  std::string character;
  std::size_t i = 0;
  while (i < whole) {
    // Latin-1 (or ASCII) text, nearly all of an image, in a tight loop.
    while (i < whole && from[i + 1] == 0 && from[i] < plain) {
      *to++ = static_cast<char>(from[i]);
      i += 2;
    }
    if (i >= whole) break;
    const std::uint16_t unit = unitAt(bytes, i);
    char32_t codePoint = unit;
    std::size_t units = 1;
    if (unit >= 0xD800 && unit <= 0xDBFF) {
      if (i + 3 < bytes.size()) {
        const std::uint16_t next = unitAt(bytes, i + 2);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          codePoint = 0x10000 + (char32_t(unit - 0xD800) << 10) + (next - 0xDC00);
          units = 2;
        }
      } else if (!last) {
        break;  // its other half may be in the next piece
      }
    }
    character.clear();
    if (!narrower.append(character, codePoint)) {
      fault = kNotInCodePage;
      break;
    }
    i += 2 * units;
    // Two bytes of a double-byte code page may stand for one unit: room is
    // kept for a byte of each unit after this one.
    const std::size_t at = std::size_t(to - out.data());
    const std::size_t need = at + character.size() + (whole - std::min(i, whole)) / 2;
    if (need > out.size()) out.resize(need);
    to = std::copy(character.begin(), character.end(), out.data() + at);
  }
  out.resize(std::size_t(to - out.data()));
  if (i != bytes.size() && last && !fault) fault = "UTF-16 text ends in half a character";
  return i;
}

std::size_t decodeUtf8(std::string_view bytes, bool last, std::string& out, const char*& fault,
                       Narrower& narrower) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto lead = static_cast<std::uint8_t>(bytes[i]);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead < 0x80) {
      out.push_back(static_cast<char>(lead));
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      fault = "invalid UTF-8 text";
      return i;
    }
    if (i + length > bytes.size()) {
      if (!last) return i;
      fault = "invalid UTF-8 text";
      return i;
    }
    for (std::size_t k = 1; k < length; ++k) {
      const auto cont = static_cast<std::uint8_t>(bytes[i + k]);
      if ((cont & 0xC0) != 0x80) {
        fault = "invalid UTF-8 text";
        return i;
      }
      codePoint = codePoint << 6 | (cont & 0x3F);
    }
    if (!narrower.append(out, codePoint)) {
      fault = kNotInCodePage;
      return i;
    }
    i += length;
  }
  return i;
}

// ---------------------------------------------------------------------------
// Parsing, one physical line at a time, straight into the registry (or, on
// a checking pass, into nothing).

// Text that may run over several physical lines; each run of characters
// remembers the line it came from, so that an error names the right one.
struct LogicalLine {
  std::string text;
  std::vector<std::pair<std::size_t, std::size_t>> runs;  // first position, line
  std::size_t lastLine = 0;  // what is missing at the end is missing there

  void clear() {
    text.clear();
    runs.clear();
  }

  void add(std::string_view body, std::size_t line) {
    if (!body.empty()) runs.emplace_back(text.size(), line);
    text.append(body);
    lastLine = line;
  }

  std::size_t lineOf(std::size_t pos) const {
    if (pos >= text.size()) return lastLine;
    auto after = std::upper_bound(runs.begin(), runs.end(), pos,
                                  [](std::size_t p, const auto& run) { return p < run.first; });
    return std::prev(after)->second;
  }
};

class Parser {
public:
  // With no target the image is only checked.
  // With a scope, key lines are moved or refused as it says.
  Parser(const std::string& origin, Registry* target, const ImportScope* within = nullptr)
      : origin_(origin), target_(target), within_(within) {}

  // Each physical line in order, without its line end.
  void line(std::string_view text) {
    ++number_;
    if (gathering_) {
      gather(trimLeft(text));
      return;
    }
    if (number_ == 1) {
      const std::string_view header = trimRight(text);
      if (header == kRegHeader4) {
        unicode_ = false;
      } else if (header == kRegHeader5) {
        unicode_ = true;
      } else {
        fail(origin_, 1, "not a registry image: bad header");
      }
      return;
    }
    const std::string_view line = trimLeft(text);
    if (line.empty() || line.front() == ';') return;
    if (line.front() == '[') {
      keyLine(trimRight(line), number_);
    } else if (line.front() == '"' || line.front() == '@') {
      logical_.clear();
      valueStart_ = number_;
      hexData_ = holdsHexList(line);
      gather(line);
    } else {
      fail(origin_, number_, "unexpected text");
    }
  }

  void finish() const {
    if (number_ == 0) fail(origin_, 1, "missing header");
    if (gathering_) fail(origin_, number_, "continued line at the end of the image");
  }

  std::size_t linesSeen() const { return number_; }
  // The last key line's key, as the registry names it.
  const std::string& currentKey() const { return currentKey_; }
  Narrower& narrower() { return narrower_; }

  // A character the code page lacks, met in the text of line `line`; the
  // text of that line as far as the image gives it, in UTF-8.
  [[noreturn]] void refuseMissingIn(std::size_t line, std::string_view shown) const {
    std::string_view text = trim(shown);
    std::string key;
    if (text.starts_with('[')) {
      text.remove_prefix(text.starts_with("[-") ? 2 : 1);
      key = text.substr(0, text.find(']'));
    } else if (!currentKey_.empty()) {
      key = narrower_.codePage()->utf8(currentKey_);
    }
    refuseMissing(line, key);
  }

  [[noreturn]] void refuseMissing(std::size_t line, const std::string& key) const {
    std::string character;
    appendUtf8(character, narrower_.missing());
    fail(origin_, line,
         (key.empty() ? std::string() : "key " + key + ": ") + "\"" + character + "\" (" +
             codePointName(narrower_.missing()) + ") is not in code page " +
             std::to_string(narrower_.codePage()->number()) + "; nothing imported");
  }

private:
  const std::string& origin_;
  Registry* target_;
  const ImportScope* within_;
  std::size_t number_ = 0;  // of the last line given
  bool unicode_ = false;
  bool haveKey_ = false;
  bool currentKeyDeleted_ = false;
  std::string currentKey_;
  Narrower narrower_;
  Registry::Node* currentNode_ = nullptr;  // in the target
  // A value line, gathered over its continuation lines.
  LogicalLine logical_;
  std::size_t valueStart_ = 0;
  bool hexData_ = false;
  bool gathering_ = false;
  // The last key made, and the key at the end of each of its components:
  // an image lists parents before children, so a key line mostly goes on
  // from the one before.
  std::string lastPath_;
  // Reused by every value line, so that reading values allocates nothing.
  std::string name_;
  std::string text_;
  Bytes data_;
  std::vector<std::pair<std::size_t, Registry::Node*>> chain_;  // end in lastPath_, key

  Registry::Node& makeKey(const std::string& full) {
    std::size_t kept = 0;
    while (kept < chain_.size()) {
      const std::size_t end = chain_[kept].first;
      if (end > full.size() || (end < full.size() && full[end] != '\\') ||
          full.compare(0, end, lastPath_, 0, end) != 0)
        break;
      ++kept;
    }
    chain_.resize(kept);
    if (chain_.empty()) {
      const std::size_t end = separatorAt(full, 0);
      const std::size_t rootEnd = end == std::string::npos ? full.size() : end;
      chain_.emplace_back(rootEnd, &target_->makeKey(full.substr(0, rootEnd)));
    }
    std::size_t start = chain_.back().first;
    while (start < full.size()) {
      ++start;  // the backslash
      std::size_t end = separatorAt(full, start);
      if (end == std::string::npos) end = full.size();
      Registry::Node& next = target_->makeChild(*chain_.back().second,
                                                std::string_view(full).substr(start, end - start));
      chain_.emplace_back(end, &next);
      start = end;
    }
    lastPath_ = full;
    return *chain_.back().second;
  }

  void keyLine(std::string_view line, std::size_t number) {
    if (line.back() != ']') fail(origin_, number, "key line without closing ']'");
    std::string_view path = line.substr(1, line.size() - 2);
    const bool deletion = !path.empty() && path.front() == '-';
    if (deletion) path.remove_prefix(1);
    if (path.empty()) fail(origin_, number, "empty key name");
    auto full = path::fullRootPath(path);
    if (!full) fail(origin_, number, "unknown root key");
    if (hasEmptyName(*full)) {
      fail(origin_, number, "empty key name in path");
    }
    // The ANSI registry functions cannot name such a key: a path cut at the
    // NUL reaches another key.
    if (full->find('\0') != std::string::npos) fail(origin_, number, "NUL character in key name");
    if (std::count(full->begin(), full->end(), '\\') > std::ptrdiff_t(kMaxKeyDepth)) {
      fail(origin_, number, "key deeper than 512 levels");
    }
    if (deletion && full->find('\\') == std::string::npos) {
      fail(origin_, number, "a root key cannot be deleted");
    }
    if (within_) moveInto(*within_, *full, number);
    if (target_) {
      if (deletion) {
        target_->removeKey(*full);  // the key and everything below it
        currentNode_ = nullptr;
        chain_.clear();
      } else {
        currentNode_ = &makeKey(*full);
      }
    }
    haveKey_ = true;
    currentKeyDeleted_ = deletion;
    currentKey_ = *full;
  }

  void moveInto(const ImportScope& scope, std::string& full, std::size_t number) const {
    for (const ImportScope::Moved& moved : scope.moved) {
      if (!text::atOrBelow(full, moved.from)) continue;
      if (moved.to.empty()) fail(origin_, number, full + " " + moved.why + "; nothing imported");
      full = moved.to + full.substr(moved.from.size());
      break;
    }
    if (std::none_of(scope.within.begin(), scope.within.end(),
                     [&](const std::string& root) { return text::atOrBelow(full, root); }))
      fail(origin_, number, full + " " + scope.outside + "; nothing imported");
  }

  // Hex data may go on over lines that end in '\'.
  void gather(std::string_view part) {
    std::string_view body = trimRight(part);
    const bool continues = hexData_ && !body.empty() && body.back() == '\\';
    if (continues) body.remove_suffix(1);
    logical_.add(body, number_);
    gathering_ = continues;
    if (!continues) valueLine();
  }

  // The length of the character at `at` of a quoted string: in a Unicode
  // image read into a double-byte code page a trail byte '\' is part of its
  // character, not an escape. The 8-bit text of a REGEDIT4 image is taken
  // byte by byte, as the writer escapes it.
  std::size_t charLength(std::string_view text, std::size_t at) const {
    return unicode_ ? platform::names::ansi().charLength(text, at) : 1;
  }

  // Whether the value line's data, after its name and '=', is hex(..) or hex:.
  bool holdsHexList(std::string_view line) const {
    std::size_t pos = 1;
    if (line.front() == '"') {
      while (pos < line.size() && line[pos] != '"')
        pos += line[pos] == '\\' ? 2 : charLength(line, pos);
      ++pos;
    }
    if (pos >= line.size()) return false;
    std::string_view rest = trimLeft(line.substr(pos));
    if (rest.empty() || rest.front() != '=') return false;
    return startsWithNoCase(trimLeft(rest.substr(1)), "hex");
  }

  void valueLine() {
    const LogicalLine& logical = logical_;
    const std::size_t number = valueStart_;
    if (!haveKey_) fail(origin_, number, "value line before any key line");
    if (currentKeyDeleted_) fail(origin_, number, "value line below a deleted key");

    const std::string& t = logical.text;
    std::size_t pos = 0;
    std::string& name = name_;
    name.clear();
    if (t[0] == '@') {
      pos = 1;
    } else {
      quoted(logical, pos, name);
      if (name.find('\0') != std::string::npos) {
        fail(origin_, logical.lineOf(0), "NUL character in value name");
      }
    }
    while (pos < t.size() && isBlank(t[pos])) ++pos;
    if (pos >= t.size() || t[pos] != '=') fail(origin_, logical.lineOf(pos), "'=' expected");
    ++pos;
    while (pos < t.size() && isBlank(t[pos])) ++pos;

    DWORD type = REG_SZ;
    Bytes& data = data_;
    data.clear();
    const std::string_view rest = std::string_view(t).substr(pos);
    if (rest.empty()) fail(origin_, logical.lineOf(pos), "value data expected");
    if (rest.front() == '-' && trim(rest.substr(1)).empty()) {
      if (target_) target_->removeValue(*currentNode_, name);
      return;
    }
    if (rest.front() == '"') {
      std::string& text = text_;
      text.clear();
      quoted(logical, pos, text);
      expectEnd(logical, pos);
      type = REG_SZ;
      data.assign(text.begin(), text.end());
      data.push_back(0);
    } else if (startsWithNoCase(rest, "dword:")) {
      pos += 6;
      type = REG_DWORD;
      dword(logical, pos, data);
    } else if (startsWithNoCase(rest, "hex:")) {
      pos += 4;
      type = REG_BINARY;
      hexList(logical, pos, data);
    } else if (startsWithNoCase(rest, "hex(")) {
      pos += 4;
      type = hexType(logical, pos);
      hexList(logical, pos, data);
      if (unicode_ && isTextType(type)) narrow(data, logical.lineOf(pos));
    } else {
      fail(origin_, logical.lineOf(pos), "unknown value data");
    }
    if (target_) target_->setValue(*currentNode_, name, type, data);
  }

  // Appends the quoted text starting at pos, with the escapes \\ and \".
  void quoted(const LogicalLine& logical, std::size_t& pos, std::string& out) const {
    const std::string& t = logical.text;
    ++pos;  // the opening quote
    for (;;) {
      // Plain characters up to the next quote or escape go in one append.
      std::size_t stop = pos;
      while (stop < t.size() && t[stop] != '"' && t[stop] != '\\') stop += charLength(t, stop);
      stop = std::min(stop, t.size());
      if (stop == t.size()) fail(origin_, logical.lineOf(t.size()), "unterminated string");
      out.append(t, pos, stop - pos);
      pos = stop + 1;
      if (t[stop] == '"') return;
      if (pos >= t.size()) fail(origin_, logical.lineOf(pos), "unterminated string");
      const char escaped = t[pos++];
      if (escaped != '\\' && escaped != '"') {
        fail(origin_, logical.lineOf(pos - 1), std::string("bad escape '\\") + escaped + "'");
      }
      out.push_back(escaped);
    }
  }

  void expectEnd(const LogicalLine& logical, std::size_t pos) const {
    const std::string_view rest = trim(std::string_view(logical.text).substr(pos));
    if (!rest.empty()) fail(origin_, logical.lineOf(pos), "unexpected text after the value");
  }

  void dword(const LogicalLine& logical, std::size_t pos, Bytes& out) const {
    const std::string_view digits = trimRight(std::string_view(logical.text).substr(pos));
    if (digits.size() != 8) fail(origin_, logical.lineOf(pos), "dword needs 8 hex digits");
    std::uint32_t value = 0;
    for (char c : digits) {
      const int d = hexDigit(c);
      if (d < 0) fail(origin_, logical.lineOf(pos), std::string("bad hex digit '") + c + "'");
      value = value << 4 | static_cast<std::uint32_t>(d);
    }
    for (int shift = 0; shift < 32; shift += 8)
      out.push_back(static_cast<std::uint8_t>(value >> shift));
  }

  DWORD hexType(const LogicalLine& logical, std::size_t& pos) const {
    const std::string& t = logical.text;
    const std::size_t close = t.find(')', pos);
    if (close == std::string::npos || close + 1 >= t.size() || t[close + 1] != ':') {
      fail(origin_, logical.lineOf(pos), "hex(N): expected");
    }
    const std::string_view digits = std::string_view(t).substr(pos, close - pos);
    if (digits.empty() || digits.size() > 8) fail(origin_, logical.lineOf(pos), "bad value type");
    DWORD type = 0;
    for (char c : digits) {
      const int d = hexDigit(c);
      if (d < 0) fail(origin_, logical.lineOf(pos), std::string("bad hex digit '") + c + "'");
      type = type << 4 | static_cast<DWORD>(d);
    }
    pos = close + 2;
    return type;
  }

  // Comma-separated bytes of one or two hex digits; blanks around them are
  // allowed, an empty list gives no bytes.
  void hexList(const LogicalLine& logical, std::size_t pos, Bytes& out) const {
    const std::string& t = logical.text;
    if (trim(std::string_view(t).substr(pos)).empty()) return;
    for (;;) {
      while (pos < t.size() && isBlank(t[pos])) ++pos;
      const std::size_t start = pos;
      int value = 0;
      while (pos < t.size() && t[pos] != ',' && !isBlank(t[pos])) {
        const int d = hexDigit(t[pos]);
        if (d < 0)
          fail(origin_, logical.lineOf(pos), std::string("bad hex digit '") + t[pos] + "'");
        value = value << 4 | d;
        ++pos;
      }
      if (pos == start || pos - start > 2) fail(origin_, logical.lineOf(start), "bad hex byte");
      out.push_back(static_cast<std::uint8_t>(value));
      while (pos < t.size() && isBlank(t[pos])) ++pos;
      if (pos >= t.size()) return;
      if (t[pos] != ',') fail(origin_, logical.lineOf(pos), "',' expected between hex bytes");
      ++pos;
    }
  }

  static bool isTextType(DWORD type) {
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
  }

  // Text values of a version 5 image are UTF-16LE; here they are kept as
  // 8-bit text, so each character is narrowed as the image's text is.
  void narrow(Bytes& data, std::size_t line) {
    if (data.size() % 2 != 0) fail(origin_, line, "UTF-16 value data of odd length");
    std::string& narrowed = text_;
    narrowed.clear();
    const char* fault = nullptr;
    decodeUtf16(std::string_view(reinterpret_cast<const char*>(data.data()), data.size()),
                /*last=*/true, narrowed, fault, narrower_);
    if (fault == kNotInCodePage) refuseMissing(line, narrower_.codePage()->utf8(currentKey_));
    if (fault) fail(origin_, line, fault);
    data.assign(narrowed.begin(), narrowed.end());
  }
};

// Splits the decoded text into lines for the parser, as the raw bytes come.
class Reader {
public:
  Reader(Parser& parser, const std::string& origin) : parser_(parser), origin_(origin) {}

  // The next piece of the image; `last` with the final one (which may be
  // empty).
  void feed(std::string_view bytes, bool last) {
    std::string_view input = bytes;
    if (!decided_ || !carry_.empty()) {
      carry_.append(bytes);
      input = carry_;
    }
    if (!decided_) {
      // The header tells the encoding when there is no byte-order mark.
      if (input.size() < kRegHeader5.size() && !last) return;
      if (input.starts_with("\xFF\xFE")) {
        encoding_ = Encoding::Utf16;
        input.remove_prefix(2);
      } else if (input.starts_with("\xEF\xBB\xBF")) {
        encoding_ = Encoding::Utf8;
        input.remove_prefix(3);
      } else {
        encoding_ = input.starts_with(kRegHeader5) ? Encoding::Utf8 : Encoding::Bytes;
      }
      decided_ = true;
    }
    const char* fault = nullptr;
    std::size_t used = input.size();
    switch (encoding_) {
      case Encoding::Bytes:
        text_.append(input);
        break;
      case Encoding::Utf8:
        used = decodeUtf8(input, last, text_, fault, parser_.narrower());
        break;
      case Encoding::Utf16:
        used = decodeUtf16(input, last, text_, fault, parser_.narrower());
        break;
    }
    std::string rest(input.substr(used));  // a cut character, or where a fault is
    carry_ = std::move(rest);
    // The lines before a fault are read first, so that the first fault in
    // the text is the one reported, wherever the pieces were cut.
    splitLines(last && !fault);
    if (fault == kNotInCodePage) parser_.refuseMissingIn(parser_.linesSeen() + 1, lineShown());
    if (fault) fail(origin_, parser_.linesSeen() + 1, fault);
    if (last) parser_.finish();
  }

private:
  Parser& parser_;
  const std::string& origin_;
  bool decided_ = false;
  Encoding encoding_ = Encoding::Bytes;
  std::string carry_;  // raw bytes not decoded yet
  std::string text_;   // decoded text not split yet

  // The line decoding stopped in, in UTF-8: what was decoded of it, then the
  // rest of it as far as this piece holds it.
  std::string lineShown() const {
    std::string shown = parser_.narrower().codePage()->utf8(text_);
    for (std::size_t i = 0; i < carry_.size() && shown.size() < 1024;) {
      if (encoding_ == Encoding::Utf8) {
        if (carry_[i] == '\n') break;
        shown.push_back(carry_[i++]);
        continue;
      }
      if (i + 1 >= carry_.size()) break;
      char32_t c = unitAt(carry_, i);
      i += 2;
      if (c >= 0xD800 && c <= 0xDBFF && i + 1 < carry_.size()) {
        const std::uint16_t next = unitAt(carry_, i);
        if (next >= 0xDC00 && next <= 0xDFFF) {
          c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
          i += 2;
        }
      }
      if (c == '\n') break;
      appendUtf8(shown, c);
    }
    return shown;
  }

  void splitLines(bool all) {
    std::size_t start = 0;
    for (;;) {
      const std::size_t end = text_.find('\n', start);
      if (end == std::string::npos) break;
      giveLine(std::string_view(text_).substr(start, end - start));
      start = end + 1;
    }
    if (all && start < text_.size()) {
      giveLine(std::string_view(text_).substr(start));
      start = text_.size();
    }
    text_.erase(0, start);
  }

  void giveLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    parser_.line(line);
  }
};

// Gives the whole image to a reader, piece by piece.
using Pieces = std::function<void(Reader&)>;

// An empty registry takes the image straight in, and is emptied again when
// the image turns out malformed; otherwise the image is checked whole before
// a second reading applies it. Either way a malformed image changes nothing.
void readImage(Registry& registry, const std::string& origin, const Pieces& pieces,
               const ImportScope* within = nullptr) {
  if (registry.empty()) {
    try {
      Parser parser(origin, &registry, within);
      Reader reader(parser, origin);
      pieces(reader);
    } catch (...) {
      registry.clear();
      throw;
    }
    return;
  }
  {
    Parser check(origin, nullptr, within);
    Reader reader(check, origin);
    pieces(reader);
  }
  Parser parser(origin, &registry, within);
  Reader reader(parser, origin);
  pieces(reader);
}

constexpr std::size_t kPieceSize = std::size_t(1) << 18;

}  // namespace

void applyRegText(Registry& registry, std::string_view bytes, const std::string& origin) {
  readImage(registry, origin, [bytes](Reader& reader) {
    std::size_t at = 0;
    do {
      const std::string_view piece = bytes.substr(at, kPieceSize);
      at += piece.size();
      reader.feed(piece, at == bytes.size());
    } while (at < bytes.size());
  });
}

void applyRegPieces(Registry& registry, const std::vector<std::string_view>& pieces,
                    const std::string& origin) {
  readImage(registry, origin, [&pieces](Reader& reader) {
    for (std::string_view piece : pieces) reader.feed(piece, false);
    reader.feed({}, true);
  });
}

namespace {
void loadRegFileWithin(Registry& registry, const std::filesystem::path& file,
                       const ImportScope* within);
}  // namespace

void loadRegFile(Registry& registry, const std::filesystem::path& file) {
  loadRegFileWithin(registry, file, nullptr);
}

void loadRegFile(Registry& registry, const std::filesystem::path& file,
                 const std::vector<std::string>& within) {
  ImportScope scope;
  scope.within = within;
  loadRegFileWithin(registry, file, &scope);
}

void loadRegFile(Registry& registry, const std::filesystem::path& file, const ImportScope& scope) {
  loadRegFileWithin(registry, file, &scope);
}

namespace {

void loadRegFileWithin(Registry& registry, const std::filesystem::path& file,
                       const ImportScope* within) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw Error(file, "cannot be read");
  std::vector<char> buffer(kPieceSize);
  readImage(
      registry, file.string(),
      [&](Reader& reader) {
        in.clear();
        in.seekg(0);
        for (;;) {
          in.read(buffer.data(), std::streamsize(buffer.size()));
          const auto got = static_cast<std::size_t>(in.gcount());
          const bool last = got < buffer.size();
          reader.feed(std::string_view(buffer.data(), got), last);
          if (last) return;
        }
      },
      within);
}

}  // namespace

}  // namespace image
