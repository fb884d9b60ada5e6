// nrports: the machine's serial ports as the COM port component lists them.
// The program is a thin shell around Run, which the tests drive directly.
#pragma once

#include <string>
#include <vector>

namespace nrports {

// Exit codes.
enum : int {
    exListed = 0,       // ports listed
    exNoPorts = 1,      // the machine has no serial port (in the mode asked for)
    exBadArgument = 2,  // unknown option, missing or bad value
    exCannotOpen = 3,   // the port named cannot be opened
    exFailed = 4,       // the port list could not be read
    exNoDevice = 5,     // --pnp: no device answers on the port (DSR stays off)
    exNoIdentity = 6,   // --pnp: the device sent no identification string
    exNoWindow = 7,     // --pnp: no window for the port's events can be made (no display)
};

// What a device instance id tells of a USB device: vendor and product id
// (four hex digits each) and the device's serial number; empty where absent.
struct TUsbIdentity {
    std::wstring Vid, Pid, Serial;
};
TUsbIdentity ParseInstanceId(const std::wstring& InstanceId);

// Runs the program on Args (without the program name); what it prints goes
// to Out and Err. Returns the exit code.
int Run(const std::vector<std::wstring>& Args, std::wstring& Out, std::wstring& Err);

}  // namespace nrports
