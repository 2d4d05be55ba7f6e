#pragma once
// Why a configuration file was rejected, for the diagnostic's report. The service itself
// only reports that it was (config_file.h), so it does not link this.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace halcyra {

// Why a configuration file's bytes were rejected, in terms an administrator can act on.
struct ConfigTextProblem {
  // Where reading stopped, when it stopped at a place: the offset into the text as read
  // (CR LF counted as one line break), and its 1-based line and column.
  std::optional<std::size_t> offset;
  std::size_t line = 0;
  std::size_t column = 0;
  std::string reason;  // ASCII
};

// The reason the bytes of a configuration file (as read in text mode, zero bytes kept)
// are not an acceptable configuration: a byte-order mark or UTF-16 text named as such,
// else the JSON parser's error and where it occurred, else the first required member
// that is missing or of the wrong type. Meaningful only for bytes that fromJson rejects.
ConfigTextProblem explainConfigText(std::string_view bytes);

}  // namespace halcyra
