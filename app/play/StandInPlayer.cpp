// Stands in for the viewer's playback until it is part of this build: says
// so, with the commands that already work without a window.
#include "app/viewer/Player.h"

#include "app/Failures.h"

#include <cstdio>

int PlayInWindow(const std::string&)
{
    std::fputs("tarvik: --play opens no window in this build yet; --play PATH --range A-B --record OUT and "
               "--play PATH --frame N --grab FILE work without one\n",
               stderr);
    return kExitNoDisplay;
}
