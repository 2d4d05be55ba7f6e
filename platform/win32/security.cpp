#include "platform/security.h"

#include <cstddef>

#include "platform/win32/windows_types.h"
// After <windows.h>, which they need.
#include <aclapi.h>

namespace halcyra::platform {

static_assert(kSeFileObject == SE_FILE_OBJECT && kOwnerSecurityInformation == OWNER_SECURITY_INFORMATION &&
              kDaclSecurityInformation == DACL_SECURITY_INFORMATION && kErrorNoneMapped == ERROR_NONE_MAPPED);
static_assert(kAclSizeInformation == ::AclSizeInformation && kTokenUser == ::TokenUser);
static_assert(kAccessAllowedAceType == ACCESS_ALLOWED_ACE_TYPE && kAccessDeniedAceType == ACCESS_DENIED_ACE_TYPE &&
              kInheritOnlyAce == INHERIT_ONLY_ACE);
static_assert(kLoadLibrarySearchSystem32 == LOAD_LIBRARY_SEARCH_SYSTEM32);
static_assert(kWinLocalSystemSid == WinLocalSystemSid && kWinBuiltinAdministratorsSid == WinBuiltinAdministratorsSid);
static_assert(kTokenQuery == TOKEN_QUERY);
static_assert(sizeof(Handle) == sizeof(LONG_PTR));

static_assert(sizeof(ACL_SIZE_INFORMATION) == sizeof(platform::AclSizeInformation));
static_assert(offsetof(ACL_SIZE_INFORMATION, AceCount) == offsetof(platform::AclSizeInformation, AceCount));
static_assert(sizeof(ACE_HEADER) == sizeof(AceHeader));
static_assert(offsetof(ACE_HEADER, AceFlags) == offsetof(AceHeader, AceFlags));
static_assert(offsetof(ACE_HEADER, AceSize) == offsetof(AceHeader, AceSize));
static_assert(sizeof(ACCESS_ALLOWED_ACE) == sizeof(AccessAce) && sizeof(ACCESS_DENIED_ACE) == sizeof(AccessAce));
static_assert(offsetof(ACCESS_ALLOWED_ACE, Mask) == offsetof(AccessAce, Mask) &&
              offsetof(ACCESS_DENIED_ACE, Mask) == offsetof(AccessAce, Mask));
static_assert(offsetof(ACCESS_ALLOWED_ACE, SidStart) == offsetof(AccessAce, SidStart) &&
              offsetof(ACCESS_DENIED_ACE, SidStart) == offsetof(AccessAce, SidStart));
static_assert(sizeof(TOKEN_USER) == sizeof(platform::TokenUser));
static_assert(offsetof(TOKEN_USER, User.Sid) == offsetof(platform::TokenUser, Sid));
static_assert(offsetof(TOKEN_USER, User.Attributes) == offsetof(platform::TokenUser, Attributes));

namespace {
DWORD* dwords(Dword* value) { return reinterpret_cast<DWORD*>(value); }
}  // namespace

Dword GetNamedSecurityInfoW(const char16_t* name, int objectType, Dword securityInfo, void** owner, void** group,
                            void** dacl, void** sacl, void** descriptor) {
  return ::GetNamedSecurityInfoW(win32::wide(name), static_cast<SE_OBJECT_TYPE>(objectType), securityInfo,
                                 reinterpret_cast<PSID*>(owner), reinterpret_cast<PSID*>(group),
                                 reinterpret_cast<PACL*>(dacl), reinterpret_cast<PACL*>(sacl), descriptor);
}

Bool GetAclInformation(void* acl, void* information, Dword length, int informationClass) {
  return ::GetAclInformation(static_cast<PACL>(acl), information, length,
                             static_cast<ACL_INFORMATION_CLASS>(informationClass));
}

Bool GetAce(void* acl, Dword index, void** ace) { return ::GetAce(static_cast<PACL>(acl), index, ace); }

Bool LookupAccountSidW(const char16_t* systemName, void* sid, char16_t* name, Dword* nameSize, char16_t* domainName,
                       Dword* domainSize, int* use) {
  SID_NAME_USE nameUse{};
  const Bool result = ::LookupAccountSidW(win32::wide(systemName), static_cast<PSID>(sid), win32::wide(name),
                                          dwords(nameSize), win32::wide(domainName), dwords(domainSize), &nameUse);
  *use = static_cast<int>(nameUse);
  return result;
}

Bool GetTokenInformation(Handle token, int informationClass, void* information, Dword length, Dword* returnLength) {
  return ::GetTokenInformation(token, static_cast<TOKEN_INFORMATION_CLASS>(informationClass), information, length,
                               dwords(returnLength));
}

Bool CheckTokenMembership(Handle token, void* sid, Bool* isMember) {
  return ::CheckTokenMembership(token, static_cast<PSID>(sid), isMember);
}

Bool SetDefaultDllDirectories(Dword directoryFlags) { return ::SetDefaultDllDirectories(directoryFlags); }

Dword GetSecurityInfo(Handle object, int objectType, Dword securityInformation, void** owner, void** group, void** dacl,
                      void** sacl, void** descriptor) {
  return ::GetSecurityInfo(object, static_cast<SE_OBJECT_TYPE>(objectType), securityInformation,
                           reinterpret_cast<PSID*>(owner), reinterpret_cast<PSID*>(group),
                           reinterpret_cast<PACL*>(dacl), reinterpret_cast<PACL*>(sacl), descriptor);
}

Bool IsWellKnownSid(void* sid, int wellKnownSidType) {
  return ::IsWellKnownSid(sid, static_cast<WELL_KNOWN_SID_TYPE>(wellKnownSidType));
}

Bool EqualSid(void* first, void* second) { return ::EqualSid(first, second); }

}  // namespace halcyra::platform
