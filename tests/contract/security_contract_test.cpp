// The security of files, the signatures of release manifests and the Authenticode
// signatures of programs, the same on the simulated machine and on Windows.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <string>
#include <tuple>
#include <vector>

#include "platform/authenticode.h"
#include "platform/file_removal.h"
#include "platform/files.h"
#include "platform/security.h"
#include "platform/signature.h"
#include "tests/contract/backend_gaps.h"
#include "tests/contract/world.h"

namespace halcyra::contract {
namespace {

using namespace platform;

// The descriptor the service's log is created with.
constexpr char16_t kOwnersOnly[] = u"D:P(A;;FA;;;SY)(A;;FA;;;BA)";
constexpr Dword kFileAllAccess = 0x1F01FF;

// An object's security through its name (GetNamedSecurityInfoW) or an open handle
// (GetSecurityInfo): the error, and the bytes of the owner's SID and of each access entry.
struct Security {
  Dword error = 0;
  std::string owner;
  std::vector<std::string> dacl;
  bool operator==(const Security&) const = default;
};

Security read(const std::u16string& path, bool throughHandle = false) {
  constexpr Dword kWanted = kOwnerSecurityInformation | kDaclSecurityInformation;
  void *owner = nullptr, *dacl = nullptr, *descriptor = nullptr;
  Handle const file = throughHandle ? CreateFileW(path.c_str(), kReadControl, kFileShareRead | kFileShareWrite, nullptr,
                                                  kOpenExisting, 0, nullptr)
                                    : kInvalidHandle;
  Security security{
      throughHandle
          ? GetSecurityInfo(file, kSeFileObject, kWanted, &owner, nullptr, &dacl, nullptr, &descriptor)
          : GetNamedSecurityInfoW(path.c_str(), kSeFileObject, kWanted, &owner, nullptr, &dacl, nullptr, &descriptor),
      {},
      {}};
  if (throughHandle) CloseHandle(file);
  if (security.error != kErrorSuccess) return security;
  security.owner.assign(static_cast<const char*>(owner), 8 + std::size_t{4} * static_cast<unsigned char*>(owner)[1]);
  AclSizeInformation size{};
  if (dacl != nullptr) GetAclInformation(dacl, &size, sizeof size, kAclSizeInformation);
  for (Dword index = 0; index < size.AceCount; ++index) {
    void* ace = nullptr;
    GetAce(dacl, index, &ace);
    security.dacl.emplace_back(static_cast<const char*>(ace), static_cast<AceHeader*>(ace)->AceSize);
  }
  LocalFree(descriptor);
  return security;
}

// Creates a file, with the descriptor of `sddl` when there is one.
void create(const std::u16string& path, const char16_t* sddl) {
  SecurityAttributes attributes{sizeof attributes, nullptr, kFalse};
  ASSERT_TRUE(sddl == nullptr || ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                     sddl, kSddlRevision1, &attributes.lpSecurityDescriptor, nullptr));
  Handle const file = CreateFileW(path.c_str(), kGenericWrite, kFileShareRead, sddl == nullptr ? nullptr : &attributes,
                                  kCreateNew, 0, nullptr);
  EXPECT_NE(file, kInvalidHandle);
  CloseHandle(file);
  LocalFree(attributes.lpSecurityDescriptor);
}

// One record per file: set at creation, the same through every name and handle, and gone
// with the file's last name.
TEST(FileSecurity, IsSetAtCreationSharedByLinksAndGoesWithTheFile) {
  resetWorld();
  std::u16string const folder = scratchFolder(u"security");
  std::u16string const plain = folder + u"\\plain.txt", locked = folder + u"\\locked.txt",
                       link = folder + u"\\link.txt";
  create(plain, nullptr);
  create(locked, kOwnersOnly);
  addHardLink(link, locked);

  Security const created = read(plain);
  ASSERT_EQ(created.error, kErrorSuccess);
  EXPECT_EQ(read(plain, true), created);
  alignas(TokenUser) unsigned char user[128];
  Dword length = 0;
  ASSERT_TRUE(GetTokenInformation(kCurrentProcessToken, kTokenUser, user, sizeof user, &length));
  EXPECT_TRUE(EqualSid(const_cast<char*>(created.owner.data()), reinterpret_cast<TokenUser*>(user)->Sid))
      << "owned by its creator";

  Security const ownersOnly = read(locked);
  EXPECT_EQ(read(locked, true), ownersOnly);
  EXPECT_EQ(read(link), ownersOnly);
  if (runsHere(kWineDaclFromModeBits)) {
    ASSERT_EQ(ownersOnly.dacl.size(), 2u);
    int const kinds[] = {kWinLocalSystemSid, kWinBuiltinAdministratorsSid};
    for (std::size_t i = 0; i < 2; ++i) {
      std::string entry = ownersOnly.dacl[i];
      AccessAce ace{};
      std::copy_n(entry.data(), offsetof(AccessAce, SidStart), reinterpret_cast<char*>(&ace));
      EXPECT_EQ(std::tuple(ace.Header.AceType, ace.Header.AceFlags, ace.Mask),
                std::tuple(kAccessAllowedAceType, std::uint8_t{0}, kFileAllAccess));
      EXPECT_TRUE(IsWellKnownSid(entry.data() + offsetof(AccessAce, SidStart), kinds[i]));
    }
  }

  // The first name goes; the file lives on under its other name with its record, and a new
  // file under the old name gets a record of its own.
  ASSERT_TRUE(deleteWithoutFollowingLinks(locked.c_str()));
  EXPECT_EQ(read(locked).error, kErrorFileNotFound);
  EXPECT_EQ(read(link), ownersOnly);
  create(locked, nullptr);
  EXPECT_EQ(read(locked), created);
  EXPECT_NE(read(locked), ownersOnly);
}

// The bytes of hexadecimal text.
template <std::size_t N>
std::array<std::uint8_t, N> bytes(std::string_view hex, std::array<std::uint8_t, N> out = {}) {
  for (std::size_t i = 0; i < N; ++i)
    out[i] = static_cast<std::uint8_t>(std::stoul(std::string(hex, 2 * i, 2), {}, 16));
  return out;
}

// A manifest's signature: SHA-256 and an ECDSA P-256 verification through CNG.
TEST(ManifestSignature, VerifiesOnlyTheSignedBytesUnderTheirKey) {
  Sha256Digest digest{};
  ASSERT_EQ(sha256("abc", digest), kStatusSuccess);
  EXPECT_EQ(digest, bytes<32>("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
  // openssl dgst -sha256 -sign over "manifest", as r || s.
  P256PublicPoint const kKey = bytes<64>(
      "23569dad96696db7a6a5d222cb5dae9f93447c717b08d8253a95c0ec69b8a6027747691c5c3239aeaf5bdd37bff2272feb2abe6fa342a55a"
      "369dcf79368b04d7");
  P256Signature const kSignature = bytes<64>(
      "0aeb3a9dc5c1ea73c659ddf31d828ff8f6191cd3faf9967d899f4f120dda397d00061d39f58eb104204754f1246bc44a99a5527e10e9c2ef"
      "e8889c2c8fce4c9f");
  P256Signature flipped = kSignature;
  flipped[40] ^= 0x01;
  P256PublicPoint offCurve = kKey;
  offCurve[63] ^= 0x01;
  struct {
    const char* name;
    const P256PublicPoint& key;
    std::string_view data;
    const P256Signature& signature;
    Dword status;
    const Gap* gap;
  } const cases[] = {
      {"signed", kKey, "manifest", kSignature, kStatusSuccess, nullptr},
      {"one bit of the signature flipped", kKey, "manifest", flipped, kStatusInvalidSignature, nullptr},
      {"other bytes", kKey, "manifest ", kSignature, kStatusInvalidSignature, nullptr},
      {"a key off the curve", offCurve, "manifest", kSignature, kStatusInvalidParameter, &kWineImportsAnyPoint},
  };
  for (auto const& c : cases) {
    if (c.gap != nullptr && !runsHere(*c.gap)) continue;
    SCOPED_TRACE(c.name);
    EXPECT_EQ(verifyEcdsaP256Sha256(c.key, c.data, c.signature), c.status);
  }
}

// WinVerifyTrust checks a program's image digest and names its signer, whatever the
// result; a self-signed publisher passes (the service pins its publishers itself).
TEST(Authenticode, ChecksTheDigestAndNamesTheSigner) {
  resetWorld();
  struct {
    SignedFixture fixture;
    Dword result;
    bool namesSigner;
    const Gap* signerGap;
  } const cases[] = {
      {SignedFixture::signedProgram, kErrorSuccess, true, nullptr},
      {SignedFixture::changedAfterSigning, kTrustEBadDigest, true, &kWineNoSignerAfterBadDigest},
      {SignedFixture::unsignedProgram, kTrustENoSignature, false, nullptr},
  };
  for (auto const& c : cases) {
    std::u16string const path = signedFixture(c.fixture);
    SCOPED_TRACE(narrow(path));
    Handle const file = CreateFileW(path.c_str(), kGenericRead, kFileShareRead, nullptr, kOpenExisting, 0, nullptr);
    ASSERT_NE(file, kInvalidHandle);
    std::string signer = "left over";
    EXPECT_EQ(verifyFileSignature(file, path.c_str(), kWtdRevokeNone, signer), c.result);
    if (c.signerGap == nullptr || runsHere(*c.signerGap)) {
      EXPECT_EQ(signer, c.namesSigner ? publisherCertificate() : "");
    }
    CloseHandle(file);
  }
}

}  // namespace
}  // namespace halcyra::contract
