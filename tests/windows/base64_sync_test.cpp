// The base64 encoder of crypt32 and the events and waits of kernel32, through the seam.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/base64.h"
#include "platform/sync.h"
#include "platform/types.h"

namespace halcyra::platform {
namespace {

struct Base64Case {
  std::string_view bytes;
  std::u16string_view text;
};

class Base64Test : public ::testing::TestWithParam<Base64Case> {};

// The service's encoding as the updater receives it: standard alphabet, "=" padding, one
// line. The size query counts the terminator.
TEST_P(Base64Test, EncodesOnOneLine) {
  Base64Case const& c = GetParam();
  auto const* data = reinterpret_cast<const std::uint8_t*>(c.bytes.data());
  Dword const size = static_cast<Dword>(c.bytes.size());
  Dword const flags = kCryptStringBase64 | kCryptStringNoCrlf;

  Dword length = 0;
  CryptBinaryToStringW(data, size, flags, nullptr, &length);
  ASSERT_EQ(length, c.text.size() + 1);

  std::u16string text(length, u'#');
  ASSERT_NE(CryptBinaryToStringW(data, size, flags, text.data(), &length), kFalse);
  EXPECT_EQ(text.back(), u'\0');
  text.pop_back();
  EXPECT_EQ(text, c.text);
}

using namespace std::string_view_literals;

INSTANTIATE_TEST_SUITE_P(Vectors, Base64Test,
                         ::testing::Values(
                             // RFC 4648, section 10.
                             Base64Case{"f"sv, u"Zg=="}, Base64Case{"fo"sv, u"Zm8="}, Base64Case{"foo"sv, u"Zm9v"},
                             Base64Case{"foob"sv, u"Zm9vYg=="}, Base64Case{"fooba"sv, u"Zm9vYmE="},
                             Base64Case{"foobar"sv, u"Zm9vYmFy"},
                             // UTF-16LE "{}" and every byte value class: zero bytes, high bits, the last two
                             // letters of the alphabet.
                             Base64Case{"{\0}\0"sv, u"ewB9AA=="}, Base64Case{"\xFB\xFF\xBF"sv, u"+/+/"},
                             // Long enough that an encoder with line breaks would put one in (76 characters).
                             Base64Case{"0123456789012345678901234567890123456789012345678901234567890123456789"sv,
                                        u"MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2"
                                        u"Nzg5MDEyMzQ1Njc4OQ=="}));

TEST(Events, ManualResetStaysSignalledAutoResetDoesNot) {
  Handle const manual = CreateEventA(nullptr, kTrue, kFalse, nullptr);
  Handle const automatic = CreateEventA(nullptr, kFalse, kFalse, nullptr);
  ASSERT_NE(manual, nullptr);
  ASSERT_NE(automatic, nullptr);

  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitTimeout);
  SetEvent(manual);
  SetEvent(automatic);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(manual, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitObject0);
  EXPECT_EQ(WaitForSingleObject(automatic, 0), kWaitTimeout);

  CloseHandle(manual);
  CloseHandle(automatic);
}

// The supervisor's watch relies on the lowest signalled index winning, and on a wait that
// returns an auto-reset event resetting it.
TEST(Events, WaitForAnyReportsTheLowestSignalledIndex) {
  Handle const events[3] = {CreateEventA(nullptr, kTrue, kFalse, nullptr),
                            CreateEventA(nullptr, kFalse, kFalse, nullptr),
                            CreateEventA(nullptr, kFalse, kFalse, nullptr)};
  SetEvent(events[2]);
  SetEvent(events[1]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, kFalse, 1000), kWaitObject0 + 1);
  EXPECT_EQ(WaitForMultipleObjects(3, events, kFalse, 1000), kWaitObject0 + 2);
  EXPECT_EQ(WaitForMultipleObjects(3, events, kFalse, 0), kWaitTimeout);
  SetEvent(events[2]);
  SetEvent(events[0]);
  EXPECT_EQ(WaitForMultipleObjects(3, events, kFalse, 1000), kWaitObject0);
  EXPECT_EQ(WaitForMultipleObjects(3, events, kFalse, 1000), kWaitObject0);

  for (Handle const event : events) {
    CloseHandle(event);
  }
}

}  // namespace
}  // namespace halcyra::platform
