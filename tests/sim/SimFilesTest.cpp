// The simulated file system and message dialogs: lookups, time conversions,
// deletions, the Windows directory and the answers dialogs give.
#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "Machine.h"

namespace {

FILETIME plusSeconds(FILETIME time, std::uint64_t seconds) {
  std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
  ticks += seconds * 10'000'000;
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class SimFilesTest : public ::testing::Test {
protected:
  // C:\WINDOWS\inf\drvdata.bin   (2005-06-01 12:00)
  // C:\WINDOWS\inf\drvidx.bin    (1979-01-01)
  // C:\WINDOWS\inf\Folder.bin\   a directory
  void SetUp() override {
    files.addFile("C:\\WINDOWS\\inf\\drvdata.bin");
    files.addFile("C:\\WINDOWS\\inf\\drvidx.bin", sim::Files::timeFromYear(1979));
    files.addDirectory("C:\\WINDOWS\\inf\\Folder.bin");
  }
  DWORD lastError() { return machine.system.GetLastError(); }

  sim::Machine machine;
  sim::Files& files = machine.files;
};

TEST_F(SimFilesTest, FindFirstFileTellsFilesFromDirectoriesAndMissingParents) {
  struct Case {
    const char* path;
    std::optional<DWORD> attributes;  // nothing: the lookup fails
    DWORD error;
    const char* name;
  } cases[] = {
      {"C:\\WINDOWS\\inf\\drvdata.bin", FILE_ATTRIBUTE_ARCHIVE, 0, "drvdata.bin"},
      {"c:\\windows\\INF\\DRVDATA.BIN", FILE_ATTRIBUTE_ARCHIVE, 0, "drvdata.bin"},
      {"C:\\WINDOWS\\inf\\folder.bin", FILE_ATTRIBUTE_DIRECTORY, 0, "Folder.bin"},
      {"C:\\WINDOWS\\inf", FILE_ATTRIBUTE_DIRECTORY, 0, "inf"},
      {"C:\\WINDOWS\\inf\\*.bin", std::nullopt, ERROR_FILE_NOT_FOUND, ""},
      {"C:\\WINDOWS\\inf\\other.bin", std::nullopt, ERROR_FILE_NOT_FOUND, ""},
      {"C:\\WINDOWS\\nothere\\drvdata.bin", std::nullopt, ERROR_PATH_NOT_FOUND, ""},
      {"C:\\WINDOWS\\inf\\drvdata.bin\\x", std::nullopt, ERROR_PATH_NOT_FOUND, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WIN32_FIND_DATAA data;
    std::memset(&data, 0xCC, sizeof data);
    HANDLE find = files.FindFirstFileA(c.path, &data);
    if (!c.attributes) {
      EXPECT_EQ(find, INVALID_HANDLE_VALUE);
      EXPECT_EQ(lastError(), c.error);
      continue;
    }
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, *c.attributes);
    EXPECT_STREQ(data.cFileName, c.name);
    EXPECT_EQ(data.ftLastWriteTime.dwLowDateTime, sim::Files::defaultTime().dwLowDateTime);
    EXPECT_EQ(data.ftLastWriteTime.dwHighDateTime, sim::Files::defaultTime().dwHighDateTime);
    EXPECT_EQ(files.openFindCount(), 1u);
    EXPECT_TRUE(files.FindClose(find));
  }
  EXPECT_EQ(files.openFindCount(), 0u);
  EXPECT_FALSE(files.FindClose(reinterpret_cast<HANDLE>(0x4000)));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(SimFilesTest, DosConversionCoversOnly1980To2107) {
  struct Case {
    FILETIME when;
    bool converts;
    WORD date;
    WORD dosTime;
  } cases[] = {
      // 2005-06-01 12:00:00: year 25, month 6, day 1; hour 12.
      {sim::Files::defaultTime(), true, (25 << 9) | (6 << 5) | 1, 12 << 11},
      // 23:59:59 keeps the even second below it.
      {plusSeconds(sim::Files::defaultTime(), 11 * 3600 + 59 * 60 + 59), true,
       (25 << 9) | (6 << 5) | 1, (23 << 11) | (59 << 5) | 29},
      {sim::Files::timeFromYear(1980), true, (1 << 5) | 1, 0},
      {sim::Files::timeFromYear(2107), true, (127 << 9) | (1 << 5) | 1, 0},
      {sim::Files::timeFromYear(1979), false, 0, 0},
      {sim::Files::timeFromYear(2108), false, 0, 0},
      {FILETIME{0, 0}, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.when.dwHighDateTime);
    FILETIME local{};
    ASSERT_TRUE(files.FileTimeToLocalFileTime(&c.when, &local));
    // The machine keeps UTC as its local time.
    EXPECT_EQ(local.dwLowDateTime, c.when.dwLowDateTime);
    EXPECT_EQ(local.dwHighDateTime, c.when.dwHighDateTime);
    WORD date = 0xFFFF, time = 0xFFFF;
    EXPECT_EQ(files.FileTimeToDosDateTime(&local, &date, &time), c.converts ? TRUE : FALSE);
    if (c.converts) {
      EXPECT_EQ(date, c.date);
      EXPECT_EQ(time, c.dosTime);
    } else {
      EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
  }
  // 100 ns ticks from 1601: 1 January 1601 is zero, 1602 a year of 365 days later.
  FILETIME y1602 = sim::Files::timeFromYear(1602);
  const std::uint64_t ticks = (std::uint64_t{y1602.dwHighDateTime} << 32) | y1602.dwLowDateTime;
  EXPECT_EQ(ticks, 365ull * 86400 * 10'000'000);
}

TEST_F(SimFilesTest, WindowsDirectoryFollowsTheBufferRules) {
  struct Case {
    std::optional<std::string> dir;
    UINT size;
    UINT result;
    const char* copied;  // what the buffer holds afterwards
  } cases[] = {
      {"C:\\WINDOWS", 250, 10, "C:\\WINDOWS"},
      {"C:\\WINDOWS", 11, 10, "C:\\WINDOWS"},
      {"C:\\WINDOWS", 10, 11, "untouched"},
      {"C:\\WINDOWS", 0, 11, "untouched"},
      {"C:\\", 250, 3, "C:\\"},
      {"D:\\WIN98\\", 250, 9, "D:\\WIN98\\"},
      {std::nullopt, 250, 0, "untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir.value_or("none") + " " + std::to_string(c.size));
    files.setWindowsDirectory(c.dir);
    char buffer[251] = "untouched";
    machine.system.setLastError(0);
    EXPECT_EQ(files.GetWindowsDirectoryA(buffer, c.size), c.result);
    EXPECT_STREQ(buffer, c.copied);
    if (!c.dir) {
      EXPECT_NE(lastError(), 0u);
    }
  }
}

TEST_F(SimFilesTest, DeleteFileRemovesFilesOnly) {
  EXPECT_TRUE(files.DeleteFileA("c:\\windows\\inf\\DRVDATA.BIN"));
  EXPECT_FALSE(files.fileExists("C:\\WINDOWS\\inf\\drvdata.bin"));
  ASSERT_EQ(machine.changes.size(), 1u);
  EXPECT_EQ(machine.changes[0].kind, sim::Change::Kind::DeletedFile);
  EXPECT_EQ(machine.changes[0].path, "C:\\WINDOWS\\inf\\drvdata.bin");

  struct Case {
    const char* path;
    DWORD error;
  } cases[] = {
      {"C:\\WINDOWS\\inf\\drvdata.bin", ERROR_FILE_NOT_FOUND},
      {"C:\\WINDOWS\\inf\\Folder.bin", ERROR_ACCESS_DENIED},
      {"C:\\WINDOWS\\inf", ERROR_ACCESS_DENIED},
      {"C:\\WINDOWS\\gone\\drvidx.bin", ERROR_PATH_NOT_FOUND},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_FALSE(files.DeleteFileA(c.path));
    EXPECT_EQ(lastError(), c.error);
  }
  EXPECT_EQ(files.paths(), (std::vector<std::string>{"C:\\WINDOWS\\inf\\drvidx.bin",
                                                     "C:\\WINDOWS\\inf\\Folder.bin"}));
  EXPECT_EQ(machine.changes.size(), 1u);
}

TEST_F(SimFilesTest, InjectedFileFaultsFailAndChangeNothing) {
  machine.log.failCall("GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY);
  machine.log.failCall("FindFirstFileA", ERROR_ACCESS_DENIED);
  machine.log.failCall("DeleteFileA", ERROR_ACCESS_DENIED);
  machine.log.failCall("FileTimeToDosDateTime", ERROR_INVALID_DATA);

  char buffer[251] = "untouched";
  EXPECT_EQ(files.GetWindowsDirectoryA(buffer, 250), 0u);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(lastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  WIN32_FIND_DATAA data{};
  EXPECT_EQ(files.FindFirstFileA("C:\\WINDOWS\\inf\\drvdata.bin", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_EQ(files.openFindCount(), 0u);
  EXPECT_FALSE(files.DeleteFileA("C:\\WINDOWS\\inf\\drvdata.bin"));
  EXPECT_TRUE(files.fileExists("C:\\WINDOWS\\inf\\drvdata.bin"));
  FILETIME time = sim::Files::defaultTime();
  WORD date = 0, clock = 0;
  EXPECT_FALSE(files.FileTimeToDosDateTime(&time, &date, &clock));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_DATA));
  EXPECT_TRUE(machine.changes.empty());

  // Each failed call is logged with its raw result.
  std::vector<std::string> lines;
  for (const auto& call : machine.log.calls())
    if (call.name != "GetLastError") lines.push_back(call.name + " " + std::to_string(call.result));
  EXPECT_EQ(lines, (std::vector<std::string>{"GetWindowsDirectoryA 0", "FindFirstFileA -1",
                                             "DeleteFileA 0", "FileTimeToDosDateTime 0"}));
}

TEST_F(SimFilesTest, DialogAnswersFollowTheButtons) {
  using Buttons = platform::MessageDialog::Buttons;
  using Answer = sim::Dialogs::Answer;
  struct Case {
    Buttons buttons;
    Answer answer;
    int expected;
  } cases[] = {
      {Buttons::YesNo, Answer::Yes, IDYES}, {Buttons::YesNo, Answer::No, IDNO},
      {Buttons::YesNo, Answer::Esc, IDNO},  {Buttons::YesNo, Answer::Close, IDCANCEL},
      {Buttons::Ok, Answer::Yes, IDOK},     {Buttons::Ok, Answer::No, IDOK},
      {Buttons::Ok, Answer::Esc, IDOK},     {Buttons::Ok, Answer::Close, IDCANCEL},
  };
  for (const auto& c : cases) {
    machine.dialogs.setAnswer(c.answer);
    const platform::MessageDialog dialog{"Information", "Text", c.buttons};
    EXPECT_EQ(machine.dialogs.showMessageDialog(dialog), c.expected);
    ASSERT_FALSE(machine.dialogs.shown().empty());
    EXPECT_EQ(machine.dialogs.shown().back().answer, c.expected);
    EXPECT_EQ(machine.dialogs.shown().back().dialog.caption, "Information");
    EXPECT_EQ(machine.log.calls().back().name, "MessageDialog");
    EXPECT_EQ(machine.log.calls().back().result, c.expected);
  }
  EXPECT_EQ(machine.dialogs.shown().size(), std::size(cases));
}

}  // namespace
