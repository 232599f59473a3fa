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

}  // namespace cam
