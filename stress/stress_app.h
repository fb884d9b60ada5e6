// The utility (Project2.exe) and the simulated module (nrsim) on a pty pair,
// driven from outside as a user would: the port picked in the port box,
// START pressed, the log pane read.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>

#include "stress_support.h"

namespace stress {

// What a press of START ends with in the log pane.
extern const wchar_t kSuccess[];
extern const wchar_t kWrongAck[];
extern const wchar_t kTimeout[];

class TUtilityRig {
public:
    TUtilityRig();
    ~TUtilityRig();
    TUtilityRig(const TUtilityRig&) = delete;
    TUtilityRig& operator=(const TUtilityRig&) = delete;

    // The module in Mode on the peer's end, the utility listing and picking
    // Port. A step that fails is reported as a missed figure.
    bool Start(std::uint32_t Port, std::uint32_t PeerPort, const std::wstring& Mode);
    // The module again, in Mode, on PeerPort (after a mode change or a replug).
    bool StartModule(std::uint32_t PeerPort, const std::wstring& Mode);
    // START, once the window takes input; true when the log's next outcome
    // line holds Expected. Otherwise What says what came instead.
    bool Press(const wchar_t* Expected, std::wstring& What);
    // Request frames the module has received since it started.
    int FramesReceived();
    // The user leaves with Exit; true when the program ended with exit code 0.
    bool Exit();

    HANDLE Process() const { return app_.Process(); }
    HWND Log() const { return log_; }

private:
    std::wstring dir_, moduleLog_;
    std::unique_ptr<TMapEntry> listed_;
    TChild module_, app_;
    HWND main_ = nullptr, log_ = nullptr, start_ = nullptr, clear_ = nullptr;
};

}  // namespace stress
