// The wall clock, Authenticode and the bcrypt digests and signatures of the simulated
// machine. Digests and signatures are computed for real, with OpenSSL's libcrypto, so
// that keys and signatures made by the openssl tool verify here as they do on Windows.

#include "platform/sim/sim_trust.h"

#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cctype>
#include <memory>

#include "platform/authenticode.h"
#include "platform/security.h"
#include "platform/signature.h"
#include "platform/sim/sim_machine.h"
#include "platform/system_time.h"

namespace halcyra {

namespace sim {

void setSystemTime(std::uint64_t fileTimeAtStart) { detail::machine().systemTimeAtStart = fileTimeAtStart; }

void setFileSignature(const std::u16string& path, platform::Dword trustResult, std::string signerCertificate) {
  detail::machine().fs.at(detail::fileKeyOf(detail::pathKey(path), false)).signature = {trustResult,
                                                                                        std::move(signerCertificate)};
}

void failLibrary(const char* dll, platform::Dword error) {
  detail::Machine& m = detail::machine();
  if (m.failedLibraries.empty()) {
    m.libraryError = error;
  }
  m.failedLibraries.emplace_back(dll);
}

}  // namespace sim

namespace platform {

using namespace sim::detail;

namespace {

// The SubjectPublicKeyInfo of a P-256 key up to its point: SEQUENCE { SEQUENCE {
// id-ecPublicKey, prime256v1 }, BIT STRING with no unused bits, 0x04 (uncompressed) }.
constexpr unsigned char kSpkiPrefix[] = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2A, 0x86, 0x48,
                                         0xCE, 0x3D, 0x02, 0x01, 0x06, 0x08, 0x2A, 0x86, 0x48,
                                         0xCE, 0x3D, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

template <typename T, void (*Free)(T*)>
struct Freer {
  void operator()(T* object) const { Free(object); }
};
using PublicKey = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Signature = std::unique_ptr<ECDSA_SIG, Freer<ECDSA_SIG, ECDSA_SIG_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Freer<EVP_MD_CTX, EVP_MD_CTX_free>>;
struct OpenSslFree {
  void operator()(unsigned char* memory) const { OPENSSL_free(memory); }
};

// DLL names compare as Windows compares them, whatever their case.
bool libraryFailed(std::string_view dll) {
  auto const same = [dll](const std::string& failed) {
    return std::equal(failed.begin(), failed.end(), dll.begin(), dll.end(),
                      [](unsigned char a, unsigned char b) { return std::tolower(a) == std::tolower(b); });
  };
  return std::any_of(machine().failedLibraries.begin(), machine().failedLibraries.end(), same);
}

// The real backend's stand-ins' results (platform/win32/delay_load.cpp).
constexpr Dword kStatusDllNotFound = 0xC0000135;
constexpr Dword kModNotFoundResult = 0x8007007E;

std::string hexBytes(const unsigned char* data, std::size_t size) {
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += hex(data[i]).substr(2);
  }
  return out;
}

}  // namespace

std::uint64_t GetSystemTimeAsFileTime() {
  sim::logCall("GetSystemTimeAsFileTime");
  return machine().systemTimeAtStart + machine().clock * 10000;
}

LibraryFailure firstLibraryFailure() {
  if (machine().failedLibraries.empty()) {
    return {};
  }
  return {machine().failedLibraries.front().c_str(), machine().libraryError};
}

Dword sha256(std::string_view data, Sha256Digest& digest) {
  if (enterFails("sha256", "size=" + std::to_string(data.size()))) {
    return kStatusInvalidParameter;
  }
  if (libraryFailed("bcrypt.dll")) {
    return kStatusDllNotFound;
  }
  unsigned int size = 0;
  if (EVP_Digest(data.data(), data.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
    return kStatusInvalidParameter;
  }
  return kStatusSuccess;
}

Dword verifyEcdsaP256Sha256(const P256PublicPoint& publicKey, std::string_view data, const P256Signature& signature) {
  if (enterFails("verifyEcdsaP256Sha256",
                 "key=" + hexBytes(publicKey.data(), 8) + "... size=" + std::to_string(data.size()))) {
    return kStatusInvalidParameter;
  }
  if (libraryFailed("bcrypt.dll")) {
    return kStatusDllNotFound;
  }
  unsigned char spki[sizeof kSpkiPrefix + sizeof(P256PublicPoint)];
  std::copy(std::begin(kSpkiPrefix), std::end(kSpkiPrefix), spki);
  std::copy(publicKey.begin(), publicKey.end(), spki + sizeof kSpkiPrefix);
  const unsigned char* cursor = spki;
  PublicKey const key(d2i_PUBKEY(nullptr, &cursor, sizeof spki));
  if (!key) {
    return kStatusInvalidParameter;  // not a point of the curve: CNG refuses the import
  }

  // OpenSSL takes the DER form that CNG does not.
  Signature const pair(ECDSA_SIG_new());
  BIGNUM* r = BN_bin2bn(signature.data(), 32, nullptr);
  BIGNUM* s = BN_bin2bn(signature.data() + 32, 32, nullptr);
  if (!pair || r == nullptr || s == nullptr || ECDSA_SIG_set0(pair.get(), r, s) != 1) {
    BN_free(r);
    BN_free(s);
    return kStatusInvalidParameter;
  }
  unsigned char* der = nullptr;
  int const derSize = i2d_ECDSA_SIG(pair.get(), &der);
  if (derSize <= 0) {
    return kStatusInvalidParameter;
  }
  std::unique_ptr<unsigned char, OpenSslFree> const owned(der);

  DigestContext const context(EVP_MD_CTX_new());
  if (!context || EVP_DigestVerifyInit(context.get(), nullptr, EVP_sha256(), nullptr, key.get()) != 1) {
    return kStatusInvalidParameter;
  }
  int const verified = EVP_DigestVerify(context.get(), der, static_cast<std::size_t>(derSize),
                                        reinterpret_cast<const unsigned char*>(data.data()), data.size());
  return verified == 1 ? kStatusSuccess : kStatusInvalidSignature;
}

Dword verifyFileSignature(Handle file, const char16_t* path, Dword revocationChecks, std::string& signerCertificate) {
  signerCertificate.clear();
  if (enterFails("verifyFileSignature",
                 "file=" + handleText(file) + " " + text(path) + " revocation=" + std::to_string(revocationChecks))) {
    return GetLastError();
  }
  if (libraryFailed("wintrust.dll") || libraryFailed("crypt32.dll")) {
    return kModNotFoundResult;
  }
  HandleEntry const* const entry = lookupHandle(file, Kind::file);
  if (entry == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kErrorInvalidHandle;
  }
  OpenFileState const& open = machine().files.at(entry->object);
  FsNode const* const node = findNode(open.key);
  if (node == nullptr || !node->signature) {
    return kTrustENoSignature;
  }
  signerCertificate = node->signature->signerCertificate;
  return node->signature->trustResult;
}

}  // namespace platform
}  // namespace halcyra
