#pragma once
// The publisher of a program the service starts with its own account. Before the updater
// or the server runs, its Authenticode signature is verified and the certificate that made
// it is compared with the thumbprints of updaterSigners or serverSigners. Both programs go
// through the same check.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/updater_settings.h"
#include "platform/types.h"
#include "platform/unique_handle.h"

namespace halcyra {

struct SignerCheck {
  bool checked = false;  // the program's list of signers is configured
  bool allowed = true;   // the program may start
  std::string reason;    // why it may not; empty when it may
  // The SHA-256 of the signer's certificate, lower-case hex; empty when none was found.
  std::string thumbprint;
  // The program, open for reading and shared for reading only, from before the check until
  // it is closed after the program's CreateProcess returned: nobody can change, rename or
  // delete the file between the check and the start.
  platform::UniqueHandle file;
};

// The launch decision's name for the check.
using UpdaterSignerCheck = SignerCheck;

// Without a list (`signers` none): allowed, and nothing is opened. With one: the program at
// `path` is opened as above and allowed only when WinVerifyTrust trusts its signature (no
// revocation check, no network) and its signer's thumbprint is listed; `listName` names
// the list in the reason. Raises no error: one raised inside refuses.
SignerCheck checkProgramSigner(const std::u16string& path, const std::optional<std::vector<std::u16string>>& signers,
                               std::string_view listName) noexcept;

// The SHA-256 of `bytes` in lower-case hex, the form thumbprints are compared and shown
// in; none when the platform cannot compute it.
std::optional<std::string> sha256Hex(std::string_view bytes);

// The updater (updaterPath) against updaterSigners.
SignerCheck checkUpdaterSigner(const UpdaterSettings& settings) noexcept;
// The server, `serverPath` (as the launch names it), against serverSigners.
SignerCheck checkServerSigner(const UpdaterSettings& settings, const std::u16string& serverPath) noexcept;

}  // namespace halcyra
