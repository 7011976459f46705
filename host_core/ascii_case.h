// Letter case as the host's command words fold it: ASCII letters only, so
// that no lookalike passes for a command.
#pragma once

inline wchar_t FoldAscii(wchar_t unit)
{
    return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
}
