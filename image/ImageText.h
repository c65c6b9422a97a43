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

// The folder a file is in; "." for a bare name.
inline std::filesystem::path folderOf(const std::filesystem::path& file) {
  const std::filesystem::path folder = file.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

}  // namespace image::text
