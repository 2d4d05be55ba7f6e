#pragma once
// The trust boundary of the installation. The service runs as LocalSystem and starts
// HalcyraServer.exe and the updater that config.json names, so whoever can replace,
// rename, re-point or re-permission any of them, or any folder above them up to the root
// of the volume, can run code as SYSTEM; and whoever can read config.json has the update
// server's password. Only SYSTEM, the Administrators and TrustedInstaller may (and the
// account the check runs as, when it is an administrator: see platform/accounts.h).
//
// What counts, for each folder and file on such a path: an untrusted owner (who may
// always rewrite the access list, unless OWNER RIGHTS entries limit it); change-permissions
// or take-ownership; delete on it, or delete-child on the folder that holds it; write or
// append on a file; adding files to the folder that holds an executable (a DLL planted
// beside it is loaded by it) or the configuration; creating whatever is missing of the
// path. Creating sub-folders in a folder above is harmless. A reparse point (a junction, a
// volume mounted in a folder) counts with its own owner and access list, read without
// following it, and whoever may change it re-points the path; what it leads to counts as
// any folder. Allow entries of every type grant, whatever their condition; only plain deny
// entries take rights away.

#include <string>
#include <vector>

#include "config/updater_settings.h"
#include "platform/types.h"

namespace halcyra {

struct UntrustedAccess {
  std::vector<std::u16string> writers;  // "DOMAIN\name", or the SID's text
  std::vector<std::u16string> readers;  // of the configuration only
};

// What the check found about one folder or file of a path.
struct TrustFinding {
  std::u16string path;
  UntrustedAccess access;
  platform::Dword error = 0;  // its security could not be read (other than: it does not exist)
  bool reparsePoint = false;
};

// Checks the paths of the server, bin\HalcyraService.exe, config.json, the updater and
// tempFolder that the configuration names (relative to the current directory, which both
// programs make the install root), and what the install root, bin, resources,
// resources\updater, the updater's folder and tempFolder hold (one level, at most 1,000
// entries each, each read as itself). Only what is open, or whose security could not be
// read, is returned, each object once: the paths from the root down, then those entries.
std::vector<TrustFinding> checkTrustBoundary();

// Whether the updater of `settings` may start as far as its path goes: open when an
// untrusted account can change config.json, the updater, a folder above them or anything
// in the updater's folder (a DLL there is loaded by the updater), or when
// their security cannot be read; `what` names each such object, separated by "; " (it
// goes on one line of the diagnostic).
struct UpdaterPathVerdict {
  bool open = false;
  std::u16string what;
};
UpdaterPathVerdict checkUpdaterPath(const UpdaterSettings& settings);

// One line per finding, e.g. "C:\Halcyra\bin: writable by BUILTIN\Users".
std::u16string describeFinding(const TrustFinding& finding);

// The service's start-up check: a warning event when the boundary is open.
void warnIfTrustBoundaryOpen() noexcept;

}  // namespace halcyra
