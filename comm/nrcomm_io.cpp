// The port engine: sending, synchronous reads, purges and flush.
#include <algorithm>
#include <cstring>

#include "nrcomm.h"
#include "nrsysutils.h"

namespace nr {

void TnrCustomComm::EmulatedRTS(bool State) {
    if (EmulatesRS485()) SetStateRTS(State);
}

void TnrCustomComm::SendChar(wchar_t Ch) {
    if (hPort == INVALID_HANDLE_VALUE) return;
    const std::uint8_t b = static_cast<std::uint8_t>(Ch & 0xFF);
    WriteLogFmt(dlDebug, L"Try to send char %2Xh ...", {static_cast<unsigned>(b)});
    EmulatedRTS(true);
    DWORD written = 0;
    if (WriteWait(hPort, &b, 1, fOvlWrite, &written)) {
        fTotalSent += 1;
    } else {
        const DWORD err = Win32.GetLastError();
        fTotalSent += written;
        DoCommError(0, err, TComStateFlags{});
    }
}

void TnrCustomComm::SendAheadChar(wchar_t Ch) {
    if (hPort == INVALID_HANDLE_VALUE) return;
    EmulatedRTS(true);
    if (Win32.TransmitCommChar(hPort, static_cast<char>(Ch & 0xFF))) {
        fTotalSent += 1;
    } else {
        const DWORD err = Win32.GetLastError();
        DoCommError(0, err, TComStateFlags{});
    }
}

void TnrCustomComm::SendString(const std::string& S) {
    if (hPort == INVALID_HANDLE_VALUE || S.empty()) return;
    WriteLogFmt(dlDebug, L"Try to send string %s ...", {fw::Widen(S)});
    EmulatedRTS(true);
    DWORD written = 0;
    const DWORD len = static_cast<DWORD>(S.size());
    if (WriteWait(hPort, S.data(), len, fOvlWrite, &written)) {
        fTotalSent += len;
    } else {
        const DWORD err = Win32.GetLastError();
        fTotalSent += written;
        DoCommError(0, err, TComStateFlags{});
    }
}

void TnrCustomComm::SendData(const void* Buff, std::uint32_t N) {
    if (hPort == INVALID_HANDLE_VALUE) return;
    WriteLogFmt(dlDebug, L"Try to send the data with %d length ...", {N});
    // The previous block must be out of the driver's hands before its copy
    // and fOvlAsync are reused.
    FinishAsyncWrite(true, INFINITE);
    if (hPort == INVALID_HANDLE_VALUE) return;  // an error handler closed the port
    const auto* p = static_cast<const std::uint8_t*>(Buff);
    fAsyncData.assign(p, p + (p ? N : 0));
    if (!p) N = 0;
    EmulatedRTS(true);
    DWORD written = 0;
    bool pending = false;
    fOvlAsync.hEvent = hAsyncEvent;
    if (!WriteNoWait(hPort, fAsyncData.data(), N, fOvlAsync, &written, &pending)) {
        const DWORD err = Win32.GetLastError();
        DoCommError(0, err, TComStateFlags{});
        return;
    }
    if (pending) {
        fAsyncPending = N;
        fTotalSent += N;
    } else if (written < N) {
        fTotalSent += written;
        DoCommError(0, ERROR_TIMEOUT, TComStateFlags{});
        return;
    } else {
        fTotalSent += N;
    }
    WriteLog(dlDebug, L"... the data transmittion is OK!");
}

void TnrCustomComm::FinishAsyncWrite(bool Report, DWORD WaitMs) {
    if (!fAsyncPending) return;
    if (!HasOverlappedIoCompleted(&fOvlAsync) && Win32.WaitForSingleObject(hAsyncEvent, WaitMs) != WAIT_OBJECT_0 &&
        !HasOverlappedIoCompleted(&fOvlAsync))
        return;  // still with the driver: storage stays reserved
    const std::uint32_t asked = fAsyncPending;
    fAsyncPending = 0;
    // The outcome is in the record itself; the handle may be closed by now.
    const std::uint32_t written = static_cast<std::uint32_t>(fOvlAsync.InternalHigh);
    const bool failed = fOvlAsync.Internal != 0;  // NTSTATUS of the write
    if (!failed && written >= asked) return;
    // Counted in full when it started: take back what never went out.
    fTotalSent -= (asked - std::min(written, asked));
    if (!Report) return;
    DWORD err = ERROR_TIMEOUT;
    if (failed) {
        DWORD n = 0;
        if (!Win32.GetOverlappedResult(hPort, &fOvlAsync, &n, FALSE)) err = Win32.GetLastError();
    }
    DoCommError(0, err, TComStateFlags{});
}

// ---- synchronous reads

void TnrCustomComm::Read(void* Buffer, std::uint32_t Len) { ReadWait(hPort, Buffer, Len, fOvlRead); }

void TnrCustomComm::ReadAll(void* Buffer) { Read(Buffer, ReadyForRead()); }

std::int32_t TnrCustomComm::ReadMax(void* Buffer, std::int32_t MaxLen) {
    if (MaxLen <= 0) return 0;
    const std::uint32_t n = std::min<std::uint32_t>(static_cast<std::uint32_t>(MaxLen), ReadyForRead());
    if (n == 0) return 0;
    DWORD got = 0;
    ReadWait(hPort, Buffer, n, fOvlRead, &got);
    return static_cast<std::int32_t>(got);
}

std::string TnrCustomComm::ReadString() {
    const std::uint32_t n = ReadyForRead();
    std::string s;
    if (n == 0) return s;
    s.resize(n);
    DWORD got = 0;
    ReadWait(hPort, s.data(), n, fOvlRead, &got);
    s.resize(got);
    return s;
}

// ---- purges and flush

void TnrCustomComm::ClearDeviceInput() {
    if (hPort == INVALID_HANDLE_VALUE) return;
    Win32.PurgeComm(hPort, PURGE_RXABORT | PURGE_RXCLEAR);
}

void TnrCustomComm::ClearDeviceOutput() {
    if (hPort == INVALID_HANDLE_VALUE) return;
    Win32.PurgeComm(hPort, PURGE_TXABORT | PURGE_TXCLEAR);
    EmulatedRTS(false);
}

void TnrCustomComm::ClearDeviceBuffers() {
    if (hPort == INVALID_HANDLE_VALUE) return;
    Win32.PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    CallCancelIo(hPort);
    EmulatedRTS(false);
}

void TnrCustomComm::FlushOutputBuffer() {
    if (hPort == INVALID_HANDLE_VALUE) return;
    Win32.FlushFileBuffers(hPort);
}

}  // namespace nr
