// The product version of real executables, read through version.dll.

#include "platform/version_info.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/windows/test_files.h"
#include "version/version_number.h"

namespace halcyra {
namespace {

struct VersionCase {
  const char16_t* file;  // beside the test executable
  const char16_t* expected;
};

class ProductVersionTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(ProductVersionTest, ReadsTheFixedProductVersion) {
  std::u16string const path = test::moduleFolder() + u"\\" + GetParam().file;
  EXPECT_EQ(test::printable(readProductVersion(path)), test::printable(GetParam().expected));
}

INSTANTIATE_TEST_SUITE_P(Executables, ProductVersionTest,
                         ::testing::Values(
                             // Product 1.2.3.4, file 5.6.7.8, string table 8.8.8.8 and 9.9.9.9.
                             VersionCase{u"fixture_versioned.exe", u"1.2.3.4"},
                             VersionCase{u"fixture_wide_version.exe", u"10.0.65535.0"},
                             VersionCase{u"fixture_unversioned.exe", u"0.0.0.0"},
                             VersionCase{u"no_such_fixture.exe", u"0.0.0.0"},
                             // Its fixed block says 3.3.3.3, but the whole information exceeds 2048 bytes.
                             VersionCase{u"fixture_oversized_version.exe", u"0.0.0.0"}));

// The oversized fixture must really exceed the limit, and the normal one stay below it,
// or the cases above prove nothing about the limit.
TEST(VersionInfoSize, FixturesStraddleTheLimit) {
  std::u16string const folder = test::moduleFolder();
  platform::Dword const oversized =
      platform::GetFileVersionInfoSizeW((folder + u"\\fixture_oversized_version.exe").c_str(), nullptr);
  platform::Dword const normal =
      platform::GetFileVersionInfoSizeW((folder + u"\\fixture_versioned.exe").c_str(), nullptr);
  EXPECT_GT(oversized, 2048u);
  EXPECT_GT(normal, 0u);
  EXPECT_LE(normal, 2048u);
}

}  // namespace
}  // namespace halcyra
