#pragma once
// The updater's publisher. Before the updater runs with the service's account, its
// Authenticode signature is verified and the certificate that made it is compared with
// the thumbprints of updaterSigners.

#include <string>
#include <string_view>

#include "config/updater_settings.h"
#include "platform/types.h"
#include "platform/unique_handle.h"

namespace halcyra {

struct UpdaterSignerCheck {
  bool checked = false;  // updaterSigners is configured
  bool allowed = true;   // the updater may start
  std::string reason;    // why it may not; empty when it may
  // The SHA-256 of the signer's certificate, lower-case hex; empty when none was found.
  std::string thumbprint;
  // The updater, open for reading and shared for reading only, from before the check until
  // it is closed after the updater's CreateProcess returned: nobody can change or replace
  // the file between the check and the start.
  platform::UniqueHandle file;
};

// Without updaterSigners: allowed, and nothing is opened. With it: the updater is opened
// as above and allowed only when WinVerifyTrust trusts its signature (no revocation check)
// and its signer's thumbprint is listed. Raises no error: one raised inside refuses.
UpdaterSignerCheck checkUpdaterSigner(const UpdaterSettings& settings) noexcept;

// A configured thumbprint in the form compared: 64 lower-case hex digits, with colons,
// spaces and tabs dropped and case ignored; empty when it is not one.
std::string normalizeThumbprint(std::u16string_view text);

}  // namespace halcyra
