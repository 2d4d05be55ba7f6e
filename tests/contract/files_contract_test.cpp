// Files, paths and the service's log, the same on the simulated machine and on Windows:
// the primitives of the seam and the decisions built above it.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/file_existence.h"
#include "platform/file_removal.h"
#include "platform/files.h"
#include "platform/processes.h"
#include "platform/text_mode.h"
#include "service/log_file.h"
#include "tests/contract/backend_gaps.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;
using namespace std::string_literals;

inline constexpr Gap kWineKeepsTheNameOfAHeldFile{
    Backend::windows,
    "Wine 8 refuses FileDispositionInfoEx (87), and with the plain deletion the name of a file that others hold "
    "stays until they close it"};
inline constexpr Gap kSimulationHasOneCodePage{
    Backend::simulation, "the simulated C runtime always names files in UTF-8; only Windows follows the file APIs"};

Handle openForReading(const std::u16string& path, Dword share) {
  return CreateFileW(path.c_str(), kGenericRead, share, nullptr, kOpenExisting, 0, nullptr);
}

bool nameExists(const std::u16string& path) {
  FileAttributeData data{};
  return GetFileAttributesExW(path.c_str(), &data) != kFalse;
}

TEST(FileRemoval, TakesAwayTheNameAtOnceOrSaysWhyNot) {
  resetWorld();
  enum class Object { none, file, folder, folderWithContent };
  constexpr Dword kNoHolder = ~Dword{0};
  struct {
    const char16_t* name;
    Object object;
    Dword holderShare;
    Dword error;  // 0: the name is gone at once
    const Gap* gap;
  } const cases[] = {
      {u"file", Object::file, kNoHolder, 0, nullptr},
      {u"missing", Object::none, kNoHolder, kErrorFileNotFound, nullptr},
      {u"held sharing deletion", Object::file, 0x7, 0, &kWineKeepsTheNameOfAHeldFile},
      {u"held by a log viewer", Object::file, 0x3, kErrorSharingViolation, nullptr},
      {u"held sharing nothing", Object::file, 0, kErrorSharingViolation, nullptr},
      {u"empty folder", Object::folder, kNoHolder, 0, nullptr},
      {u"folder with content", Object::folderWithContent, kNoHolder, kErrorDirNotEmpty, nullptr},
  };
  for (auto const& c : cases) {
    if (c.gap != nullptr && !runsHere(*c.gap)) continue;
    SCOPED_TRACE(narrow(c.name));
    std::u16string const path = scratchFolder(u"removal") + u"\\" + c.name;
    if (c.object == Object::file) writeFile(path, "content");
    if (c.object == Object::folder || c.object == Object::folderWithContent) {
      scratchFolder(u"removal\\" + std::u16string(c.name));
    }
    if (c.object == Object::folderWithContent) writeFile(path + u"\\inside.txt", "inside");
    Handle const holder = c.holderShare != kNoHolder ? openForReading(path, c.holderShare) : kInvalidHandle;
    Bool const removed = deleteWithoutFollowingLinks(path.c_str());
    EXPECT_EQ(removed != kFalse ? 0u : GetLastError(), c.error);
    EXPECT_EQ(nameExists(path), c.error != 0 && c.error != kErrorFileNotFound);
    if (holder != kInvalidHandle) CloseHandle(holder);
  }
}

// CREATE_NEW never opens what exists, a folder opens only with backup semantics, and
// deletion needs DELETE access: the log's defences rest on these.
TEST(CreateFileW, RefusesWhatTheLogMustNeverOpen) {
  resetWorld();
  std::u16string const folder = scratchFolder(u"create");
  std::u16string const path = folder + u"\\file.txt";
  writeFile(path, "content");
  EXPECT_EQ(CreateFileW(path.c_str(), kGenericWrite, 0, nullptr, kCreateNew, kFileFlagOpenReparsePoint, nullptr),
            kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorFileExists);
  EXPECT_EQ(openForReading(folder, kFileShareRead), kInvalidHandle);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  Handle const reader = openForReading(path, kFileShareRead);
  FileDispositionInfo disposition{};
  disposition.DeleteFile = 1;
  EXPECT_EQ(SetFileInformationByHandle(reader, kFileDispositionInfo, &disposition, sizeof disposition), kFalse);
  EXPECT_EQ(GetLastError(), kErrorAccessDenied);
  CloseHandle(reader);
}

TEST(TemporaryFolders, EndWithASeparatorAndExist) {
  resetWorld();
  char16_t buffer[kMaxPath];
  Dword const length = GetTempPathW(kMaxPath, buffer);
  ASSERT_TRUE(length > 0 && length < kMaxPath);
  EXPECT_EQ(buffer[length - 1], u'\\');
  EXPECT_EQ(testExistence(buffer).existence, Existence::present);
  EXPECT_EQ(GetTempPath2W(kMaxPath, buffer), 0u);  // neither Wine 8 nor the simulation has it
  EXPECT_EQ(GetLastError(), kErrorCallNotImplemented);
}

