// Files and paths through the real backend: the C runtime's text mode, the existence
// test on real paths, full paths, file-name code pages and the log file's sharing.

#include "platform/files.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <string_view>

#include "platform/file_existence.h"
#include "platform/text_mode.h"
#include "tests/windows/test_files.h"

namespace halcyra {
namespace {

using namespace std::string_literals;
using platform::Existence;

struct TextModeCase {
  const char* name;
  std::string bytes;
  std::string expected;
};

// The real C runtime and the portable reading that the simulation uses must agree byte
// for byte, or the configuration tests on Linux prove the wrong thing.
TEST(ReadTextModeFile, MatchesThePortableTextMode) {
  TextModeCase const cases[] = {
      {"crlf", "{\r\n\"a\": 1\r\n}\r\n"s, "{\n\"a\": 1\n}\n"s},
      {"lone_cr", "a\rb\r"s, "a\rb\r"s},
      {"cr_cr_lf", "a\r\r\nb"s, "a\r\nb"s},
      {"ctrl_z_ends", "{}\x1A garbage \r\n"s, "{}"s},
      {"ctrl_z_first", "\x1A{}"s, ""s},
      {"high_and_zero_bytes", "\xEF\xBB\xBF\xC3\xA9\0x"s, "\xEF\xBB\xBF\xC3\xA9\0x"s},
      // The CR is the last byte of the C runtime's first 4096-byte buffer.
      {"crlf_across_buffers", std::string(4095, 'x') + "\r\ny", std::string(4095, 'x') + "\ny"},
  };
  std::u16string const folder = test::freshFolder(u"text_mode");
  for (TextModeCase const& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string const path = folder + u"\\" + std::u16string(c.name, c.name + std::strlen(c.name));
    test::writeFile(path, c.bytes);
    std::string content = "before:";
    ASSERT_NE(platform::ReadTextModeFile(path.c_str(), content), platform::kFalse);
    EXPECT_EQ(content, "before:" + c.expected);
    EXPECT_EQ(content, "before:" + platform::applyTextMode(c.bytes));
  }
}

TEST(ReadTextModeFile, FailsForMissingFilesAndFolders) {
  std::u16string const folder = test::freshFolder(u"text_mode_failures");
  std::string content;
  EXPECT_EQ(platform::ReadTextModeFile((folder + u"\\missing.json").c_str(), content), platform::kFalse);
  EXPECT_EQ(platform::ReadTextModeFile(folder.c_str(), content), platform::kFalse);
  EXPECT_EQ(content, "");
}

TEST(TestExistence, AnswersForRealPaths) {
  std::u16string const folder = test::freshFolder(u"existence");
  test::writeFile(folder + u"\\file.txt", "x");
  struct {
    std::u16string path;
    Existence existence;
    platform::Dword error;
  } const cases[] = {
      {folder + u"\\file.txt", Existence::present, 0},
      {folder, Existence::present, 0},
      {folder + u"\\", Existence::present, 0},
      {folder + u"/file.txt", Existence::present, 0},
      {folder + u"\\missing.txt", Existence::absent, platform::kErrorFileNotFound},
      {folder + u"\\missing\\file.txt", Existence::absent, platform::kErrorPathNotFound},
      {folder + u"\\bad<name>.txt", Existence::absent, platform::kErrorInvalidName},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(test::printable(c.path));
    platform::ExistenceResult const result = platform::testExistence(c.path.c_str());
    EXPECT_EQ(result.existence, c.existence);
    EXPECT_EQ(result.error, c.error);
  }
}

// A path that continues below a file names nothing, whichever error the system gives.
TEST(TestExistence, PathBelowAFileIsAbsent) {
  std::u16string const folder = test::freshFolder(u"existence_below_file");
  test::writeFile(folder + u"\\file.txt", "x");
  EXPECT_EQ(platform::testExistence((folder + u"\\file.txt\\config.json").c_str()).existence, Existence::absent);
}

TEST(GetFullPathNameW, ResolvesAgainstTheCurrentDirectory) {
  std::u16string const folder = test::freshFolder(u"full_path");
  char16_t saved[MAX_PATH];
  ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, reinterpret_cast<wchar_t*>(saved)), 0u);
  ASSERT_NE(platform::SetCurrentDirectoryW(folder.c_str()), platform::kFalse);
  struct {
    std::u16string path;
    std::u16string full;
    std::u16string filePart;
  } const cases[] = {
      {u"HalcyraServer.exe", folder + u"\\HalcyraServer.exe", u"HalcyraServer.exe"},
      {u"a/b/./c.exe", folder + u"\\a\\b\\c.exe", u"c.exe"},
      {u"a\\..\\..\\x.exe", folder.substr(0, folder.find_last_of(u'\\')) + u"\\x.exe", u"x.exe"},
      {u"C:\\A\\B\\..\\S.exe", u"C:\\A\\S.exe", u"S.exe"},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(test::printable(c.path));
    platform::Dword const needed = platform::GetFullPathNameW(c.path.c_str(), 0, nullptr, nullptr);
    EXPECT_EQ(needed, c.full.size() + 1);
    char16_t buffer[MAX_PATH];
    char16_t* filePart = nullptr;
    platform::Dword const length = platform::GetFullPathNameW(c.path.c_str(), MAX_PATH, buffer, &filePart);
    ASSERT_EQ(length, c.full.size());
    EXPECT_EQ(test::printable(std::u16string(buffer, length)), test::printable(c.full));
    ASSERT_NE(filePart, nullptr);
    EXPECT_EQ(test::printable(filePart), test::printable(c.filePart));
  }
  platform::SetCurrentDirectoryW(saved);
}

