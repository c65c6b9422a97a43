// Text between Unicode and a Windows ANSI code page (874, 932, 936, 949, 950,
// 1250 to 1258), through iconv: what a Unicode .reg image becomes in a
// registry whose names are bytes of that code page, and those bytes shown as
// UTF-8 in messages.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace image {

class CodePage {
public:
  // Error when iconv knows no such code page.
  explicit CodePage(int number);
  ~CodePage();
  CodePage(const CodePage&) = delete;
  CodePage& operator=(const CodePage&) = delete;

  int number() const { return number_; }

  // Appends the code page's bytes for one Unicode character; false, with
  // nothing appended, when the code page has no such character. A character
  // outside ASCII never becomes an ASCII byte: iconv's CP932 turns U+00A5
  // into '\', which would split a key name.
  bool append(std::string& out, char32_t codePoint);

  // The code page's text as UTF-8; a byte it does not define stays as its
  // Latin-1 character, so that nothing is lost from a message.
  std::string utf8(std::string_view text) const;

private:
  void close();

  int number_;
  void* encoder_;  // iconv_t, UTF-32LE to the code page
  void* decoder_;  // iconv_t, the code page to UTF-8
  // The bytes of each character met so far; empty: not in the code page.
  std::unordered_map<char32_t, std::string> known_;
};

// A code point as "U+0414".
std::string codePointName(char32_t codePoint);

// Appends one code point as UTF-8.
void appendUtf8(std::string& out, char32_t codePoint);

}  // namespace image
