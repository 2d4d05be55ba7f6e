// The simulated file system: Windows path rules, the errors of missing paths, file
// creation and sharing, text-mode reads and narrow-to-wide conversion.

#include <gtest/gtest.h>

#include "platform/file_existence.h"
#include "platform/files.h"
#include "platform/sim/sim.h"

namespace halcyra {
namespace {

using namespace platform;

class SimFiles : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

std::string narrow(std::u16string_view text) { return {text.begin(), text.end()}; }

std::u16string fullPathOf(const char16_t* path) {
  char16_t buffer[kMaxPath];
  Dword const length = GetFullPathNameW(path, kMaxPath, buffer, nullptr);
  return std::u16string(buffer, length);
}

TEST_F(SimFiles, FullPathsResolveAgainstTheCurrentDirectory) {
  sim::setCurrentDirectory(u"C:\\A\\B");
  struct Case {
    const char16_t* path;
    const char16_t* full;
  } const cases[] = {
      {u"x.exe", u"C:\\A\\B\\x.exe"},
      {u".\\x\\..\\y", u"C:\\A\\B\\y"},
      {u"..\\..\\..\\..\\z", u"C:\\z"},
      {u"d/e//f", u"C:\\A\\B\\d\\e\\f"},
      {u"\\top", u"C:\\top"},
      {u"C:rel", u"C:\\A\\B\\rel"},
      {u"D:rel", u"D:\\rel"},
      {u"C:", u"C:\\A\\B"},
      {u"c:\\p\\q\\", u"C:\\p\\q\\"},
      {u"C:\\p\\name. ", u"C:\\p\\name"},
      {u"\\\\srv\\share\\a\\..\\..\\b", u"\\\\srv\\share\\b"},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(fullPathOf(c.path), c.full) << narrow(c.path);
  }
}

TEST_F(SimFiles, ExistenceAnswersFollowWindowsErrors) {
  sim::addFile(u"C:\\A\\file.json", "{}");
  sim::addDirectory(u"\\\\srv\\share");
  sim::setPathError(u"C:\\Locked", kErrorAccessDenied);
  sim::addFile(u"C:\\Locked\\inner.txt", "");
  struct Case {
    const char16_t* path;
    Existence existence;
    Dword error;
  } const cases[] = {
      {u"c:/a/FILE.JSON", Existence::present, 0},
      {u"C:\\A", Existence::present, 0},
      {u"C:\\A\\missing", Existence::absent, kErrorFileNotFound},
      {u"C:\\Nowhere\\missing", Existence::absent, kErrorPathNotFound},
      {u"C:\\A\\file.json\\below", Existence::absent, kErrorPathNotFound},
      {u"C:\\A\\bad|name", Existence::absent, kErrorInvalidName},
      {u"\\\\other\\share\\x", Existence::absent, kErrorBadNetpath},
      {u"\\\\srv\\share\\x", Existence::absent, kErrorFileNotFound},
      {u"C:\\Locked\\inner.txt", Existence::unknown, kErrorAccessDenied},
  };
  for (Case const& c : cases) {
    ExistenceResult const result = testExistence(c.path);
    EXPECT_EQ(result.existence, c.existence) << narrow(c.path);
    EXPECT_EQ(result.error, c.error) << narrow(c.path);
  }
}

TEST_F(SimFiles, CreateAlwaysEmptiesAndSharingIsEnforced) {
  sim::addFile(u"C:\\Temp\\log.txt", "old");
  SecurityAttributes inherit{24, nullptr, kTrue};
  Handle const log =
      CreateFileW(u"C:\\Temp\\log.txt", kGenericWrite, kFileShareRead, &inherit, kCreateAlways, 0, nullptr);
  ASSERT_NE(log, kInvalidHandle);
  EXPECT_EQ(GetLastError(), 183u);  // ERROR_ALREADY_EXISTS on success
  EXPECT_EQ(sim::fileContent(u"C:\\Temp\\log.txt"), "");
  std::optional<sim::OpenFileRecord> const open = sim::openFile(log);
  ASSERT_TRUE(open);
  EXPECT_EQ(open->shareMode, kFileShareRead);
  EXPECT_TRUE(open->inheritable);

  // Readers are let in; a second writer is not, nor a reader that refuses to share writing.
  std::string content;
  EXPECT_EQ(ReadTextModeFile(u"C:\\Temp\\log.txt", content), kTrue);
  EXPECT_EQ(CreateFileW(u"C:\\Temp\\log.txt", kGenericWrite, 0x7, nullptr, kCreateAlways, 0, nullptr), kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);
  EXPECT_EQ(CreateFileW(u"C:\\Temp\\log.txt", 0x80000000, kFileShareRead, nullptr, 3, 0, nullptr), kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorSharingViolation);

  EXPECT_EQ(CloseHandle(log), kTrue);
  EXPECT_EQ(CreateFileW(u"C:\\NoFolder\\log.txt", kGenericWrite, 0, nullptr, kCreateAlways, 0, nullptr),
            kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorPathNotFound);
  EXPECT_EQ(CreateFileW(u"C:\\Temp", kGenericWrite, 0, nullptr, kCreateAlways, 0, nullptr), kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
}

TEST_F(SimFiles, TextModeReadAppendsTranslatedBytes) {
  struct Case {
    std::string bytes;
    std::string text;
  } const cases[] = {
      {"a\r\nb\r\n", "a\nb\n"},
      {"a\rb", "a\rb"},
      {"{}\x1A trailing", "{}"},
      {std::string("x\0y", 3), std::string("x\0y", 3)},
  };
  for (Case const& c : cases) {
    sim::addFile(u"C:\\f.txt", c.bytes);
    std::string content = "kept:";
    ASSERT_EQ(ReadTextModeFile(u"C:\\f.txt", content), kTrue);
    EXPECT_EQ(content, "kept:" + c.text);
  }
  std::string content;
  EXPECT_EQ(ReadTextModeFile(u"C:\\Temp", content), kFalse);
  EXPECT_EQ(ReadTextModeFile(u"C:\\none.txt", content), kFalse);
}

// What each call gives on Windows: the size query of a full path counts the terminator;
// a module path cut by a short buffer comes with ERROR_INSUFFICIENT_BUFFER.
TEST_F(SimFiles, BufferSizesAndCutsFollowWindows) {
  char16_t buffer[kMaxPath];
  EXPECT_EQ(GetFullPathNameW(u"C:\\dir\\file.txt", 0, nullptr, nullptr), 16u);
  EXPECT_EQ(GetFullPathNameW(u"C:\\dir\\file.txt", 16, buffer, nullptr), 15u);
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, 8), 8u);
  EXPECT_EQ(GetLastError(), kErrorInsufficientBuffer);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Halc");
  EXPECT_EQ(GetModuleFileNameW(nullptr, buffer, kMaxPath), 33u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Halcyra\\bin\\HalcyraService.exe");
  EXPECT_EQ(GetTempPathW(kMaxPath, buffer), 8u);
  EXPECT_EQ(std::u16string(buffer), u"C:\\Temp\\");
}

TEST_F(SimFiles, CurrentDirectoryMustBeAnExistingFolder) {
  sim::addDirectory(u"C:\\A\\B");
  sim::addFile(u"C:\\A\\file", "");
  EXPECT_EQ(SetCurrentDirectoryW(u"c:/a/b/"), kTrue);
  EXPECT_EQ(sim::currentDirectory(), u"C:\\a\\b");
  EXPECT_EQ(SetCurrentDirectoryW(u"C:\\A\\none"), kFalse);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  EXPECT_EQ(SetCurrentDirectoryW(u"C:\\A\\file"), kFalse);
  EXPECT_EQ(GetLastError(), kErrorDirectory);
}

TEST_F(SimFiles, NarrowToWideConversion) {
  struct Case {
    unsigned codePage;
    std::string bytes;
    int result;  // 0: rejected
    std::u16string wide;
  } const cases[] = {
      {kCpUtf8, "res\\cfg.json", 12, u"res\\cfg.json"},
      {kCpUtf8, "\xC3\xA9", 1, u"\u00E9"},
      {kCpUtf8, "\xF0\x9F\x98\x80", 2, u"\U0001F600"},
      {kCpUtf8, "\xC3", 0, u""},                 // cut-off sequence
      {kCpUtf8, "\xC0\xAF", 0, u""},             // overlong
      {kCpUtf8, "\xED\xA0\x80", 0, u""},         // a surrogate
      {kCpAcp, "\xC3\xA9", 2, u"\u00C3\u00A9"},  // one unit per byte
  };
  for (Case const& c : cases) {
    char16_t buffer[32] = {};
    int const result = MultiByteToWideChar(c.codePage, kMbErrInvalidChars, c.bytes.data(),
                                           static_cast<int>(c.bytes.size()), buffer, 32);
    EXPECT_EQ(result, c.result) << c.bytes;
    EXPECT_EQ(std::u16string(buffer, static_cast<std::size_t>(result)), c.wide);
    if (result == 0) {
      EXPECT_EQ(GetLastError(), 1113u);  // ERROR_NO_UNICODE_TRANSLATION
    }
  }
  EXPECT_EQ(MultiByteToWideChar(kCpUtf8, kMbErrInvalidChars, "abc", -1, nullptr, 0), 4);
  EXPECT_EQ(fileNameCodePage(), kCpUtf8);
}

}  // namespace
}  // namespace halcyra
