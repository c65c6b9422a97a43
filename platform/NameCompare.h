// How Windows compares registry names: ASCII letters without regard to case,
// every other byte as it is. Shared by the simulated registry and the image
// readers and writers, which must agree on which names are one name.
//
// In a double-byte code page (932, 936, 949, 950) a lead byte and the byte
// after it are one character, compared as they are: a trail byte in a-z is
// not a letter, and a trail byte '\' does not end a name. The functions
// without a Charset take the simulated Windows' own (ansi()), single-byte
// unless a machine image in such a code page set it.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform::names {

// Which bytes start a two-byte character: none in single-byte code pages.
// `codepage` 0 names none: text is Latin-1, as the simulated Windows of the
// bundled machines and of NT hives has it.
struct Charset {
  unsigned char firstLow = 1, firstHigh = 0;  // empty ranges
  unsigned char secondLow = 1, secondHigh = 0;
  int codepage = 0;

  static constexpr Charset forCodePage(int codepage) {
    switch (codepage) {
      case 932:
        return {0x81, 0x9F, 0xE0, 0xFC, codepage};
      case 936:
      case 949:
      case 950:
        return {0x81, 0xFE, 1, 0, codepage};
      default:
        return {1, 0, 1, 0, codepage};
    }
  }
  // The ANSI code pages of Windows 95, 98 and Me.
  static constexpr bool known(int codepage) {
    switch (codepage) {
      case 874:
      case 932:
      case 936:
      case 949:
      case 950:
        return true;
      default:
        return codepage >= 1250 && codepage <= 1258;
    }
  }
  constexpr bool doubleByte() const { return firstLow <= firstHigh; }
  constexpr bool lead(char c) const {
    const auto b = static_cast<unsigned char>(c);
    return (b >= firstLow && b <= firstHigh) || (b >= secondLow && b <= secondHigh);
  }
  // The length of the character at `at`: 2 for a lead byte with a byte after it.
  constexpr std::size_t charLength(std::string_view text, std::size_t at) const {
    return lead(text[at]) && at + 1 < text.size() ? 2 : 1;
  }
};

// The simulated Windows' ANSI code page, system-wide as in Windows.
inline Charset& ansi() {
  static Charset charset;
  return charset;
}

inline char upperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// Folds a name byte by byte, knowing which bytes are trail bytes.
class Folder {
public:
  explicit Folder(const Charset& charset) : charset_(charset) {}
  char next(char c) {
    if (trail_) {
      trail_ = false;
      return c;
    }
    trail_ = charset_.lead(c);
    return upperChar(c);
  }

private:
  const Charset& charset_;
  bool trail_ = false;
};

inline std::string upper(std::string_view text, const Charset& charset) {
  std::string out(text);
  if (!charset.doubleByte()) {
    for (char& c : out) c = upperChar(c);
    return out;
  }
  Folder folder(charset);
  for (char& c : out) c = folder.next(c);
  return out;
}
inline std::string upper(std::string_view text) {
  return upper(text, ansi());
}

inline bool equalNoCase(std::string_view a, std::string_view b, const Charset& charset) {
  if (a.size() != b.size()) return false;
  Folder x(charset);
  Folder y(charset);
  for (std::size_t i = 0; i < a.size(); ++i)
    if (x.next(a[i]) != y.next(b[i])) return false;
  return true;
}
inline bool equalNoCase(std::string_view a, std::string_view b) {
  return equalNoCase(a, b, ansi());
}

}  // namespace platform::names
