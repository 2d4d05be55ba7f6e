#pragma once
// Digests and signatures (bcrypt): SHA-256, and the ECDSA P-256 verification that the
// release manifest's signature gets. The DER forms of keys and signatures are read above
// this seam; it takes and gives the raw numbers that CNG works with.

#include <array>
#include <cstdint>
#include <string_view>

#include "platform/types.h"

namespace halcyra::platform {

// NTSTATUS values of the bcrypt calls.
inline constexpr Dword kStatusSuccess = 0;
inline constexpr Dword kStatusInvalidParameter = 0xC000000D;
inline constexpr Dword kStatusInvalidSignature = 0xC000A000;

using Sha256Digest = std::array<std::uint8_t, 32>;
// An uncompressed public point X || Y, each coordinate 32 big-endian bytes: the body of a
// BCRYPT_ECCPUBLIC_BLOB for P-256.
using P256PublicPoint = std::array<std::uint8_t, 64>;
// An ECDSA signature r || s, each 32 big-endian bytes: the form BCryptVerifySignature takes.
using P256Signature = std::array<std::uint8_t, 64>;

// SHA-256 of `data` (BCryptOpenAlgorithmProvider(BCRYPT_SHA256_ALGORITHM), BCryptHash).
// kStatusSuccess with `digest` filled, or the NTSTATUS of the call that failed.
Dword sha256(std::string_view data, Sha256Digest& digest);

// Imports `publicKey` as a BCRYPT_ECCPUBLIC_BLOB of BCRYPT_ECDSA_P256_ALGORITHM, hashes
// `data` with SHA-256 and calls BCryptVerifySignature. kStatusSuccess only for a valid
// signature; kStatusInvalidSignature for one that does not verify; another NTSTATUS when
// the key is not a point of the curve or a call failed.
Dword verifyEcdsaP256Sha256(const P256PublicPoint& publicKey, std::string_view data, const P256Signature& signature);

}  // namespace halcyra::platform
