// The DER and text forms read for the release manifest's signature: any bytes, the first
// choosing the reader. A signature is accepted exactly when the bytes are the one DER
// encoding of its r and s; a public key exactly when they are the P-256
// SubjectPublicKeyInfo of its point; a time only in its single form, and never before 1970.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz/fuzz_input.h"
#include "update/manifest_signature.h"

namespace {

// The shortest DER INTEGER of a 32-byte unsigned big-endian number.
std::string derInteger(const std::uint8_t* number) {
  std::size_t first = 0;
  while (first < 31 && number[first] == 0) ++first;
  std::string content(reinterpret_cast<const char*>(number + first), 32 - first);
  if ((number[first] & 0x80) != 0) content.insert(content.begin(), '\0');
  return std::string{'\x02', static_cast<char>(content.size())} + content;
}

std::string derSignature(const halcyra::platform::P256Signature& signature) {
  std::string const body = derInteger(signature.data()) + derInteger(signature.data() + 32);
  return std::string{'\x30', static_cast<char>(body.size())} + body;
}

constexpr std::string_view kSpkiPrefix{
    "\x30\x59\x30\x13\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07\x03\x42\x00\x04", 27};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halcyra;
  if (size == 0) return 0;
  std::string_view const bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  switch (data[0] % 4) {
    case 0:
      if (auto const signature = parseEcdsaSignature(bytes)) {
        fuzz::require(derSignature(*signature) == bytes, "an accepted signature is its one DER encoding");
      }
      break;
    case 1:
      if (auto const point = parseP256PublicKey(bytes)) {
        std::string const expected =
            std::string(kSpkiPrefix) + std::string(reinterpret_cast<const char*>(point->data()), point->size());
        fuzz::require(expected == bytes, "an accepted key is the P-256 SubjectPublicKeyInfo of its point");
      }
      break;
    case 2:
      if (auto const decoded = decodeBase64(fuzz::utf16FromBytes(data + 1, size - 1))) {
        fuzz::require(decoded->size() <= size / 2 * 3 / 4, "base64 gives three bytes per four characters");
      }
      break;
    default:
      if (auto const time = parseUtcTime(bytes)) {
        fuzz::require(bytes.size() == 20 && *time >= 116444736000000000ULL, "one form, 1970 or later");
      }
      break;
  }
  return 0;
}
