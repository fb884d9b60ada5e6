#include "fake_serial.h"

#include <algorithm>
#include <cstring>

#include "../../comm/nrcomm.h"

namespace serial_test {

namespace {

// One lock for the fake and the pointer to it, so a worker thread calling in
// while a test tears the fake down either sees it whole or not at all.
std::mutex gMu;
TFakeSerial* gFake = nullptr;

constexpr ULONG_PTR kPending = 0x103;  // STATUS_PENDING

std::string N(const char* what, unsigned long v) { return std::string(what) + " " + std::to_string(v); }

}  // namespace

// The replacement entries. Each takes the lock, checks that the handle is the
// fake port, and otherwise hands the call to the real API.
struct TFakeSerialApi {
    using L = std::unique_lock<std::mutex>;

    static TFakeSerial* Port(HANDLE h) { return (gFake && gFake->h_ && h == gFake->h_) ? gFake : nullptr; }

    static HANDLE WINAPI CreateFileW(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disp,
                                     DWORD flags, HANDLE tmpl) {
        {
            L g(gMu);
            if (gFake && name && std::wstring(name) == L"\\\\?\\" + nr::ComPortName(gFake->PortNo)) {
                TFakeSerial* f = gFake;
                if (f->h_) {
                    SetLastError(ERROR_ACCESS_DENIED);
                    return INVALID_HANDLE_VALUE;
                }
                f->h_ = f->lastH_ = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
                f->mask_ = f->events_ = f->failed_ = 0;
                f->vanished_ = false;
                f->waitMask_ = nullptr;
                f->waitOvl_ = nullptr;
                ++f->opens_;
                f->NoteLocked("Open");
                return f->h_;
            }
        }
        return ::CreateFileW(name, access, share, sa, disp, flags, tmpl);
    }

