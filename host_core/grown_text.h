// Text that a Windows function writes into a buffer its caller sizes.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// `fill(buffer, size)` writes the text and returns its length when it fits,
// else the size it needs (terminator included) or, where the function
// cannot tell, `size` itself, for which the buffer is doubled; 0 when the
// function failed. Called again on a larger buffer until the text fits;
// empty when the function failed.
template <typename Fill> std::wstring GrownText(std::size_t size, Fill fill)
{
    std::wstring buffer(size, L'\0');
    for (;;) {
        const DWORD length = fill(&buffer[0], static_cast<DWORD>(buffer.size()));
        if (length < buffer.size()) {
            buffer.resize(length);
            return buffer;
        }
        buffer.assign(length > buffer.size() ? length : 2 * buffer.size(), L'\0');
    }
}
