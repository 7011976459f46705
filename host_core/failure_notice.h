// The host's few failure texts, told to whoever can see them.
#pragma once

// A box captioned "ERROR" when the process is not a service and its window
// station is visible. Otherwise nothing blocks: the text goes, without
// waiting, to the console session's user, to a debugger, and to standard
// error when the process was given one. True when the box was shown.
bool ShowFailure(const wchar_t* text);

// Whether a user may see this process's windows: not on a window station
// nobody sees (a service's, or the one a deployment tool or scheduled task
// runs in), where a box waits for an answer that never comes, nor in session
// 0, whose WinSta0 says it is visible although no user ever sees it.
bool WindowsCanBeSeen();
