// The device simulator of the build folder (nrsim.exe) run on a COM port for
// a test, what it prints kept in a file; the destructor ends it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "tools/common/win_process.h"

namespace serial_test {

class TSimulator {
public:
    // nrsim --port Port, then Args. Ready once it says it is on the port.
    TSimulator(std::uint32_t Port, const std::wstring& Args);
    ~TSimulator();
    TSimulator(const TSimulator&) = delete;
    TSimulator& operator=(const TSimulator&) = delete;

    bool Ready() const { return ready_; }
    const std::string& Error() const { return error_; }
    // Everything it printed so far.
    std::string Output() const;
    // How often Text occurs in what it printed.
    int Count(const std::string& Text) const;
    // Waits until Text has been printed; false after Ms.
    bool WaitFor(const std::string& Text, DWORD Ms = 5000) const;

private:
    win_process::TChild child_;
    std::wstring log_;
    bool ready_ = false;
    std::string error_;
};

}  // namespace serial_test
