// The simulated file system and message dialogs: lookups, time conversions,
// deletions, the Windows directory and the answers dialogs give.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "Machine.h"

namespace {

std::uint64_t ticksOf(FILETIME time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}
FILETIME fromTicks(std::uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class SimFilesTest : public ::testing::Test {
protected:
  // C:\WINDOWS\inf\drvdata.bin, C:\WINDOWS\inf\drvidx.bin (1979), and the
  // directory C:\WINDOWS\inf\Folder.bin.
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
    DWORD attributesOrError;  // FILE_ATTRIBUTE_* when found, else the error
    const char* name;
  } cases[] = {
      {"c:\\windows\\INF\\DRVDATA.BIN", FILE_ATTRIBUTE_ARCHIVE, "drvdata.bin"},
      {"C:\\WINDOWS\\inf\\folder.bin", FILE_ATTRIBUTE_DIRECTORY, "Folder.bin"},
      {"C:\\WINDOWS\\inf", FILE_ATTRIBUTE_DIRECTORY, "inf"},  // holds files, never added
      {"C:\\WINDOWS\\inf\\*.bin", ERROR_FILE_NOT_FOUND, nullptr},
      {"C:\\WINDOWS\\nothere\\drvdata.bin", ERROR_PATH_NOT_FOUND, nullptr},
      {"C:\\WINDOWS\\inf\\drvdata.bin\\x", ERROR_PATH_NOT_FOUND, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    WIN32_FIND_DATAA data{};
    HANDLE find = files.FindFirstFileA(c.path, &data);
    if (!c.name) {
      EXPECT_EQ(find, INVALID_HANDLE_VALUE);
      EXPECT_EQ(lastError(), c.attributesOrError);
      continue;
    }
    ASSERT_NE(find, INVALID_HANDLE_VALUE);
    EXPECT_EQ(data.dwFileAttributes, c.attributesOrError);
    EXPECT_STREQ(data.cFileName, c.name);
    EXPECT_EQ(ticksOf(data.ftLastWriteTime), ticksOf(sim::Files::defaultTime()));
    EXPECT_EQ(files.openFindCount(), 1u);
    EXPECT_TRUE(files.FindClose(find));
  }
  EXPECT_EQ(files.openFindCount(), 0u);
  EXPECT_FALSE(files.FindClose(reinterpret_cast<HANDLE>(0x4000)));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_HANDLE));
}

TEST_F(SimFilesTest, DosConversionCoversOnly1980To2107) {
  const std::uint64_t noon2005 = ticksOf(sim::Files::defaultTime());
  const std::uint64_t second = 10'000'000;
  struct Case {
    std::uint64_t ticks;
    std::optional<std::pair<WORD, WORD>> dos;  // date, time
  } cases[] = {
      {noon2005, std::pair{(25 << 9) | (6 << 5) | 1, 12 << 11}},
      // 23:59:59 keeps the even second below it.
      {noon2005 + 43199 * second, std::pair{(25 << 9) | (6 << 5) | 1, (23 << 11) | (59 << 5) | 29}},
      {ticksOf(sim::Files::timeFromYear(1980)), std::pair{(1 << 5) | 1, 0}},
      {ticksOf(sim::Files::timeFromYear(2107)), std::pair{(127 << 9) | (1 << 5) | 1, 0}},
      {ticksOf(sim::Files::timeFromYear(1980)) - 1, std::nullopt},
      {ticksOf(sim::Files::timeFromYear(2108)), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ticks);
    FILETIME local{};
    const FILETIME utc = fromTicks(c.ticks);
    ASSERT_TRUE(files.FileTimeToLocalFileTime(&utc, &local));
    EXPECT_EQ(ticksOf(local), c.ticks);  // the machine's local time is UTC
    WORD date = 0, time = 0;
    EXPECT_EQ(files.FileTimeToDosDateTime(&local, &date, &time), c.dos ? TRUE : FALSE);
    if (c.dos) {
      EXPECT_EQ(std::pair(date, time), *c.dos);
    } else {
      EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_PARAMETER));
    }
  }
  EXPECT_EQ(ticksOf(sim::Files::timeFromYear(1602)), 365 * 86400 * second);
}

