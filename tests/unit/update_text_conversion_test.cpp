#include <gtest/gtest.h>

#include <string>

#include "update/text_conversion.h"

namespace halcyra {
namespace {

using namespace std::string_literals;

TEST(NarrowByTruncation, KeepsTheLowByteOfEachUnitUpToTheFirstNul) {
  struct Case {
    std::u16string wide;
    std::string narrow;
  };
  const Case cases[] = {
      {u"", ""},
      {u"ftp://host/latest/v.json", "ftp://host/latest/v.json"},
      {u"\u00E9", "\xE9"},                       // no UTF-8 encoding
      {u"pa\u20ACss", "pa\xACss"},               // the euro sign's low byte
      {u"\uFFFF\u0100\u017F", "\xFF\x00\x7F"s},  // a low byte of zero is kept, only U+0000 ends
      {u"ab\0cd"s, "ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(narrowByTruncation(c.wide), c.narrow) << c.narrow;
  }
}

TEST(WidenBySignExtension, SignExtendsEachByteUpToTheFirstNul) {
  struct Case {
    std::string narrow;
    std::u16string wide;
  };
  const Case cases[] = {
      {"", u""},
      {"1.2.3.4", u"1.2.3.4"},
      {"\x7F\x80", u"\u007F\uFF80"},
      {"\xC3\xA9", u"\uFFC3\uFFA9"},  // no UTF-8 decoding
      {"\xFF", u"\uFFFF"},
      {"ab\0cd"s, u"ab"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(widenBySignExtension(c.narrow), c.wide) << c.narrow;
  }
}

TEST(TextConversions, NarrowingUndoesWideningForEveryNonZeroByte) {
  for (int value = 1; value < 256; ++value) {
    std::string const byte(1, static_cast<char>(value));
    std::u16string const wide = widenBySignExtension(byte);
    ASSERT_EQ(wide.size(), 1u) << value;
    EXPECT_EQ(narrowByTruncation(wide), byte) << value;
  }
}

}  // namespace
}  // namespace halcyra
