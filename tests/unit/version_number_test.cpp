#include "version/version_number.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/sim/sim.h"

namespace halcyra {
namespace {

struct ParseCase {
  std::u16string text;
  VersionNumber expected;
};

TEST(ParseVersionNumber, ConvertsEachPieceLikeWcstolThenKeepsTheLow16Bits) {
  const ParseCase cases[] = {
      {u"1.2.3.4", {1, 2, 3, 4}},
      {u"1.2.3.", {1, 2, 3, 0}},
      {u".1.2.3", {0, 1, 2, 3}},
      {u"1..3.4", {1, 0, 3, 4}},
      {u"...", {0, 0, 0, 0}},
      {u" 7.\t\n\v\f\r8.+9.-0", {7, 8, 9, 0}},
      {u"4-beta.v1.1 2.0x10", {4, 0, 1, 0}},
      {u"65535.65536.-1.70000", {65535, 0, 65535, 4464}},
      {u"99999999999.-99999999999.2147483647.-2147483648", {65535, 0, 65535, 0}},
      {u"2147483648.-2147483649.99999999999999999999999.00000000000000000000000000000000012", {65535, 0, 65535, 12}},
      {u"-99999999999999999999999.4294967296.-4294967296.4294967295", {0, 65535, 0, 65535}},
      {u"+-1.- 1.\u00A01.\uFF11", {0, 0, 0, 0}},  // a second sign, a space after the sign, no-break space, full-width 1
      {u"10.0.65535.0", {10, 0, 65535, 0}},
  };
  for (const ParseCase& c : cases) {
    VersionNumber target{9, 9, 9, 9};
    EXPECT_TRUE(parseVersionNumber(c.text, target)) << std::string(c.text.begin(), c.text.end());
    EXPECT_EQ(target, c.expected) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ParseVersionNumber, RefusesAnythingButFourPiecesAndLeavesTheTargetAlone) {
  for (std::u16string const text : {u"", u"1", u"1.2.3", u"1.2.3.4.5", u"....", u"1.2.3.4."}) {
    VersionNumber target{5, 6, 7, 8};
    EXPECT_FALSE(parseVersionNumber(text, target)) << std::string(text.begin(), text.end());
    EXPECT_EQ(target, (VersionNumber{5, 6, 7, 8}));
  }
}

TEST(FormatVersionNumber, WritesPlainDecimalsThatParseBack) {
  for (VersionNumber const version : {VersionNumber{1, 2, 30, 4}, VersionNumber{0, 0, 0, 0},
                                      VersionNumber{10, 0, 65535, 0}, VersionNumber{65535, 65535, 65535, 65535}}) {
    std::u16string const text = formatVersionNumber(version);
    VersionNumber parsed;
    ASSERT_TRUE(parseVersionNumber(text, parsed));
    EXPECT_EQ(parsed, version);
  }
  EXPECT_EQ(formatVersionNumber({1, 2, 30, 4}), u"1.2.30.4");
  EXPECT_EQ(formatVersionNumber({10, 0, 65535, 0}), u"10.0.65535.0");
}

class ReadProductVersion : public ::testing::Test {
 protected:
  void SetUp() override { sim::reset(); }
};

TEST_F(ReadProductVersion, ReadsTheProductVersionNotTheFileVersion) {
  sim::addFile(u"C:\\App\\server.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\server.exe", 0x00010002, 0x00030004, 0x00050006, 0x00070008);
  EXPECT_EQ(readProductVersion(u"C:\\App\\server.exe"), u"1.2.3.4");

  sim::setVersionInfo(u"C:\\App\\server.exe", 0x000A0000, 0xFFFF0000, 0, 0);
  EXPECT_EQ(readProductVersion(u"C:\\App\\server.exe"), u"10.0.65535.0");
}

TEST_F(ReadProductVersion, GivesZeroesWhenThereIsNoUsableVersionInformation) {
  sim::addFile(u"C:\\App\\plain.exe", "MZ");
  sim::addFile(u"C:\\App\\exact.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\exact.exe", 0x00020000, 0x00000001, 0, 0, 2048);
  sim::addFile(u"C:\\App\\large.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\large.exe", 0x00020000, 0x00000001, 0, 0, 2049);

  EXPECT_EQ(readProductVersion(u"C:\\App\\exact.exe"), u"2.0.0.1");
  EXPECT_EQ(readProductVersion(u"C:\\App\\large.exe"), u"0.0.0.0");
  EXPECT_EQ(readProductVersion(u"C:\\App\\plain.exe"), u"0.0.0.0");
  EXPECT_EQ(readProductVersion(u"C:\\App\\missing.exe"), u"0.0.0.0");
}

TEST_F(ReadProductVersion, GivesZeroesWhenReadingOrQueryingFails) {
  sim::addFile(u"C:\\App\\server.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\server.exe", 0x00010002, 0x00030004, 0, 0);
  for (char const* operation : {"GetFileVersionInfoW", "VerQueryValueA"}) {
    sim::failCall(operation, 1, platform::kErrorAccessDenied);
    EXPECT_EQ(readProductVersion(u"C:\\App\\server.exe"), u"0.0.0.0") << operation;
    EXPECT_EQ(readProductVersion(u"C:\\App\\server.exe"), u"1.2.3.4") << operation;
  }
}

}  // namespace
}  // namespace halcyra
