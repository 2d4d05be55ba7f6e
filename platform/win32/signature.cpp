#include "platform/signature.h"

#include "platform/win32/windows_types.h"
// After <windows.h>, which it needs.
#include <bcrypt.h>

#include <cstring>
#include <limits>

namespace halcyra::platform {

namespace {

// An algorithm provider or a key, closed when it goes.
struct Algorithm {
  BCRYPT_ALG_HANDLE handle = nullptr;
  Algorithm() = default;
  Algorithm(const Algorithm&) = delete;
  Algorithm& operator=(const Algorithm&) = delete;
  ~Algorithm() {
    if (handle != nullptr) {
      static_cast<void>(BCryptCloseAlgorithmProvider(handle, 0));
    }
  }
};

struct Key {
  BCRYPT_KEY_HANDLE handle = nullptr;
  Key() = default;
  Key(const Key&) = delete;
  Key& operator=(const Key&) = delete;
  ~Key() {
    if (handle != nullptr) {
      static_cast<void>(BCryptDestroyKey(handle));
    }
  }
};

PUCHAR bytes(const void* data) { return static_cast<PUCHAR>(const_cast<void*>(data)); }

}  // namespace

Dword sha256(std::string_view data, Sha256Digest& digest) {
  if (data.size() > std::numeric_limits<ULONG>::max()) {
    return kStatusInvalidParameter;
  }
  Algorithm algorithm;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
  if (status != 0) {
    return static_cast<Dword>(status);
  }
  status = BCryptHash(algorithm.handle, nullptr, 0, bytes(data.data()), static_cast<ULONG>(data.size()), digest.data(),
                      static_cast<ULONG>(digest.size()));
  return static_cast<Dword>(status);
}

Dword verifyEcdsaP256Sha256(const P256PublicPoint& publicKey, std::string_view data, const P256Signature& signature) {
  Sha256Digest digest{};
  if (Dword const status = sha256(data, digest); status != kStatusSuccess) {
    return status;
  }
  Algorithm algorithm;
  NTSTATUS status = BCryptOpenAlgorithmProvider(&algorithm.handle, BCRYPT_ECDSA_P256_ALGORITHM, nullptr, 0);
  if (status != 0) {
    return static_cast<Dword>(status);
  }
  // BCRYPT_ECCKEY_BLOB (magic, coordinate size) followed by X and Y.
  unsigned char blob[sizeof(BCRYPT_ECCKEY_BLOB) + sizeof(P256PublicPoint)] = {};
  BCRYPT_ECCKEY_BLOB const header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof header);
  std::memcpy(blob + sizeof header, publicKey.data(), publicKey.size());
  Key key;
  status = BCryptImportKeyPair(algorithm.handle, nullptr, BCRYPT_ECCPUBLIC_BLOB, &key.handle, blob, sizeof blob, 0);
  if (status != 0) {
    return static_cast<Dword>(status);
  }
  status = BCryptVerifySignature(key.handle, nullptr, digest.data(), static_cast<ULONG>(digest.size()),
                                 bytes(signature.data()), static_cast<ULONG>(signature.size()), 0);
  return static_cast<Dword>(status);
}

}  // namespace halcyra::platform
