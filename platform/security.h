#pragma once
// Security of files and of the running process (advapi32): an object's owner and access
// list, the account behind a SID, the process's own user and its group membership; and
// where the process loads DLLs from (kernel32).
//
// SIDs, ACLs and ACEs are Windows' own binary structures, reached through opaque
// pointers into the memory of the call that produced them: a security descriptor from
// GetNamedSecurityInfoW lives until LocalFree, the TOKEN_USER of GetTokenInformation lives
// in the caller's buffer.

#include <cstdint>

#include "platform/types.h"

namespace halcyra::platform {

// SE_OBJECT_TYPE and SECURITY_INFORMATION.
inline constexpr int kSeFileObject = 1;
inline constexpr Dword kOwnerSecurityInformation = 0x1;
inline constexpr Dword kDaclSecurityInformation = 0x4;

inline constexpr Dword kErrorNoneMapped = 1332;

// Well-known SIDs in their text form (ConvertSidToStringSidW).
inline constexpr char16_t kSidLocalSystem[] = u"S-1-5-18";
inline constexpr char16_t kSidAdministrators[] = u"S-1-5-32-544";
inline constexpr char16_t kSidUsers[] = u"S-1-5-32-545";
inline constexpr char16_t kSidEveryone[] = u"S-1-1-0";
inline constexpr char16_t kSidAuthenticatedUsers[] = u"S-1-5-11";
inline constexpr char16_t kSidCreatorOwner[] = u"S-1-3-0";
inline constexpr char16_t kSidOwnerRights[] = u"S-1-3-4";
inline constexpr char16_t kSidTrustedInstaller[] = u"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

// The owner (and the other parts asked for) of an open object; like GetNamedSecurityInfoW
// otherwise. A handle opened without following links gives the link's own owner.
Dword GetSecurityInfo(Handle object, int objectType, Dword securityInformation, void** owner, void** group, void** dacl,
                      void** sacl, void** descriptor);

// WELL_KNOWN_SID_TYPE values, and SIDs compared.
inline constexpr int kWinLocalSystemSid = 22;
inline constexpr int kWinBuiltinAdministratorsSid = 26;
Bool IsWellKnownSid(void* sid, int wellKnownSidType);
Bool EqualSid(void* first, void* second);

// The owner and DACL of the file or folder `name` (links followed). Returns 0 or a Windows
// error code (it does not set the last error). `owner`, `group`, `dacl` and `sacl` point into
// *descriptor, which the caller frees with LocalFree. A null DACL means a NULL DACL: full
// access for everyone.
Dword GetNamedSecurityInfoW(const char16_t* name, int objectType, Dword securityInfo, void** owner, void** group,
                            void** dacl, void** sacl, void** descriptor);

// ACL_SIZE_INFORMATION, the AclSizeInformation class of GetAclInformation.
struct AclSizeInformation {
  Dword AceCount;
  Dword AclBytesInUse;
  Dword AclBytesFree;
};
inline constexpr int kAclSizeInformation = 2;
Bool GetAclInformation(void* acl, void* information, Dword length, int informationClass);

// ACE_HEADER and the common layout of ACCESS_ALLOWED_ACE and ACCESS_DENIED_ACE: the SID
// starts at SidStart.
struct AceHeader {
  std::uint8_t AceType;
  std::uint8_t AceFlags;
  std::uint16_t AceSize;
};
struct AccessAce {
  AceHeader Header;
  Dword Mask;
  Dword SidStart;
};
inline constexpr std::uint8_t kAccessAllowedAceType = 0;
inline constexpr std::uint8_t kAccessDeniedAceType = 1;
// Object entries (ACCESS_ALLOWED_OBJECT_ACE) put a flags word and up to two GUIDs before
// the SID; callback entries (ACCESS_ALLOWED_CALLBACK_ACE) keep the plain layout and add
// application data after it.
inline constexpr std::uint8_t kAccessAllowedObjectAceType = 5;
inline constexpr std::uint8_t kAccessDeniedObjectAceType = 6;
inline constexpr std::uint8_t kAccessAllowedCallbackAceType = 9;
inline constexpr std::uint8_t kAccessDeniedCallbackAceType = 10;
inline constexpr std::uint8_t kAccessAllowedCallbackObjectAceType = 11;
inline constexpr std::uint8_t kAccessDeniedCallbackObjectAceType = 12;
inline constexpr Dword kAceObjectTypePresent = 0x1;
inline constexpr Dword kAceInheritedObjectTypePresent = 0x2;
inline constexpr std::uint8_t kInheritOnlyAce = 0x8;
// A pointer to the ACE at `index` of `acl`, inside the ACL.
Bool GetAce(void* acl, Dword index, void** ace);

// SID_NAME_USE is written to `use`. The sizes are in characters: in, the buffers' sizes;
// out, the lengths written, or the sizes needed (with ERROR_INSUFFICIENT_BUFFER).
// ERROR_NONE_MAPPED when no account has the SID.
Bool LookupAccountSidW(const char16_t* systemName, void* sid, char16_t* name, Dword* nameSize, char16_t* domainName,
                       Dword* domainSize, int* use);

// TOKEN_USER (a SID_AND_ATTRIBUTES), the TokenUser class of GetTokenInformation; the SID
// it points to lies in the same buffer.
struct TokenUser {
  void* Sid;
  Dword Attributes;
};
inline constexpr int kTokenUser = 1;
inline constexpr Dword kTokenQuery = 0x8;
// GetCurrentProcessToken(): the pseudo-handle of the process's own token, for queries; it
// needs neither OpenProcessToken nor CloseHandle.
inline Handle const kCurrentProcessToken = reinterpret_cast<Handle>(~std::uintptr_t{3});
Bool GetTokenInformation(Handle token, int informationClass, void* information, Dword length, Dword* returnLength);
// Whether `sid` is enabled in `token` (null: the caller's own token).
Bool CheckTokenMembership(Handle token, void* sid, Bool* isMember);

// DLLs the process loads by name from now on come only from System32, never from the
// application's folder or the current directory.
inline constexpr Dword kLoadLibrarySearchSystem32 = 0x800;
Bool SetDefaultDllDirectories(Dword directoryFlags);

// crypt32, bcrypt and wintrust are loaded on their first use, from System32 only. One that
// cannot be loaded, or that lacks a function the process calls, does not end the process:
// each of its functions then fails as that function reports failures (FALSE or null with
// ERROR_MOD_NOT_FOUND, an NTSTATUS or a WinVerifyTrust result other than success), so
// every check that needs it is refused. The first such failure of the process: the DLL's
// name (static text) and the error of the load, or ERROR_PROC_NOT_FOUND; a null name when
// there was none.
inline constexpr Dword kErrorModNotFound = 126;
inline constexpr Dword kErrorProcNotFound = 127;
struct LibraryFailure {
  const char* dll = nullptr;
  Dword error = 0;
};
LibraryFailure firstLibraryFailure();

}  // namespace halcyra::platform
