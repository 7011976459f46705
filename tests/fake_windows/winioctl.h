// winioctl lives in the fake windows.h alongside everything else.
#pragma once
#include <windows.h>