TEST(FileNameCodePage, FollowsTheFileApisWithoutAUtf8Locale) {
  EXPECT_EQ(platform::fileNameCodePage(), platform::kCpAcp);
  SetFileApisToOEM();
  EXPECT_EQ(platform::fileNameCodePage(), platform::kCpOemcp);
  SetFileApisToANSI();
  EXPECT_EQ(platform::fileNameCodePage(), platform::kCpAcp);
}

// The service's log: emptied on open, readable by others, not writable or deletable by
// them while it is open.
TEST(CreateFileW, LogFileIsEmptiedAndSharedForReadingOnly) {
  std::u16string const path = test::freshFolder(u"log") + u"\\HalcyraService.log";
  test::writeFile(path, "old content");
  platform::SecurityAttributes inheritable{24, nullptr, platform::kTrue};
  platform::Handle const log = platform::CreateFileW(path.c_str(), platform::kGenericWrite, platform::kFileShareRead,
                                                     &inheritable, platform::kCreateAlways, 0, nullptr);
  ASSERT_NE(log, platform::kInvalidHandle);
  EXPECT_EQ(test::readFile(path), "");

  auto const* wide = reinterpret_cast<const wchar_t*>(path.c_str());
  HANDLE const reader =
      ::CreateFileW(wide, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_NE(reader, INVALID_HANDLE_VALUE);
  HANDLE const writer =
      ::CreateFileW(wide, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
  EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_FALSE(::DeleteFileW(wide));

  DWORD flags = 0;
  EXPECT_TRUE(::GetHandleInformation(log, &flags));
  EXPECT_NE(flags & HANDLE_FLAG_INHERIT, 0u);
  ::CloseHandle(reader);
  platform::CloseHandle(log);
}

TEST(GetTempPathW, EndsWithASeparatorAndExists) {
  char16_t buffer[MAX_PATH];
  platform::Dword const length = platform::GetTempPathW(MAX_PATH, buffer);
  ASSERT_GT(length, 0u);
  ASSERT_LT(length, MAX_PATH);
  EXPECT_EQ(buffer[length - 1], u'\\');
  EXPECT_EQ(platform::testExistence(buffer).existence, Existence::present);
}

}  // namespace
}  // namespace halcyra
