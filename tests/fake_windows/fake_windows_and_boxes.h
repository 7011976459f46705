// The fake's windows and boxes: what a user may see of the process, its
// session and window station, its message boxes and its standard error.
#pragma once

#include "fake_world.h"

#include <string>
#include <vector>

namespace fake {

struct WindowsPart {
    std::vector<Box> boxes;
    DWORD session = 1;
    bool stationVisible = true;
    DWORD consoleSession = 1;
    HANDLE standardHandles[3] = {};  // input, output, error
    bool standardErrorIsConsole = false;
    std::string standardErrorText;
};

}  // namespace fake
