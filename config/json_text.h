#pragma once
// The configuration's text in the form the JSON parser reads, and its strings back.
//
// The parser reads UTF-8; the configuration's text is UTF-16 code units that need not be
// valid UTF-16 (a file's bytes become one unit each). So every unit is written on its own
// as the one, two or three bytes of its UTF-8 form, a surrogate included: no unit is lost,
// none is merged with its neighbour, and every unit outside ASCII becomes bytes of 0x80 and
// above, which are never JSON syntax. The parser therefore accepts and rejects exactly the
// texts it would accept and reject read unit by unit, and stops at the same unit.

#include <string>
#include <string_view>

namespace halcyra {

// `text` up to its first U+0000, each unit in its UTF-8 form.
std::string jsonBytesOf(std::u16string_view text);

// The units of a string the parser read from jsonBytesOf's form: a unit written by
// jsonBytesOf gives that unit back, and the parser's own UTF-8 for a "\uXXXX" escape gives
// the escape's unit (a pair of escapes for a character above U+FFFF gives the pair).
std::u16string unitsOfJsonBytes(std::string_view bytes);

}  // namespace halcyra
