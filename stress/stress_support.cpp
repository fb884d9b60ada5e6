#include "stress_support.h"

#include <atomic>

#include "stress.h"

// The pseudo-terminal pairs and the device simulator of the serial tests,
// compiled into this program.
#include "tests/support/pty_pair.cpp"
#include "tests/support/simulator.cpp"

namespace stress {

namespace {

const wchar_t kMapKey[] = L"HARDWARE\\DEVICEMAP\\SERIALCOMM";

}  // namespace

// ---- overlapped calls that went pending

namespace {

std::atomic<long long> gPendingWaits{0}, gPendingIo{0};
decltype(nr::Win32) gReal;

bool WentPending(BOOL ok) {
    const DWORD err = GetLastError();
    const bool pending = !ok && err == ERROR_IO_PENDING;
    if (pending) ++gPendingIo;
    SetLastError(err);
    return pending;
}

BOOL WINAPI CountingWaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ovl) {
    const BOOL ok = gReal.WaitCommEvent(h, mask, ovl);
    if (WentPending(ok)) ++gPendingWaits;
    return ok;
}

BOOL WINAPI CountingReadFile(HANDLE h, LPVOID b, DWORD n, LPDWORD got, LPOVERLAPPED ovl) {
    const BOOL ok = gReal.ReadFile(h, b, n, got, ovl);
    WentPending(ok);
    return ok;
}

BOOL WINAPI CountingWriteFile(HANDLE h, LPCVOID b, DWORD n, LPDWORD put, LPOVERLAPPED ovl) {
    const BOOL ok = gReal.WriteFile(h, b, n, put, ovl);
    WentPending(ok);
    return ok;
}

}  // namespace

TCountPendingWaits::TCountPendingWaits() : saved_(nr::Win32) {
    gReal = saved_;
    nr::Win32.WaitCommEvent = &CountingWaitCommEvent;
    nr::Win32.ReadFile = &CountingReadFile;
    nr::Win32.WriteFile = &CountingWriteFile;
}

TCountPendingWaits::~TCountPendingWaits() { nr::Win32 = saved_; }

long long PendingWaits() { return gPendingWaits.load(); }
long long PendingIo() { return gPendingIo.load(); }

double WineCostPerWait(std::uint32_t port, int waits) {
    const std::wstring name = L"\\\\?\\COM" + std::to_wstring(port);
    HANDLE h = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    if (h == INVALID_HANDLE_VALUE) return -1;
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto run = [&](int n) {
        int ended = 0;
        for (int i = 0; i < n; ++i) {
            SetCommMask(h, EV_RXCHAR);
            DWORD mask = 0, got = 0;
            o.Internal = o.InternalHigh = 0;
            if (WaitCommEvent(h, &mask, &o) || GetLastError() != ERROR_IO_PENDING) continue;
            SetCommMask(h, 0);
            if (WaitForSingleObject(o.hEvent, 2000) == WAIT_OBJECT_0) ++ended;
            GetOverlappedResult(h, &o, &got, FALSE);
        }
        return ended;
    };
    run(20);
    const TProcessUse u0 = ProcessUse();
    const int ended = run(waits);
    const TProcessUse u1 = ProcessUse();
    CloseHandle(o.hEvent);
    CloseHandle(h);
    return ended ? static_cast<double>(u1.HeapBytes - u0.HeapBytes) / ended : -1;
}

// ---- port component

TStressComm::TStressComm(fw::TComponent* AOwner) : nr::TnrComm(AOwner) {}

std::vector<std::shared_ptr<fw::TThreadControl>> TStressComm::Threads() const {
    std::vector<std::shared_ptr<fw::TThreadControl>> v;
    if (fMsgThreadControl) v.push_back(fMsgThreadControl);
    if (fCommThreadControl) v.push_back(fCommThreadControl);
    return v;
}

bool PairReady(const serial_test::TPtyPair& Pair, const char* For) {
    if (Pair.Ready()) return true;
    All((std::string("a pty pair for ") + For).c_str(), 0, 1);
    Detail("%s", Pair.Error().c_str());
    return false;
}

bool WaitThreadsEnd(const std::vector<std::shared_ptr<fw::TThreadControl>>& Threads, DWORD Ms) {
    const double until = NowMs() + Ms;
    for (const auto& t : Threads) {
        const double left = until - NowMs();
        if (left <= 0 || !t->WaitFor(static_cast<DWORD>(left))) return false;
    }
    return true;
}

void ExplainStall(const char* What, int At, TStressComm& Com) {
    const std::uint32_t queued = Com.Active() ? Com.ReadyForRead() : 0;
    if (queued)
        Detail("%s #%d: no event for 3 s, %u byte(s) wait in the driver's queue: the port stopped delivering", What,
               At + 1, queued);
    else
        Detail("%s #%d: no event for 3 s (port %s)", What, At + 1, Com.Active() ? "open" : "closed");
}

void UseUtilityLine(nr::TnrCustomComm& Com) {
    Com.SetBaudRate(57600);
    Com.SetByteSize(8);
    Com.SetParity(nr::pNone);
    Com.SetStopBits(nr::sbOne);
    Com.SetStreamProtocol(nr::spNone);
}

// ---- serial-port map

TMapEntry::TMapEntry(const std::wstring& ValueName, DWORD Type, const void* Data, DWORD Size) : name_(ValueName) {
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kMapKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_SET_VALUE, nullptr, &key_,
                        nullptr) != ERROR_SUCCESS) {
        key_ = nullptr;
        return;
    }
    ready_ = RegSetValueExW(key_, name_.c_str(), 0, Type, static_cast<const BYTE*>(Data), Size) == ERROR_SUCCESS;
}

TMapEntry::TMapEntry(const std::wstring& ValueName, const std::wstring& Port)
    : TMapEntry(ValueName, REG_SZ, Port.c_str(), static_cast<DWORD>((Port.size() + 1) * sizeof(wchar_t))) {}

TMapEntry::~TMapEntry() {
    if (!key_) return;
    RegDeleteValueW(key_, name_.c_str());
    RegCloseKey(key_);
}

void RemoveStaleMapEntries(const std::wstring& Prefix) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMapKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
    std::vector<std::wstring> stale;
    std::vector<wchar_t> name(32768);
    for (DWORD i = 0;; ++i) {
        DWORD len = static_cast<DWORD>(name.size());
        const LONG rc = RegEnumValueW(key, i, name.data(), &len, nullptr, nullptr, nullptr, nullptr);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS) continue;
        std::wstring n(name.data(), len);
        if (n.rfind(Prefix, 0) == 0) stale.push_back(n);
    }
    for (const auto& n : stale) RegDeleteValueW(key, n.c_str());
    RegCloseKey(key);
}

// ---- files

std::wstring TempPath(const std::wstring& Tag) {
    static int count = 0;
    wchar_t tmp[MAX_PATH];
    GetTempPathW(MAX_PATH, tmp);
    return std::wstring(tmp) + L"nrstress_" + Tag + L"_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::to_wstring(++count);
}

}  // namespace stress