    static BOOL WINAPI CloseHandle(HANDLE h) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                if (f->waitOvl_ && !f->holdWait_) f->CompleteWaitLocked(0, FakeFailure(ERROR_OPERATION_ABORTED));
                for (auto& d : f->deferred_) {
                    d.Ovl->InternalHigh = 0;
                    d.Ovl->Internal = FakeFailure(ERROR_OPERATION_ABORTED);
                    ::SetEvent(d.Ovl->hEvent);
                }
                f->deferred_.clear();
                f->NoteLocked("Close");
                f->closed_.push_back(h);
                f->h_ = nullptr;
                return TRUE;
            }
            if (gFake && std::find(gFake->closed_.begin(), gFake->closed_.end(), h) != gFake->closed_.end()) {
                ++gFake->closedTwice_;
                SetLastError(ERROR_INVALID_HANDLE);
                return FALSE;
            }
        }
        return ::CloseHandle(h);
    }

    static BOOL WINAPI WriteFile(HANDLE h, LPCVOID data, DWORD n, LPDWORD written, LPOVERLAPPED ovl) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                if (written) *written = 0;
                DWORD err = f->failed_ ? ERROR_NOT_READY : f->failWrite_;
                if (err) {
                    f->failWrite_ = 0;
                    SetLastError(err);
                    return FALSE;
                }
                for (auto& d : f->deferred_)
                    if (d.Ovl == ovl) f->NoteLocked("Reused");  // restarted while still pending
                DWORD k = n;
                if (f->shortWrite_ >= 0) k = std::min<DWORD>(n, static_cast<DWORD>(f->shortWrite_));
                f->shortWrite_ = -1;
                if (f->deferWrites_) {
                    ovl->Internal = kPending;
                    ::ResetEvent(ovl->hEvent);
                    f->deferred_.push_back({data, k, ovl});
                    SetLastError(ERROR_IO_PENDING);
                    return FALSE;
                }
                f->output_.append(static_cast<const char*>(data), k);
                // Completes through the overlapped path, as a real port mostly does.
                ovl->InternalHigh = k;
                ovl->Internal = 0;
                ::SetEvent(ovl->hEvent);
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            }
        }
        return ::WriteFile(h, data, n, written, ovl);
    }

    static BOOL WINAPI ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED ovl) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                if (f->failed_) {
                    SetLastError(ERROR_BROKEN_PIPE);
                    return FALSE;
                }
                DWORD k = std::min<DWORD>(n, static_cast<DWORD>(f->input_.size()));
                auto* p = static_cast<std::uint8_t*>(buf);
                for (DWORD i = 0; i < k; ++i) {
                    p[i] = f->input_.front();
                    f->input_.pop_front();
                }
                f->readSizes_.push_back(k);
                if (read) *read = k;
                ovl->InternalHigh = k;
                ovl->Internal = 0;
                ::SetEvent(ovl->hEvent);
                return TRUE;
            }
        }
        return ::ReadFile(h, buf, n, read, ovl);
    }

    static BOOL WINAPI GetOverlappedResult(HANDLE h, LPOVERLAPPED ovl, LPDWORD n, BOOL wait) {
        bool fake;
        {
            L g(gMu);
            fake = gFake && h && h == gFake->lastH_;
        }
        if (!fake) return ::GetOverlappedResult(h, ovl, n, wait);
        if (ovl->Internal == kPending) {
            if (!wait) {
                SetLastError(ERROR_IO_INCOMPLETE);
                return FALSE;
            }
            ::WaitForSingleObject(ovl->hEvent, INFINITE);
        }
        if (n) *n = static_cast<DWORD>(ovl->InternalHigh);
        if (ovl->Internal == 0) return TRUE;
        SetLastError(static_cast<DWORD>(ovl->Internal & 0xFFFF));
        return FALSE;
    }

    static BOOL WINAPI WaitCommEvent(HANDLE h, LPDWORD mask, LPOVERLAPPED ovl) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                if (f->failed_) {
                    SetLastError(f->failed_);
                    return FALSE;
                }
                if (f->waitOvl_) {
                    SetLastError(ERROR_INVALID_PARAMETER);  // one wait at a time
                    return FALSE;
                }
                if (f->vanished_) {
                    // Ends at once without events, as Wine's waits on a dead pty do.
                    *mask = 0;
                    ovl->Internal = FakeFailure(ERROR_OPERATION_ABORTED);
                    ::SetEvent(ovl->hEvent);
                    SetLastError(ERROR_IO_PENDING);
                    return FALSE;
                }
                // As a driver does, the record's event is reset when the wait starts.
                if (ovl && ovl->hEvent) ::ResetEvent(ovl->hEvent);
                if (f->events_) {
                    *mask = f->events_;
                    f->events_ = 0;
                    return TRUE;
                }
                ovl->Internal = kPending;
                f->waitMask_ = mask;
                f->waitOvl_ = ovl;
                f->waitThread_ = ::GetCurrentThreadId();
                SetLastError(ERROR_IO_PENDING);
                return FALSE;
            }
        }
        return ::WaitCommEvent(h, mask, ovl);
    }

    static BOOL WINAPI CancelIo(HANDLE h) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                // Only the thread that started the wait can take it back.
                if (f->waitOvl_ && f->waitThread_ == ::GetCurrentThreadId()) {
                    f->NoteLocked("CancelIo");
                    f->CompleteWaitLocked(0, FakeFailure(ERROR_OPERATION_ABORTED));
                }
                return TRUE;
            }
        }
        return ::CancelIo(h);
    }

    static FARPROC WINAPI GetProcAddress(HMODULE m, LPCSTR name) {
        if (!IS_INTRESOURCE(name) && std::strcmp(name, "CancelIo") == 0)
            return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)()>(&TFakeSerialApi::CancelIo));
        return ::GetProcAddress(m, name);
    }

    static BOOL WINAPI SetCommMask(HANDLE h, DWORD m) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->NoteLocked(N("SetCommMask", m));
        f->mask_ = m;
        f->events_ &= m;
        if (f->waitOvl_ && !f->holdWait_) f->CompleteWaitLocked(0, 0);
        return TRUE;
    }

    static BOOL WINAPI GetCommMask(HANDLE h, LPDWORD m) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        *m = f->mask_;
        return TRUE;
    }

    static BOOL WINAPI ClearCommError(HANDLE h, LPDWORD errors, LPCOMSTAT stat) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        if (f->failed_) {
            SetLastError(ERROR_NOT_READY);
            return FALSE;
        }
        f->NoteLocked("ClearCommError");
        if (errors) *errors = f->errors_;
        f->errors_ = 0;
        if (stat) {
            std::memset(stat, 0, sizeof *stat);
            DWORD bits = f->statFlags_;
            std::memcpy(stat, &bits, sizeof bits);
            stat->cbInQue = static_cast<DWORD>(f->input_.size());
            stat->cbOutQue = f->outQueue_;
        }
        f->statFlags_ = 0;
        return TRUE;
    }

    static BOOL WINAPI PurgeComm(HANDLE h, DWORD flags) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->NoteLocked(N("Purge", flags));
        if (flags & PURGE_RXCLEAR) f->input_.clear();
        if (flags & PURGE_TXCLEAR) f->outQueue_ = 0;
        if (flags & PURGE_TXABORT) {
            for (auto& d : f->deferred_) {
                d.Ovl->InternalHigh = 0;
                d.Ovl->Internal = FakeFailure(ERROR_OPERATION_ABORTED);
                ::SetEvent(d.Ovl->hEvent);
            }
            f->deferred_.clear();
        }
        return TRUE;
    }

    static BOOL WINAPI SetupComm(HANDLE h, DWORD in, DWORD out) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->NoteLocked("SetupComm " + std::to_string(in) + " " + std::to_string(out));
        return TRUE;
    }

    static BOOL WINAPI GetCommState(HANDLE h, LPDCB d) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->NoteLocked("GetCommState");
        if (f->failed_ || f->vanished_) {
            SetLastError(f->failed_ == ERROR_INVALID_HANDLE ? ERROR_INVALID_HANDLE : ERROR_NOT_READY);
            return FALSE;
        }
        *d = f->dcb_;
        return TRUE;
    }

    static BOOL WINAPI SetCommState(HANDLE h, LPDCB d) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->dcb_ = *d;
        const DWORD flags = nr::DcbFlagWord(*d);
        f->NoteLocked("SetCommState " + std::to_string(d->BaudRate) + " " + std::to_string(flags));
        return TRUE;
    }

    static BOOL WINAPI GetCommConfig(HANDLE h, LPCOMMCONFIG c, LPDWORD size) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        c->dcb = f->dcb_;
        *size = sizeof(COMMCONFIG);
        return TRUE;
    }

    static BOOL WINAPI GetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        *t = f->timeouts_;
        return TRUE;
    }

    static BOOL WINAPI SetCommTimeouts(HANDLE h, LPCOMMTIMEOUTS t) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->timeouts_ = *t;
        f->NoteLocked("SetCommTimeouts");
        return TRUE;
    }

    static BOOL WINAPI GetCommModemStatus(HANDLE h, LPDWORD st) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f || f->failed_) return FALSE;
        *st = f->modem_;
        return TRUE;
    }

    static BOOL WINAPI GetCommProperties(HANDLE h, LPCOMMPROP p) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        std::memset(p, 0, sizeof *p);
        p->wPacketLength = sizeof *p;
        p->dwMaxBaud = BAUD_USER;
        p->dwCurrentRxQueue = 8192;
        return TRUE;
    }

    static BOOL WINAPI EscapeCommFunction(HANDLE h, DWORD fn) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        f->NoteLocked(N("Escape", fn));
        return TRUE;
    }

    static BOOL WINAPI TransmitCommChar(HANDLE h, char c) {
        L g(gMu);
        TFakeSerial* f = Port(h);
        if (!f) return FALSE;
        if (f->failWrite_) {
            SetLastError(f->failWrite_);
            f->failWrite_ = 0;
            return FALSE;
        }
        f->NoteLocked(N("Transmit", static_cast<unsigned char>(c)));
        f->output_.push_back(c);
        return TRUE;
    }

    static BOOL WINAPI FlushFileBuffers(HANDLE h) {
        {
            L g(gMu);
            if (TFakeSerial* f = Port(h)) {
                f->NoteLocked("Flush");
                return TRUE;
            }
        }
        return ::FlushFileBuffers(h);
    }
};

