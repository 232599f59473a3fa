// Text the camera library shares with the programs that use it: strings made
// safe for one-line messages.
#pragma once

#include <string>
#include <string_view>

namespace cam {

// text in double quotes, with quotes, backslashes and control characters
// escaped, so that whatever a camera, a file or the environment holds cannot
// break a one-line message.
std::string Quoted(std::string_view text);

// text as it is when it is safe on one line of a message or of tab-separated
// output (no control characters, quotes or backslashes, not empty), else Quoted.
std::string OneLine(std::string_view text);

}  // namespace cam
