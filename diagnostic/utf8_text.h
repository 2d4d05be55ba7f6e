#pragma once
// Text for people and scripts: what the configuration holds (UTF-16, possibly with lone
// surrogates) and what the check reports (one byte per unit) as valid UTF-8.

#include "platform/text_mode.h"

namespace halcyra {

using platform::utf8FromLatin1;
using platform::utf8FromUtf16;

}  // namespace halcyra
