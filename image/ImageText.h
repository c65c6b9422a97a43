// Text and path helpers of the image code. Registry names compare as
// Windows compares them (NameCompare.h).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "NameCompare.h"

namespace image::text {

using platform::names::equalNoCase;
using platform::names::upper;
using platform::names::upperChar;

// Whether the registry path `path` is the key `key` or below it.
inline bool atOrBelow(std::string_view path, std::string_view key) {
  return path.size() >= key.size() && equalNoCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

// 8-bit text as UTF-8, each byte the code point of its number (Latin-1):
// for names and text that come from no code page.
inline std::string utf8FromLatin1(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
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

// The folder a file is in; "." for a bare name.
inline std::filesystem::path folderOf(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace image::text