TEST_F(SimFilesTest, WindowsDirectoryFollowsTheBufferRules) {
  struct Case {
    std::optional<std::string> dir;
    UINT size;
    UINT result;
    const char* buffer;  // afterwards
  } cases[] = {
      {"C:\\WINDOWS", 250, 10, "C:\\WINDOWS"}, {"C:\\WINDOWS", 11, 10, "C:\\WINDOWS"},
      {"C:\\WINDOWS", 10, 11, "untouched"},    {"C:\\", 250, 3, "C:\\"},
      {"D:\\WIN98\\", 250, 9, "D:\\WIN98\\"},  {std::nullopt, 250, 0, "untouched"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.dir.value_or("none") + " " + std::to_string(c.size));
    files.setWindowsDirectory(c.dir);
    char buffer[251] = "untouched";
    machine.system.setLastError(0);
    EXPECT_EQ(files.GetWindowsDirectoryA(buffer, c.size), c.result);
    EXPECT_STREQ(buffer, c.buffer);
    EXPECT_EQ(lastError() != 0, !c.dir);
  }
}

TEST_F(SimFilesTest, DeleteFileRemovesFilesOnly) {
  EXPECT_TRUE(files.DeleteFileA("c:\\windows\\inf\\DRVDATA.BIN"));
  for (auto [path, error] : {std::pair{"C:\\WINDOWS\\inf\\drvdata.bin", ERROR_FILE_NOT_FOUND},
                             std::pair{"C:\\WINDOWS\\inf\\Folder.bin", ERROR_ACCESS_DENIED},
                             std::pair{"C:\\WINDOWS\\inf", ERROR_ACCESS_DENIED},
                             std::pair{"C:\\WINDOWS\\gone\\drvidx.bin", ERROR_PATH_NOT_FOUND}}) {
    SCOPED_TRACE(path);
    EXPECT_FALSE(files.DeleteFileA(path));
    EXPECT_EQ(lastError(), DWORD(error));
  }
  EXPECT_EQ(files.paths(), (std::vector<std::string>{"C:\\WINDOWS\\inf\\drvidx.bin",
                                                     "C:\\WINDOWS\\inf\\Folder.bin"}));
  ASSERT_EQ(machine.changes.size(), 1u);
  EXPECT_EQ(machine.changes[0].kind, sim::Change::Kind::DeletedFile);
  EXPECT_EQ(machine.changes[0].path, "C:\\WINDOWS\\inf\\drvdata.bin");  // stored case
}

TEST_F(SimFilesTest, InjectedFileFaultsFailAndChangeNothing) {
  machine.log.failCall("GetWindowsDirectoryA", ERROR_NOT_ENOUGH_MEMORY);
  machine.log.failCall("FindFirstFileA", ERROR_ACCESS_DENIED);
  machine.log.failCall("DeleteFileA", ERROR_INVALID_DATA);
  char buffer[251] = "untouched";
  EXPECT_EQ(files.GetWindowsDirectoryA(buffer, 250), 0u);
  EXPECT_STREQ(buffer, "untouched");
  EXPECT_EQ(lastError(), DWORD(ERROR_NOT_ENOUGH_MEMORY));
  WIN32_FIND_DATAA data{};
  EXPECT_EQ(files.FindFirstFileA("C:\\WINDOWS\\inf\\drvdata.bin", &data), INVALID_HANDLE_VALUE);
  EXPECT_EQ(lastError(), DWORD(ERROR_ACCESS_DENIED));
  EXPECT_FALSE(files.DeleteFileA("C:\\WINDOWS\\inf\\drvdata.bin"));
  EXPECT_EQ(lastError(), DWORD(ERROR_INVALID_DATA));
  EXPECT_TRUE(files.fileExists("C:\\WINDOWS\\inf\\drvdata.bin"));
  EXPECT_EQ(files.openFindCount(), 0u);
  EXPECT_TRUE(machine.changes.empty());
  std::vector<std::string> calls;
  for (const auto& call : machine.log.calls())
    if (call.name != "GetLastError") calls.push_back(call.name + " " + std::to_string(call.result));
  EXPECT_EQ(calls, (std::vector<std::string>{"GetWindowsDirectoryA 0", "FindFirstFileA -1",
                                             "DeleteFileA 0"}));
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
    EXPECT_EQ(machine.dialogs.showMessageDialog({"Information", "Text", c.buttons}), c.expected);
    EXPECT_EQ(machine.dialogs.shown().back().answer, c.expected);
    EXPECT_EQ(machine.dialogs.shown().back().dialog.caption, "Information");
    EXPECT_EQ(machine.log.calls().back().name, "MessageDialog");
    EXPECT_EQ(machine.log.calls().back().result, c.expected);
  }
  EXPECT_EQ(machine.dialogs.shown().size(), std::size(cases));
}

}  // namespace
