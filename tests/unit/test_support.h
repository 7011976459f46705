// Shared set-up for the unit tests: a fresh fake world around each test.
#pragma once

#include "fake_windows/fake_world.h"
#include "host_core/host_core.h"

#include <gtest/gtest.h>

#include <string>

class HostTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override { fake::Reset(); }

    // Derives the identity of a host at the given path, as WinMain would.
    static HostIdentity IdentityAt(const std::wstring& modulePath)
    {
        fake::SetModulePath(modulePath);
        HostIdentity identity;
        DeriveHostIdentity(identity);
        return identity;
    }
};

// UTF-16 units written out, so that surrogate pairs survive a 32-bit wchar_t.
inline std::wstring Units(std::initializer_list<unsigned> units)
{
    std::wstring text;
    for (unsigned unit : units) {
        text += static_cast<wchar_t>(unit);
    }
    return text;
}
