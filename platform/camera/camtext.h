// Text the camera library shares with the programs that use it: strings made
// safe for one-line messages.
#pragma once

#include <string>
#include <string_view>

namespace cam {

// text with quotes, backslashes, control characters and bytes that are not
// UTF-8 escaped (\", \\, \x1b), and characters a terminal does not show as
// themselves (no-break and zero-width spaces, byte-order marks, direction
// and line separators) as \u200b, so that whatever a camera, a file, a
// command line or the environment holds cannot break or disguise a
// one-line message.
std::string Escaped(std::string_view text);
// Escaped text in double quotes.
std::string Quoted(std::string_view text);

// text as it is when it is safe on one line of a message or of tab-separated
// output (nothing Escaped would change, not empty), else Quoted.
std::string OneLine(std::string_view text);
// A value echoed in a message: OneLine, quoted too when it starts or ends
// with a space, and text longer than a message line holds cut after its
// first 60 bytes (at a character's start): "aaa… (1048576 bytes)".
// quoted: always in quotes, as a whole line of a file is shown.
std::string Echoed(std::string_view text, bool quoted = false);

// text with each byte that is not part of well-formed UTF-8 replaced by
// U+FFFD, for formats that must be UTF-8 and do their own escaping.
std::string ValidUtf8(std::string_view text);

}  // namespace cam
