// Numbers written out for event texts.
#pragma once

#include <string>

// A number in decimal digits. The C++ library's own conversion would bring
// a whole formatting library into the host.
std::wstring Decimal(unsigned long long number);
