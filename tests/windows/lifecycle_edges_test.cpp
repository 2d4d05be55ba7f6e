// The real backend's edges of the service's life: a server overwritten in place (same
// size, times put back) is read as the new version; and, run with the crypto DLLs disabled
// (WINEDLLOVERRIDES, see CMakeLists.txt), every check that needs them is refused, named by
// the failure record, and the process goes on.

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "platform/security.h"
#include "platform/signature.h"
#include "tests/windows/test_files.h"
#include "update/updater_signer_check.h"
#include "version/version_number.h"

namespace halcyra {
namespace {

std::u16string contractFixture(std::u16string_view name) {
  return test::moduleFolder() + u"\\..\\contract\\" + std::u16string(name);
}

void overwriteInPlaceKeepingTimes(const std::u16string& path, const std::string& bytes) {
  auto const wide = reinterpret_cast<const wchar_t*>(path.c_str());
  HANDLE const file =
      CreateFileW(wide, GENERIC_READ | GENERIC_WRITE | FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  FILETIME created{}, accessed{}, written{};
  ASSERT_TRUE(GetFileTime(file, &created, &accessed, &written));
  DWORD done = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
  ASSERT_TRUE(SetFileTime(file, &created, &accessed, &written));
  CloseHandle(file);
}

TEST(VersionCache, ServerOverwrittenInPlaceWithItsTimesIsReadAsTheNewVersion) {
  std::u16string const server = test::freshFolder(u"version") + u"\\HalcyraServer.exe";
  std::string const original = test::readFile(contractFixture(u"fixture_versioned.exe"));
  ASSERT_FALSE(original.empty());
  test::writeFile(server, original);
  EXPECT_EQ(readProductVersion(server), u"1.2.3.4");
  constexpr std::uint32_t kSignature = 0xFEEF04BD;  // of the fixed part
  std::size_t const fixed = original.find(std::string(reinterpret_cast<const char*>(&kSignature), 4));
  ASSERT_NE(fixed, std::string::npos);
  for (std::uint32_t const revision : {5u, 6u}) {
    std::string next = original;
    std::uint32_t const productLs = (3u << 16) | revision;
    std::memcpy(next.data() + fixed + 20, &productLs, 4);  // dwProductVersionLS: the size stays
    overwriteInPlaceKeepingTimes(server, next);
    EXPECT_EQ(readProductVersion(server), u"1.2.3." + std::u16string(1, static_cast<char16_t>(u'0' + revision)));
  }
}

// Run only with bcrypt and wintrust disabled.
TEST(UnloadableDll, EveryCheckThatNeedsThemIsRefused) {
  platform::Sha256Digest digest{};
  EXPECT_NE(platform::sha256("abc", digest), platform::kStatusSuccess);
  // A program whose signature passes where wintrust loads.
  SignerCheck const check = checkProgramSigner(contractFixture(u"signed_fixture.exe"),
                                               std::vector<std::u16string>{std::u16string(64, u'0')}, "signers");
  EXPECT_TRUE(check.checked && !check.allowed);
  EXPECT_NE(check.reason.find("0x8007007E"), std::string::npos) << check.reason;
  platform::LibraryFailure const failure = platform::firstLibraryFailure();
  ASSERT_NE(failure.dll, nullptr);
  EXPECT_TRUE(lstrcmpiA(failure.dll, "bcrypt.dll") == 0 || lstrcmpiA(failure.dll, "wintrust.dll") == 0) << failure.dll;
  EXPECT_EQ(failure.error, platform::kErrorModNotFound);
}

}  // namespace
}  // namespace halcyra
