// Text and path helpers of the image code. Registry names compare as
// Windows compares them: ASCII letters without regard to case, every other
// byte as it is.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace image::text {

inline char upperChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

inline std::string upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = upperChar(c);
  return out;
}

inline bool equalNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upperChar(a[i]) != upperChar(b[i])) return false;
  return true;
}

// Whether the registry path `path` is the key `key` or below it.
inline bool atOrBelow(std::string_view path, std::string_view key) {
  return path.size() >= key.size() && equalNoCase(path.substr(0, key.size()), key) &&
         (path.size() == key.size() || path[key.size()] == '\\');
}

// The folder a file is in; "." for a bare name.
inline std::filesystem::path folderOf(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace image::text
