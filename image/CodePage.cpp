#include "CodePage.h"

#include <iconv.h>

#include <cstdio>

#include "ImageError.h"

namespace image {
namespace {

const auto kNoHandle = reinterpret_cast<iconv_t>(-1);

iconv_t handle(void* h) {
  return static_cast<iconv_t>(h);
}

// Converts `in` whole, from a fresh state and flushing what a stateful code
// page (1258) holds back; false when iconv cannot.
bool convert(iconv_t h, const char* in, std::size_t size, std::string& out) {
  ::iconv(h, nullptr, nullptr, nullptr, nullptr);
  char buffer[16];
  char* from = const_cast<char*>(in);
  std::size_t fromLeft = size;
  char* to = buffer;
  std::size_t toLeft = sizeof buffer;
  if (::iconv(h, &from, &fromLeft, &to, &toLeft) == std::size_t(-1) || fromLeft != 0) return false;
  if (::iconv(h, nullptr, nullptr, &to, &toLeft) == std::size_t(-1)) return false;
  out.append(buffer, sizeof buffer - toLeft);
  return true;
}

}  // namespace

CodePage::CodePage(int number) : number_(number), encoder_(kNoHandle), decoder_(kNoHandle) {
  const std::string name = "CP" + std::to_string(number);
  encoder_ = ::iconv_open(name.c_str(), "UTF-32LE");
  decoder_ = ::iconv_open("UTF-8", name.c_str());
  if (encoder_ == kNoHandle || decoder_ == kNoHandle) {
    close();
    throw Error("code page " + std::to_string(number) + " is not one this system converts");
  }
}

CodePage::~CodePage() {
  close();
}

void CodePage::close() {
  if (encoder_ != kNoHandle) ::iconv_close(handle(encoder_));
  if (decoder_ != kNoHandle) ::iconv_close(handle(decoder_));
  encoder_ = decoder_ = kNoHandle;
}

bool CodePage::append(std::string& out, char32_t codePoint) {
  if (codePoint < 0x80) {
    out.push_back(static_cast<char>(codePoint));
    return true;
  }
  auto found = known_.find(codePoint);
  if (found == known_.end()) {
    const char in[4] = {static_cast<char>(codePoint), static_cast<char>(codePoint >> 8),
                        static_cast<char>(codePoint >> 16), static_cast<char>(codePoint >> 24)};
    std::string bytes;
    if (!convert(handle(encoder_), in, sizeof in, bytes) ||
        (bytes.size() == 1 && static_cast<unsigned char>(bytes[0]) < 0x80))
      bytes.clear();
    found = known_.emplace(codePoint, std::move(bytes)).first;
  }
  out.append(found->second);
  return !found->second.empty();
}

std::string CodePage::utf8(std::string_view text) const {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (static_cast<unsigned char>(text[i]) < 0x80) {
      out.push_back(text[i++]);
      continue;
    }
    // A lead byte with its trail byte, else the byte alone.
    bool done = false;
    for (std::size_t length = 1; !done && length <= 2 && i + length <= text.size(); ++length) {
      if (convert(handle(decoder_), text.data() + i, length, out)) {
        i += length;
        done = true;
      }
    }
    if (!done) appendUtf8(out, static_cast<unsigned char>(text[i++]));
  }
  return out;
}

std::string codePointName(char32_t codePoint) {
  char text[16];
  std::snprintf(text, sizeof text, "U+%04X", static_cast<unsigned>(codePoint));
  return text;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | c >> 6));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | c >> 12));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | c >> 18));
    out.push_back(static_cast<char>(0x80 | (c >> 12 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c >> 6 & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace image