TFakeSerial::TFakeSerial(std::uint32_t PortNo) : PortNo(PortNo) {
    dcb_.DCBlength = sizeof(DCB);
    {
        std::lock_guard<std::mutex> g(gMu);
        gFake = this;
    }
    auto& w = nr::Win32;
    w.CreateFileW = &TFakeSerialApi::CreateFileW;
    w.CloseHandle = &TFakeSerialApi::CloseHandle;
    w.WriteFile = &TFakeSerialApi::WriteFile;
    w.ReadFile = &TFakeSerialApi::ReadFile;
    w.GetOverlappedResult = &TFakeSerialApi::GetOverlappedResult;
    w.WaitCommEvent = &TFakeSerialApi::WaitCommEvent;
    w.SetCommMask = &TFakeSerialApi::SetCommMask;
    w.GetCommMask = &TFakeSerialApi::GetCommMask;
    w.ClearCommError = &TFakeSerialApi::ClearCommError;
    w.PurgeComm = &TFakeSerialApi::PurgeComm;
    w.SetupComm = &TFakeSerialApi::SetupComm;
    w.GetCommState = &TFakeSerialApi::GetCommState;
    w.SetCommState = &TFakeSerialApi::SetCommState;
    w.GetCommConfig = &TFakeSerialApi::GetCommConfig;
    w.GetCommTimeouts = &TFakeSerialApi::GetCommTimeouts;
    w.SetCommTimeouts = &TFakeSerialApi::SetCommTimeouts;
    w.GetCommModemStatus = &TFakeSerialApi::GetCommModemStatus;
    w.GetCommProperties = &TFakeSerialApi::GetCommProperties;
    w.EscapeCommFunction = &TFakeSerialApi::EscapeCommFunction;
    w.TransmitCommChar = &TFakeSerialApi::TransmitCommChar;
    w.FlushFileBuffers = &TFakeSerialApi::FlushFileBuffers;
    w.GetProcAddress = &TFakeSerialApi::GetProcAddress;
}

