// Restores the whole Win32 table of the library when it goes out of scope,
// so a test can replace entries with scripted fakes.
#pragma once

#include "../../comm/nrwin32.h"

namespace test_support {

class TWin32Guard {
public:
    TWin32Guard() : saved_(nr::Win32) {}
    ~TWin32Guard() { nr::Win32 = saved_; }
    TWin32Guard(const TWin32Guard&) = delete;
    TWin32Guard& operator=(const TWin32Guard&) = delete;

private:
    nr::TWin32Api saved_;
};

}  // namespace test_support
