// Base64 of the simulated crypt32 and version resources of the simulated version.dll.

#include <gtest/gtest.h>

#include <string>

#include "platform/base64.h"
#include "platform/sim/sim.h"
#include "platform/version_info.h"

namespace halcyra {
namespace {

using namespace platform;

inline constexpr Dword kBase64NoCrlf = kCryptStringBase64 | kCryptStringNoCrlf;

std::u16string encode(std::string const& bytes, Dword flags) {
  auto const* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  auto const size = static_cast<Dword>(bytes.size());
  Dword length = 0;
  EXPECT_EQ(CryptBinaryToStringW(data, size, flags, nullptr, &length), kTrue);
  std::u16string text(length, u'#');
  Dword written = length;
  EXPECT_EQ(CryptBinaryToStringW(data, size, flags, text.data(), &written), kTrue);
  EXPECT_EQ(written + 1, length);  // the size query counts the terminator, the write does not
  EXPECT_EQ(text[written], u'\0');
  text.resize(written);
  return text;
}

TEST(SimBase64, Rfc4648Vectors) {
  sim::reset();
  struct Case {
    std::string bytes;
    std::u16string text;
  } const cases[] = {
      {"", u""},
      {"f", u"Zg=="},
      {"fo", u"Zm8="},
      {"foo", u"Zm9v"},
      {"foob", u"Zm9vYg=="},
      {"fooba", u"Zm9vYmE="},
      {"foobar", u"Zm9vYmFy"},
      {std::string("{\0", 2), u"ewA="},
      {"\xFB\xFF", u"+/8="},
  };
  for (Case const& c : cases) {
    EXPECT_EQ(encode(c.bytes, kBase64NoCrlf), c.text) << c.bytes;
  }
}

TEST(SimBase64, LinesOf64WithoutNoCrlfAndShortBuffers) {
  sim::reset();
  std::string const bytes(60, 'x');  // 80 characters of base64
  std::u16string const lines = encode(bytes, kCryptStringBase64);
  std::u16string const single = encode(bytes, kBase64NoCrlf);
  ASSERT_EQ(single.size(), 80u);
  EXPECT_EQ(lines, single.substr(0, 64) + u"\r\n" + single.substr(64) + u"\r\n");

  char16_t text[4];
  Dword length = 4;
  EXPECT_EQ(CryptBinaryToStringW(reinterpret_cast<const std::uint8_t*>("foo"), 3, kBase64NoCrlf, text, &length),
            kFalse);
  EXPECT_EQ(CryptBinaryToStringW(reinterpret_cast<const std::uint8_t*>("foo"), 3, 0x2, nullptr, &length), kFalse);
}

struct ProductVersion {
  bool read;
  Dword ms = 0;
  Dword ls = 0;
};

// The caller's sequence: size, read into a 2048-byte buffer, query the root block.
ProductVersion readVersion(const char16_t* path) {
  Dword const size = GetFileVersionInfoSizeW(path, nullptr);
  if (size == 0 || size > 2048) {
    return {false};
  }
  alignas(8) std::uint8_t buffer[2048];
  if (GetFileVersionInfoW(path, 0, size, buffer) != kTrue) {
    return {false};
  }
  void* fixed = nullptr;
  unsigned length = 0;
  if (VerQueryValueA(buffer, "\\", &fixed, &length) != kTrue) {
    return {false};
  }
  EXPECT_GE(static_cast<std::uint8_t*>(fixed), buffer);
  EXPECT_LE(static_cast<std::uint8_t*>(fixed) + length, buffer + sizeof buffer);
  auto const* info = static_cast<const FixedFileInfo*>(fixed);
  EXPECT_EQ(info->dwSignature, 0xFEEF04BDu);
  return {true, info->dwProductVersionMS, info->dwProductVersionLS};
}

TEST(SimVersionInfo, ProductVersionFromTheRootBlock) {
  sim::reset();
  sim::addFile(u"C:\\App\\plain.exe", "MZ");
  sim::addFile(u"C:\\App\\exact.exe", "MZ");
  sim::addFile(u"C:\\App\\tiny.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\exact.exe", 0x00010002, 0x00030004, 0x00050006, 0x00070008, 2048);
  sim::setVersionInfo(u"C:\\App\\tiny.exe", 0x00010002, 0x00030004, 0, 0, 60);  // too small for the fixed part
  sim::addFile(u"C:\\App\\big.exe", "MZ");
  sim::setVersionInfo(u"C:\\App\\big.exe", 1, 1, 1, 1, 2049);

  ProductVersion const exact = readVersion(u"C:\\App\\exact.exe");
  EXPECT_TRUE(exact.read);
  EXPECT_EQ(exact.ms, 0x00010002u);
  EXPECT_EQ(exact.ls, 0x00030004u);
  for (const char16_t* path :
       {u"C:\\App\\plain.exe", u"C:\\App\\missing.exe", u"C:\\App\\tiny.exe", u"C:\\App\\big.exe"}) {
    EXPECT_FALSE(readVersion(path).read);
  }
  EXPECT_EQ(GetFileVersionInfoSizeW(u"C:\\App\\big.exe", nullptr), 2049u);
}

}  // namespace
}  // namespace halcyra
