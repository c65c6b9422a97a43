// The real SYSTEM hive, unpacked once per test program into a temporary
// folder, and helpers to make copies of it.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace hivetest {

inline const std::filesystem::path& workFolder() {
  static const std::filesystem::path folder = [] {
    std::string pattern = (std::filesystem::temp_directory_path() / "qvimage-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) std::abort();
    return std::filesystem::path(pattern);
  }();
  return folder;
}

// Removes the work folder when the program ends.
class WorkFolderCleanup : public ::testing::Environment {
public:
  void TearDown() override { std::filesystem::remove_all(workFolder()); }
};

inline std::string readBytes(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void writeBytes(const std::filesystem::path& file, const std::string& bytes) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
}

inline std::string quoted(const std::filesystem::path& path) {
  std::string text = "'";  // appended: GCC 12 at -O3 warns falsely on "'" + string
  text += path.string();
  text += '\'';
  return text;
}

// The unpacked real hive; fails the test when the packed one is missing.
inline std::filesystem::path realHive() {
  static const std::filesystem::path hive = [] {
    const std::filesystem::path out = workFolder() / "SYSTEM";
    const std::string command =
        "xz -dc " + quoted(QVINST98_REAL_HIVE) + " > " + quoted(out) + " 2>/dev/null";
    if (std::system(command.c_str()) != 0) std::filesystem::remove(out);
    return out;
  }();
  return hive;
}

inline bool haveRealHive() {
  return std::filesystem::exists(realHive());
}

// A copy of the real hive under a new name in the work folder.
inline std::filesystem::path copyOfRealHive(const std::string& name) {
  const std::filesystem::path copy = workFolder() / name;
  std::filesystem::copy_file(realHive(), copy, std::filesystem::copy_options::overwrite_existing);
  return copy;
}

// Runs the planting helper; true when it succeeded.
inline bool plantHelper(const std::string& arguments) {
  return std::system((std::string(QVINST98_HIVE_PLANT) + " " + arguments).c_str()) == 0;
}

}  // namespace hivetest

#define REQUIRE_REAL_HIVE() \
  ASSERT_TRUE(hivetest::haveRealHive()) << "cannot unpack " << QVINST98_REAL_HIVE