TEST(Existence, AnswersForRealPaths) {
  resetWorld();
  std::u16string const folder = scratchFolder(u"existence");
  writeFile(folder + u"\\file.txt", "x");
  struct {
    std::u16string path;
    Existence existence;
    Dword error;
  } const cases[] = {
      {folder + u"\\file.txt", Existence::present, 0},
      {folder, Existence::present, 0},
      {folder + u"\\", Existence::present, 0},
      {folder + u"/file.txt", Existence::present, 0},
      {folder + u"\\missing.txt", Existence::absent, kErrorFileNotFound},
      {folder + u"\\missing\\file.txt", Existence::absent, kErrorPathNotFound},
      {folder + u"\\bad<name>.txt", Existence::absent, kErrorInvalidName},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(narrow(c.path));
    ExistenceResult const result = testExistence(c.path.c_str());
    EXPECT_EQ(result.existence, c.existence);
    EXPECT_EQ(result.error, c.error);
  }
  // A path that continues below a file names nothing, whichever error the system gives.
  EXPECT_EQ(testExistence((folder + u"\\file.txt\\config.json").c_str()).existence, Existence::absent);
}

// The real C runtime and the portable text mode must agree byte for byte, or the
// configuration tests on Linux prove the wrong thing.
TEST(ReadTextModeFile, MatchesThePortableTextMode) {
  resetWorld();
  struct {
    const char16_t* name;
    std::string bytes;
    std::string expected;
  } const cases[] = {
      {u"crlf", "{\r\n\"a\": 1\r\n}\r\n"s, "{\n\"a\": 1\n}\n"s},
      {u"lone_cr", "a\rb\r"s, "a\rb\r"s},
      {u"cr_cr_lf", "a\r\r\nb"s, "a\r\nb"s},
      {u"ctrl_z_ends", "{}\x1A garbage \r\n"s, "{}"s},
      {u"high_and_zero_bytes", "\xEF\xBB\xBF\xC3\xA9\0x"s, "\xEF\xBB\xBF\xC3\xA9\0x"s},
      // The CR is the last byte of the C runtime's first 4096-byte buffer.
      {u"crlf_across_buffers", std::string(4095, 'x') + "\r\ny", std::string(4095, 'x') + "\ny"},
  };
  std::u16string const folder = scratchFolder(u"text_mode");
  for (auto const& c : cases) {
    SCOPED_TRACE(narrow(c.name));
    std::u16string const path = folder + u"\\" + c.name;
    writeFile(path, c.bytes);
    std::string content = "before:";
    ASSERT_EQ(ReadTextModeFile(path.c_str(), content), kTrue);
    EXPECT_EQ(content, "before:" + c.expected);
    EXPECT_EQ(content, "before:" + applyTextMode(c.bytes));
  }
  std::string content;
  EXPECT_EQ(ReadTextModeFile((folder + u"\\missing.json").c_str(), content), kFalse);
  EXPECT_EQ(ReadTextModeFile(folder.c_str(), content), kFalse);
  EXPECT_EQ(content, "");
}

TEST(GetFullPathNameW, ResolvesAgainstTheCurrentDirectory) {
  resetWorld();
  std::u16string const folder = scratchFolder(u"full_path");
  char16_t saved[kMaxPath];
  ASSERT_GT(GetFullPathNameW(u".", kMaxPath, saved, nullptr), 0u);
  ASSERT_EQ(SetCurrentDirectoryW(folder.c_str()), kTrue);
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
    SCOPED_TRACE(narrow(c.path));
    EXPECT_EQ(GetFullPathNameW(c.path.c_str(), 0, nullptr, nullptr), c.full.size() + 1);
    char16_t buffer[kMaxPath];
    char16_t* filePart = nullptr;
    Dword const length = GetFullPathNameW(c.path.c_str(), kMaxPath, buffer, &filePart);
    ASSERT_EQ(length, c.full.size());
    EXPECT_EQ(narrow(std::u16string(buffer, length)), narrow(c.full));
    ASSERT_NE(filePart, nullptr);
    EXPECT_EQ(narrow(filePart), narrow(c.filePart));
  }
  SetCurrentDirectoryW(saved);
}

TEST(FileNameCodePage, FollowsTheFileApisWithoutAUtf8Locale) {
  HALCYRA_SKIP_FOR_GAP(kSimulationHasOneCodePage);
  EXPECT_EQ(fileNameCodePage(), kCpAcp);
}

// The service's log on the real file system: a reader that shares reading and writing
// (a log viewer) does not keep the service's own earlier log from being emptied, and a
// folder with content under its name sends the output elsewhere and stays as it is.
TEST(ServiceLog, ALogViewerOrAPlantedFolderNeverBlocksIt) {
  resetWorld();
  std::u16string const folder = scratchFolder(u"service_log");
  std::u16string const path = folder + u"\\HalcyraService.log";
  ServiceLog const first = openServiceLog(path.c_str());
  ASSERT_EQ(narrow(first.fallback), "");
  CloseHandle(first.handle);
  writeFile(path, "last run");  // as the children leave it
  Handle const viewer = openForReading(path, kFileShareRead | kFileShareWrite);
  ASSERT_NE(viewer, kInvalidHandle);
  ServiceLog const second = openServiceLog(path.c_str());
  EXPECT_EQ(narrow(second.fallback), "");
  EXPECT_EQ(fileContent(path), "");
  CloseHandle(second.handle);
  CloseHandle(viewer);

  std::u16string const blocked = scratchFolder(u"service_log\\blocked") + u"\\HalcyraService.log";
  scratchFolder(u"service_log\\blocked\\HalcyraService.log");
  writeFile(blocked + u"\\inside.txt", "inside");
  ServiceLog const fallback = openServiceLog(blocked.c_str());
  EXPECT_EQ(fallback.failure, kErrorDirNotEmpty);
  EXPECT_EQ(narrow(fallback.fallback), "NUL");  // neither system has GetTempPath2W
  CloseHandle(fallback.handle);
  EXPECT_EQ(fileContent(blocked + u"\\inside.txt"), "inside");
}

}  // namespace
}  // namespace halcyra::contract
