// The host's few failure texts, told to whoever can see them.
#pragma once

// A box captioned "ERROR" when the process is not a service and its window
// station is visible. Otherwise nothing blocks: the text goes, without
// waiting, to the console session's user, to a debugger, and to standard
// error when the process was given one. True when the box was shown.
bool ShowFailure(const wchar_t* text);
