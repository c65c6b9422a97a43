// The one error of the image code (.reg images, hive files, writing files
// back): one line that names the file and, where known, the line or key.
#pragma once

#include <cstddef>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <utility>

namespace image {

class Error : public std::runtime_error {
public:
  // "FILE: WHAT"
  Error(const std::filesystem::path& file, const std::string& what)
      : std::runtime_error(file.string() + ": " + what), file_(file), detail_(what) {}
  // "FILE:LINE: WHAT"
  Error(const std::filesystem::path& file, std::size_t line, const std::string& what)
      : std::runtime_error(file.string() + ":" + std::to_string(line) + ": " + what),
        file_(file),
        line_(line),
        detail_(what) {}

  // An error found in bytes before their file is known: the caller that
  // knows the file names it.
  explicit Error(const std::string& what) : std::runtime_error(what), detail_(what) {}

  // An error about a key or value before any file is known: the message
  // names the key.
  static Error aboutKey(const std::string& key, const std::string& message) {
    return Error(KeyTag{}, message, key);
  }

  const std::filesystem::path& file() const { return file_; }  // empty: not known
  std::size_t line() const { return line_; }                   // 0: not a line of a text
  const std::string& key() const { return key_; }              // empty: not known
  // The message without the file and line.
  const std::string& detail() const { return detail_; }

private:
  struct KeyTag {};
  Error(KeyTag, const std::string& message, std::string key)
      : std::runtime_error(message), key_(std::move(key)), detail_(message) {}

  std::filesystem::path file_;
  std::size_t line_ = 0;
  std::string key_;
  std::string detail_;
};

}  // namespace image
