// Base64 (crypt32) and version resources (version.dll), the same on the simulated machine
// and on Windows.

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "platform/base64.h"
#include "platform/version_info.h"
#include "tests/contract/backend_gaps.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;
using namespace std::string_view_literals;

constexpr Dword kBase64NoCrlf = kCryptStringBase64 | kCryptStringNoCrlf;

// The size query counts the terminator; the write stores it and reports the length
// without it.
std::u16string encode(std::string_view bytes, Dword flags) {
  auto const* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  auto const size = static_cast<Dword>(bytes.size());
  Dword length = 0;
  EXPECT_EQ(CryptBinaryToStringW(data, size, flags, nullptr, &length), kTrue);
  std::u16string text(length, u'#');
  Dword written = length;
  EXPECT_EQ(CryptBinaryToStringW(data, size, flags, text.data(), &written), kTrue);
  EXPECT_EQ(written + 1, length);
  EXPECT_EQ(text[written], u'\0');
  text.resize(written);
  return text;
}

TEST(Base64, EncodesOnOneLine) {
  resetWorld();
  struct Case {
    std::string_view bytes;
    std::u16string_view text;
  } const cases[] = {
      // RFC 4648, section 10.
      {""sv, u""},
      {"f"sv, u"Zg=="},
      {"fo"sv, u"Zm8="},
      {"foo"sv, u"Zm9v"},
      {"foob"sv, u"Zm9vYg=="},
      {"fooba"sv, u"Zm9vYmE="},
      {"foobar"sv, u"Zm9vYmFy"},
      // UTF-16LE "{}", zero bytes, high bits, the last two letters of the alphabet.
      {"{\0}\0"sv, u"ewB9AA=="},
      {"{\0"sv, u"ewA="},
      {"\xFB\xFF\xBF"sv, u"+/+/"},
      {"\xFB\xFF"sv, u"+/8="},
      // Long enough that an encoder with line breaks would put one in.
      {"0123456789012345678901234567890123456789012345678901234567890123456789"sv,
       u"MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1Njc4OTAxMjM0NTY3ODkwMTIzNDU2Nzg5MDEyMzQ1Njc4OQ=="},
  };
  for (auto const& c : cases) EXPECT_EQ(encode(c.bytes, kBase64NoCrlf), c.text) << c.bytes;
}

TEST(Base64, LinesOf64WithoutNoCrlfAndShortBuffers) {
  resetWorld();
  std::string const bytes(60, 'x');  // 80 characters of base64
  std::u16string const single = encode(bytes, kBase64NoCrlf);
  ASSERT_EQ(single.size(), 80u);
  EXPECT_EQ(encode(bytes, kCryptStringBase64), single.substr(0, 64) + u"\r\n" + single.substr(64) + u"\r\n");

  char16_t text[4];
  Dword length = 4;  // "Zm9v" needs a fifth unit for its terminator
  EXPECT_EQ(CryptBinaryToStringW(reinterpret_cast<const std::uint8_t*>("foo"), 3, kBase64NoCrlf, text, &length),
            kFalse);
  // An encoding that exists only for decoding.
  constexpr Dword kCryptStringBase64Any = 0x6;
  EXPECT_EQ(
      CryptBinaryToStringW(reinterpret_cast<const std::uint8_t*>("foo"), 3, kCryptStringBase64Any, nullptr, &length),
      kFalse);
}

struct ProductVersion {
  bool read = false;
  Dword ms = 0;
  Dword ls = 0;
};

// The service's sequence: the size, the whole information into a 2048-byte buffer, the
// root block's fixed part.
ProductVersion readVersion(const std::u16string& path) {
  Dword const size = GetFileVersionInfoSizeW(path.c_str(), nullptr);
  alignas(8) std::uint8_t buffer[2048];
  void* fixed = nullptr;
  unsigned length = 0;
  if (size == 0 || size > 2048 || GetFileVersionInfoW(path.c_str(), 0, size, buffer) != kTrue ||
      VerQueryValueA(buffer, "\\", &fixed, &length) != kTrue)
    return {};
  EXPECT_GE(static_cast<std::uint8_t*>(fixed), buffer);
  EXPECT_LE(static_cast<std::uint8_t*>(fixed) + length, buffer + size);
  EXPECT_EQ(length, sizeof(FixedFileInfo));
  auto const* info = static_cast<const FixedFileInfo*>(fixed);
  EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
  return {true, info->dwProductVersionMS, info->dwProductVersionLS};
}

TEST(VersionInfo, ProductVersionFromTheFixedPart) {
  resetWorld();
  struct Case {
    VersionFixture fixture;
    bool read;
    Dword ms, ls;
  } const cases[] = {
      {VersionFixture::versioned, true, 0x00010002, 0x00030004},  // not the file version 5.6.7.8
      {VersionFixture::wideVersion, true, 0x000A0000, 0xFFFF0000},
      {VersionFixture::unversioned, false, 0, 0},
      {VersionFixture::missing, false, 0, 0},
      {VersionFixture::oversized, false, 0, 0},
  };
  for (auto const& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.fixture));
    ProductVersion const version = readVersion(versionFixture(c.fixture));
    EXPECT_EQ(version.read, c.read);
    EXPECT_EQ(version.ms, c.ms);
    EXPECT_EQ(version.ls, c.ls);
  }
  // The oversized fixture must really exceed the limit, or its case proves nothing.
  EXPECT_GT(GetFileVersionInfoSizeW(versionFixture(VersionFixture::oversized).c_str(), nullptr), 2048u);
  SetLastError(0);
  EXPECT_EQ(GetFileVersionInfoSizeW(versionFixture(VersionFixture::unversioned).c_str(), nullptr), 0u);
  EXPECT_NE(GetLastError(), 0u);
}

TEST(VersionInfo, ABlockTooShortForTheFixedPartHasNoVersion) {
  HALCYRA_SKIP_FOR_GAP(kTruncatedVersionBlock);
  resetWorld();
  EXPECT_FALSE(readVersion(versionFixture(VersionFixture::truncated)).read);
}

}  // namespace
}  // namespace halcyra::contract
