// Letter case as the host's command words and its own path comparisons
// fold it: ASCII letters only, so that no lookalike passes for a command.
#pragma once

#include <string>

inline wchar_t FoldAscii(wchar_t unit)
{
    return unit >= L'A' && unit <= L'Z' ? static_cast<wchar_t>(unit - L'A' + L'a') : unit;
}

// Equal once ASCII letters are folded. Paths that differ in other letters'
// case only (which Windows folds too) cost a second look, never a wrong one.
inline bool EqualFoldingAscii(const std::wstring& one, const std::wstring& other)
{
    if (one.size() != other.size()) {
        return false;
    }
    for (std::size_t i = 0; i < one.size(); ++i) {
        if (FoldAscii(one[i]) != FoldAscii(other[i])) {
            return false;
        }
    }
    return true;
}
