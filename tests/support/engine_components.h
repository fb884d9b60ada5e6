// Components for tests and benchmarks of the port engine: an engine that
// opens a COM port by number, the COM port component opened up, a recorder of
// fatal errors, monitor controls with and without a published "Checked", and
// helpers to wait while the user-interface thread keeps running.
#pragma once

#include <windows.h>

#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../../comm/nrcomm.h"
#include "../../framework/forms.h"

namespace serial_test {

// The engine with the smallest descendant: port by number, "COMn" as its name.
class TTestComm : public nr::TnrCustomComm {
public:
    explicit TTestComm(fw::TComponent* AOwner, std::uint32_t Port = 7) : TnrCustomComm(AOwner), PortNo(Port) {
        sLogPrefix = L"nrComm: ";
    }
    std::uint32_t PortNo;

    HANDLE OpenHandle() override { return nr::OpenComPort(PortNo); }
    std::wstring QueryComName() override { return nr::ComPortName(PortNo); }
    std::int32_t GetDeviceIndex() override { return -1; }
    void DeviceListLoad() override {}

    const COMMCONFIG& Config() const { return CommCfg; }
    COMMCONFIG& MutableConfig() { return CommCfg; }
    DWORD DcbFlags() const { return nr::DcbFlagWord(CommCfg.dcb); }
    void SetDcbFlags(DWORD f) { nr::SetDcbFlagWord(CommCfg.dcb, f); }
    std::uint32_t ReceiveBufferSize() const { return glBufferSize; }
    bool HasReceiveBuffer() const { return glBuffer != nullptr; }
    bool HasThreads() const { return MsgThread != nullptr && CommThread != nullptr; }
    // The worker threads of the current open, to wait for their end after a close.
    std::vector<std::shared_ptr<fw::TThreadControl>> Threads() const {
        std::vector<std::shared_ptr<fw::TThreadControl>> v;
        if (fMsgThreadControl) v.push_back(fMsgThreadControl);
        if (fCommThreadControl) v.push_back(fCommThreadControl);
        return v;
    }
};

// The COM port component as the utility uses it, with what a test looks at
// inside; it keeps the worker threads of every open, to wait for their end.
class TSerialComm : public nr::TnrComm {
public:
    using TnrComm::TnrComm;
    std::vector<std::shared_ptr<fw::TThreadControl>> Workers;
    bool ReceiveHeld() const { return fReceiveHeld; }
    std::string DcbBytes() const { return std::string(reinterpret_cast<const char*>(&CommCfg.dcb), sizeof(DCB)); }
    DWORD DcbFlags() const { return nr::DcbFlagWord(CommCfg.dcb); }
    void StartThreadIO() override {
        TnrComm::StartThreadIO();
        if (fMsgThreadControl) Workers.push_back(fMsgThreadControl);
        if (fCommThreadControl) Workers.push_back(fCommThreadControl);
    }
};

struct TFatalError {
    std::uint32_t Code, Detail;
    std::wstring Msg;
    bool operator==(const TFatalError&) const = default;
};

// What OnFatalError reported; the handler asks for the exception while Raise holds.
struct TFatalErrors : std::vector<TFatalError> {
    bool Raise = false;
    template <class C> void Watch(C& Component) {
        Component.OnFatalError = [this](fw::TObject*, std::uint32_t code, std::uint32_t detail, const std::wstring& msg,
                                        bool& raise) {
            push_back({code, detail, msg});
            raise = Raise;
        };
    }
};

// The message of the exception Fn throws; "(no exception)" when it throws none.
template <class F> std::wstring Thrown(F&& Fn) {
    try {
        Fn();
    } catch (const fw::Exception& e) {
        return e.Message();
    }
    return L"(no exception)";
}

// Whether the test runs on the null-modem cable (cmake/wine-run.sh puts it there).
inline bool OnCable() { return GetEnvironmentVariableW(L"NR_NULLMODEM_STATE", nullptr, 0) > 0; }

struct TStopwatch {
    DWORD Start = GetTickCount();
    DWORD Ms() const { return GetTickCount() - Start; }
};

// A control publishing a Boolean "Checked", as a check box does.
class TCheckMonitor : public fw::TComponent {
public:
    using TComponent::TComponent;
    bool Checked = false;
    int Writes = 0;
    std::vector<fw::TPropInfo> PublishedProperties() const override {
        return {{L"Checked",
                 [](const fw::TObject* o) -> std::int64_t { return static_cast<const TCheckMonitor*>(o)->Checked; },
                 [](fw::TObject* o, std::int64_t v) {
                     auto* m = static_cast<TCheckMonitor*>(o);
                     m->Checked = v != 0;
                     ++m->Writes;
                 }}};
    }
};

// A control without it: the engine leaves it alone.
class TPlainMonitor : public fw::TComponent {
public:
    using TComponent::TComponent;
    std::vector<fw::TPropInfo> PublishedProperties() const override {
        return {{L"Tag2", [](const fw::TObject*) -> std::int64_t { return 0; }, [](fw::TObject*, std::int64_t) {}}};
    }
};

// Runs the user-interface thread's messages (and Synchronize calls) until
// pred holds or ms have passed.
inline bool PumpUntil(const std::function<bool()>& pred, DWORD ms = 5000) {
    return fw::Application->ProcessMessagesUntil(pred, ms);
}

// Waits for worker threads to end, serving Synchronize meanwhile.
inline bool WaitThreads(const std::vector<std::shared_ptr<fw::TThreadControl>>& ts, DWORD ms = 5000) {
    for (auto& t : ts)
        if (!t->WaitFor(ms)) return false;
    return true;
}

}  // namespace serial_test