TFakeSerial::~TFakeSerial() {
    std::lock_guard<std::mutex> g(gMu);
    if (h_) ::CloseHandle(h_);
    for (HANDLE h : closed_) ::CloseHandle(h);
    h_ = nullptr;
    gFake = nullptr;
    // guard_ restores the table after this body.
}

void TFakeSerial::CompleteWaitLocked(DWORD Mask, DWORD Status) {
    *waitMask_ = Mask;
    waitOvl_->InternalHigh = 0;
    waitOvl_->Internal = Status;
    ::SetEvent(waitOvl_->hEvent);
    waitMask_ = nullptr;
    waitOvl_ = nullptr;
}

void TFakeSerial::Receive(const std::string& Bytes) {
    {
        std::lock_guard<std::mutex> g(gMu);
        input_.insert(input_.end(), Bytes.begin(), Bytes.end());
    }
    Raise(EV_RXCHAR);
}

void TFakeSerial::SetQueued(const std::string& Bytes) {
    std::lock_guard<std::mutex> g(gMu);
    input_.insert(input_.end(), Bytes.begin(), Bytes.end());
}

void TFakeSerial::Raise(DWORD Events) {
    std::lock_guard<std::mutex> g(gMu);
    const DWORD ev = Events & mask_;
    if (!ev || !h_) return;
    if (waitOvl_)
        CompleteWaitLocked(ev, 0);
    else
        events_ |= ev;
}

bool TFakeSerial::SignalWithoutStatus(DWORD Mask) {
    std::lock_guard<std::mutex> g(gMu);
    if (!waitOvl_) return false;
    *waitMask_ = Mask;
    ::SetEvent(waitOvl_->hEvent);  // the record keeps saying "pending"
    waitMask_ = nullptr;
    waitOvl_ = nullptr;
    return true;
}

bool TFakeSerial::CompleteEmpty() {
    std::lock_guard<std::mutex> g(gMu);
    if (!waitOvl_) return false;
    CompleteWaitLocked(0, FakeFailure(ERROR_OPERATION_ABORTED));
    return true;
}

void TFakeSerial::SetModemStatus(DWORD Status) {
    std::lock_guard<std::mutex> g(gMu);
    modem_ = Status;
}

void TFakeSerial::SetLineError(DWORD Errors, std::uint8_t StatFlags) {
    std::lock_guard<std::mutex> g(gMu);
    errors_ = Errors;
    statFlags_ = StatFlags;
}

void TFakeSerial::SetOutQueue(DWORD Count) {
    std::lock_guard<std::mutex> g(gMu);
    outQueue_ = Count;
}

void TFakeSerial::Fail(DWORD Error) {
    std::lock_guard<std::mutex> g(gMu);
    failed_ = Error;
    if (waitOvl_) CompleteWaitLocked(0, FakeFailure(ERROR_NOT_READY));
}

void TFakeSerial::Vanish() {
    std::lock_guard<std::mutex> g(gMu);
    vanished_ = true;
    if (waitOvl_) CompleteWaitLocked(0, FakeFailure(ERROR_OPERATION_ABORTED));
}

void TFakeSerial::FailNextWrite(DWORD Error) {
    std::lock_guard<std::mutex> g(gMu);
    failWrite_ = Error;
}

void TFakeSerial::ShortNextWrite(DWORD Count) {
    std::lock_guard<std::mutex> g(gMu);
    shortWrite_ = static_cast<long>(Count);
}

void TFakeSerial::SetDeferWrites(bool v) {
    std::lock_guard<std::mutex> g(gMu);
    deferWrites_ = v;
}

int TFakeSerial::CompleteWrites() {
    std::lock_guard<std::mutex> g(gMu);
    int n = 0;
    for (auto& d : deferred_) {
        output_.append(static_cast<const char*>(d.Data), d.Count);
        d.Ovl->InternalHigh = d.Count;
        d.Ovl->Internal = 0;
        ::SetEvent(d.Ovl->hEvent);
        ++n;
    }
    deferred_.clear();
    return n;
}

