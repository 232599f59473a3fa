// Playing a recording back in the viewer window: what `tarvik --play PATH`
// opens.
#pragma once

#include <string>

// Opens the recording at path in the viewer window and runs until the window
// closes; the exit status.
int PlayInWindow(const std::string& path);
