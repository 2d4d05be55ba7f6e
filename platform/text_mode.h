#pragma once
// The C runtime's text-mode reading on Windows, as a pure function so that every
// platform reads configuration files the same way: each CR LF pair becomes LF, a lone
// CR stays, and the first byte 0x1A ends the content.

#include <string>
#include <string_view>

namespace halcyra::platform {

std::string applyTextMode(std::string_view bytes);

}  // namespace halcyra::platform