int TFakeSerial::FailWrites(DWORD Error) {
    std::lock_guard<std::mutex> g(gMu);
    const int n = static_cast<int>(deferred_.size());
    for (auto& d : deferred_) {
        d.Ovl->InternalHigh = 0;
        d.Ovl->Internal = FakeFailure(Error);
        ::SetEvent(d.Ovl->hEvent);
    }
    deferred_.clear();
    return n;
}

int TFakeSerial::PendingWrites() {
    std::lock_guard<std::mutex> g(gMu);
    return static_cast<int>(deferred_.size());
}

void TFakeSerial::SetHoldWait(bool v) {
    std::lock_guard<std::mutex> g(gMu);
    holdWait_ = v;
}

bool TFakeSerial::HasHeldWait() {
    std::lock_guard<std::mutex> g(gMu);
    return waitOvl_ != nullptr;
}

bool TFakeSerial::WriteHeldStatus() {
    std::lock_guard<std::mutex> g(gMu);
    if (!waitOvl_ || heldStatusWritten_) return false;
    *waitMask_ = 0;
    waitOvl_->Internal = FakeFailure(ERROR_OPERATION_ABORTED);
    heldStatusWritten_ = true;
    return true;
}

bool TFakeSerial::SignalHeldWait() {
    std::lock_guard<std::mutex> g(gMu);
    if (!waitOvl_ || !heldStatusWritten_) return false;
    const bool alive = ::SetEvent(waitOvl_->hEvent) != FALSE;
    heldStatusWritten_ = false;
    waitMask_ = nullptr;
    waitOvl_ = nullptr;
    return alive;
}

bool TFakeSerial::CompleteHeldWait() {
    std::lock_guard<std::mutex> g(gMu);
    if (!waitOvl_) return false;
    // The thread must still own the record and its event: a closed event
    // handle makes SetEvent fail.
    *waitMask_ = 0;
    waitOvl_->Internal = FakeFailure(ERROR_OPERATION_ABORTED);
    const bool alive = ::SetEvent(waitOvl_->hEvent) != FALSE;
    waitMask_ = nullptr;
    waitOvl_ = nullptr;
    return alive;
}

bool TFakeSerial::IsOpen() {
    std::lock_guard<std::mutex> g(gMu);
    return h_ != nullptr;
}

bool TFakeSerial::WaitPending() {
    std::lock_guard<std::mutex> g(gMu);
    return waitOvl_ != nullptr;
}

std::string TFakeSerial::Output() {
    std::lock_guard<std::mutex> g(gMu);
    return output_;
}

void TFakeSerial::ClearOutput() {
    std::lock_guard<std::mutex> g(gMu);
    output_.clear();
}

std::vector<std::string> TFakeSerial::Calls() {
    std::lock_guard<std::mutex> g(gMu);
    return calls_;
}

void TFakeSerial::ClearCalls() {
    std::lock_guard<std::mutex> g(gMu);
    calls_.clear();
}

bool TFakeSerial::Called(const std::string& Call) {
    std::lock_guard<std::mutex> g(gMu);
    return std::find(calls_.begin(), calls_.end(), Call) != calls_.end();
}

int TFakeSerial::ClosedTwice() {
    std::lock_guard<std::mutex> g(gMu);
    return closedTwice_;
}

int TFakeSerial::CountCalls(const std::string& Prefix) {
    std::lock_guard<std::mutex> g(gMu);
    return static_cast<int>(
        std::count_if(calls_.begin(), calls_.end(), [&](const std::string& c) { return c.rfind(Prefix, 0) == 0; }));
}

std::vector<DWORD> TFakeSerial::ReadSizes() {
    std::lock_guard<std::mutex> g(gMu);
    return readSizes_;
}

DCB TFakeSerial::State() {
    std::lock_guard<std::mutex> g(gMu);
    return dcb_;
}

COMMTIMEOUTS TFakeSerial::Timeouts() {
    std::lock_guard<std::mutex> g(gMu);
    return timeouts_;
}

DWORD TFakeSerial::CommMask() {
    std::lock_guard<std::mutex> g(gMu);
    return mask_;
}

std::size_t TFakeSerial::InputSize() {
    std::lock_guard<std::mutex> g(gMu);
    return input_.size();
}

int TFakeSerial::Opens() {
    std::lock_guard<std::mutex> g(gMu);
    return opens_;
}

}  // namespace serial_test
