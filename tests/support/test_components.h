// Small components for tests of the I/O layer: a memory log sink and a
// medium whose handle is a real Win32 event.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "../../comm/nrclasses.h"

namespace testing_io {

using namespace nr;

// A log sink that keeps formatted lines.
class TMemoryLog : public TnrCustomLogFile {
public:
    using TnrCustomLogFile::TnrCustomLogFile;
    std::vector<std::wstring> Lines;
    int SysInfo = 0;
    void Save() override {}
    void Clear() override { Lines.clear(); }
    void Add(const std::wstring& s) override { Lines.push_back(s); }
    void AddSysInfo() override { ++SysInfo; }
    void AddLog(TDetailLevel, const std::wstring& s) override { Lines.push_back(s); }
    void AddFmt(const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args) override {
        Lines.push_back(fw::Format(Fmt, Args));
    }
    void AddLogFmt(TDetailLevel, const std::wstring& Fmt, std::initializer_list<fw::TVarRec> Args) override {
        Lines.push_back(fw::Format(Fmt, Args));
    }
};

// A medium whose handle is a real Win32 event; it reports open and close to
// its listeners the way a real medium does.
class TTestIO : public TnrBaseIO {
public:
    explicit TTestIO(TComponent* owner) : TnrBaseIO(owner) {}
    ~TTestIO() override { Close(); }

    std::vector<std::wstring>* Trace = nullptr;
    bool FailOpen = false;
    int OpenCalls = 0;
    int Loads = 0;
    std::vector<std::int32_t> ScriptedData;
    std::atomic<int> ThreadRuns{0};
    std::atomic<bool> ThreadLoops{false};

    HANDLE OpenHandle() override {
        ++OpenCalls;
        Note(L"OpenHandle");
        if (FailOpen) return INVALID_HANDLE_VALUE;
        return CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void ReleaseHandle(HANDLE h) override {
        Note(L"ReleaseHandle");
        TnrBaseIO::ReleaseHandle(h);
    }
    void Open() override {
        TnrBaseIO::Open();
        if (IsOpen()) DoNotify(ncMediumOpened);
    }
    void Close() override {
        bool was = IsOpen();
        TnrBaseIO::Close();
        if (was) DoNotify(ncMediumClosed);
    }
    std::int32_t GetDeviceIndex() override { return -1; }
    void DeviceListLoad() override {
        ++Loads;
        for (auto d : ScriptedData) {
            auto* dev = new TnrDevice;
            dev->Data = d;
            dev->NameFriendly = L"D" + std::to_wstring(d);
            if (AddDeviceSorted(dev) < 0) delete dev;
        }
    }
    void ThreadIOExecute(TnrThreadIO* t) override {
        ++ThreadRuns;
        while (ThreadLoops && !t->Terminated()) Sleep(1);
    }
    void SendChar(wchar_t) override {}
    void SendString(const std::string&) override {}
    void SendData(const void*, std::uint32_t) override {}
    void ClearDeviceInput() override {}
    void ClearDeviceOutput() override {}
    void ClearDeviceBuffers() override {}

    using TnrBaseIO::fActive;
    using TnrBaseIO::fTerminal;
    using TnrBaseIO::hTerminal;
    using TnrBaseIO::isThreaded;

    void Note(const std::wstring& s) {
        if (Trace) Trace->push_back(s);
    }
    void Listener(TObject*, std::int32_t code) { Note(L"notify " + std::to_wstring(code)); }
    void OpenEvent(TObject*) { Note(L"OnOpen"); }
    void CloseEvent(TObject*) { Note(L"OnClose"); }
};

}  // namespace testing_io
