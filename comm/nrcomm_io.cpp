// The port engine: sending, synchronous reads, purges and flush.
#include <algorithm>
#include <cstring>
#include <new>

#include "nrcomm.h"
#include "nrcomm_link.h"
#include "nrsysutils.h"

namespace nr {

namespace {

// What settling a SendData write says when the driver still has it.
constexpr DWORD kWriteInFlight = 0xFFFFFFFF;

}  // namespace

void TnrCustomComm::EmulatedRTS(bool State) {
    if (EmulatesRS485()) SetStateRTS(State);
}

// ---- synchronous sends

void TnrCustomComm::SendChar(wchar_t Ch) {
    if (!IsOpen()) return;
    const std::uint8_t b = static_cast<std::uint8_t>(Ch & 0xFF);
    WriteLogFmt(dlDebug, L"Try to send char %2Xh ...", {static_cast<unsigned>(b)});
    EmulatedRTS(true);
    if (!SendBehindQueue(&b, 1)) SendNow(&b, 1);
}

void TnrCustomComm::SendAheadChar(wchar_t Ch) {
    if (!IsOpen()) return;
    EmulatedRTS(true);
    if (Win32.TransmitCommChar(hPort, static_cast<char>(Ch & 0xFF)))
        fTotalSent += 1;
    else
        DoCommError(0, Win32.GetLastError(), TComStateFlags{});
}

void TnrCustomComm::SendString(const std::string& S) {
    if (!IsOpen() || S.empty()) return;
    WriteLogFmt(dlDebug, L"Try to send string %s ...", {fw::Widen(S)});
    EmulatedRTS(true);
    const auto* p = reinterpret_cast<const std::uint8_t*>(S.data());
    const auto n = static_cast<std::uint32_t>(S.size());
    if (!SendBehindQueue(p, n)) SendNow(p, n);
}

void TnrCustomComm::SendNow(const std::uint8_t* Data, std::uint32_t N) {
    DWORD written = 0;
    const bool ok = WriteWait(hPort, Data, N, fOvlWrite, &written);
    const DWORD err = ok ? 0 : Win32.GetLastError();
    fTotalSent += ok ? N : written;
    if (!ok) DoCommError(0, err, TComStateFlags{});
}

// ---- SendData: one write in flight, what comes meanwhile queued behind it

void TnrCustomComm::SendData(const void* Buff, std::uint32_t N) {
    if (!IsOpen()) return;
    WriteLogFmt(dlDebug, L"Try to send the data with %d length ...", {N});
    const auto* p = static_cast<const std::uint8_t*>(Buff);
    if (!p) N = 0;
    EmulatedRTS(true);
    TSendOutcome o;
    {
        detail::TSlimGuard g(fSendLock);
        o = SendOrQueueLocked(p, N);
    }
    if (ReportSendOutcome(o)) WriteLog(dlDebug, L"... the data transmittion is OK!");
}

bool TnrCustomComm::SendBehindQueue(const std::uint8_t* Data, std::uint32_t N) {
    TSendOutcome o;
    {
        detail::TSlimGuard g(fSendLock);
        // Bytes queued behind a write in flight go first: these go after them.
        if (fSendQueue.empty()) return false;
        o = SendOrQueueLocked(Data, N);
    }
    ReportSendOutcome(o);
    return true;
}

TnrCustomComm::TSendOutcome TnrCustomComm::SendOrQueueLocked(const std::uint8_t* Data, std::uint32_t N) {
    TSendOutcome o;
    o.Settled = SettleAsyncWriteLocked();
    const bool inFlight = o.Settled == kWriteInFlight;
    o.Refused = QueueLocked(Data, N, inFlight);
    if (!inFlight && !fSendQueue.empty()) o.Started = StartQueuedWriteLocked(o.StartError);
    return o;
}

void TnrCustomComm::AsyncWriteEnded() {
    if (!IsOpen()) return;
    TSendOutcome o;
    bool more;
    {
        detail::TSlimGuard g(fSendLock);
        o.Settled = SettleAsyncWriteLocked();
        more = o.Settled != kWriteInFlight && !fSendQueue.empty();
    }
    if (more) {
        EmulatedRTS(true);
        detail::TSlimGuard g(fSendLock);
        if (!fAsyncPending && !fSendQueue.empty()) o.Started = StartQueuedWriteLocked(o.StartError);
    }
    ReportSendOutcome(o);
}

DWORD TnrCustomComm::QueueLocked(const std::uint8_t* Data, std::uint32_t N, bool InFlight) {
    const std::size_t need = fSendQueue.size() + N;
    if (InFlight && need > kSendQueueLimit) return ERROR_BUSY;
    try {
        // Doubling keeps appends linear; stopping at the limit keeps a full
        // queue from holding twice the memory it needs.
        if (need > fSendQueue.capacity())
            fSendQueue.reserve(
                std::max<std::size_t>(need, std::min<std::size_t>(2 * fSendQueue.capacity(), kSendQueueLimit)));
    } catch (const std::bad_alloc&) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    fSendQueue.insert(fSendQueue.end(), Data, Data + N);
    return 0;
}

bool TnrCustomComm::StartQueuedWriteLocked(DWORD& Error) {
    // Swapped, not copied: the block stays put for the driver, and the
    // queue keeps the old block's storage for what comes next.
    fAsyncData.swap(fSendQueue);
    fSendQueue.clear();
    const auto len = static_cast<DWORD>(fAsyncData.size());
    DWORD written = 0;
    bool pending = false;
    fOvlAsync.hEvent = hAsyncEvent;
    if (!WriteNoWait(hPort, fAsyncData.data(), len, fOvlAsync, &written, &pending)) {
        Error = Win32.GetLastError();
        return false;
    }
    if (pending) {
        fAsyncPending = len;
        fTotalSent += len;  // taken back for what never goes out
        return true;
    }
    fTotalSent += written;
    if (written < len) Error = ERROR_TIMEOUT;
    return false;
}

DWORD TnrCustomComm::SettleAsyncWriteLocked() {
    if (!fAsyncPending) return 0;
    if (!OverlappedEnded(fOvlAsync)) return kWriteInFlight;
    const std::uint32_t asked = fAsyncPending;
    fAsyncPending = 0;
    // The outcome is in the record itself; the handle may be closed by now.
    const auto written = static_cast<std::uint32_t>(fOvlAsync.InternalHigh);
    const bool failed = fOvlAsync.Internal != 0;  // NTSTATUS of the write
    if (!failed && written >= asked) return 0;
    fTotalSent -= asked - std::min(written, asked);
    // What was queued behind a block that did not go out whole would reach
    // the peer after a gap: it is dropped with the failure report.
    fSendQueue.clear();
    DWORD n = 0;
    if (!failed || Win32.GetOverlappedResult(hPort, &fOvlAsync, &n, FALSE)) return ERROR_TIMEOUT;
    const DWORD err = Win32.GetLastError();
    return err ? err : ERROR_GEN_FAILURE;
}

bool TnrCustomComm::ReportSendOutcome(const TSendOutcome& o) {
    // The message thread watches for the end of the write and reports it then.
    if (o.Started)
        if (auto link = fLink; link && !link->Stopped) {
            link->WatchWrite = true;
            Win32.PostThreadMessageW(link->MsgThreadId, nrCommMsgComEvent, 0, detail::cnWriteStarted);
        }
    if (o.Settled && o.Settled != kWriteInFlight) DoCommError(0, o.Settled, TComStateFlags{});
    if (o.Refused) DoCommError(0, o.Refused, TComStateFlags{});
    if (o.StartError) DoCommError(0, o.StartError, TComStateFlags{});
    return !o.Refused && !o.StartError;
}

void TnrCustomComm::FinishAsyncWrite(bool Report, DWORD WaitMs) {
    if (!fAsyncPending || !AwaitOverlappedEnd(fOvlAsync, WaitMs)) return;  // still the driver's: storage stays
    TSendOutcome o;
    {
        detail::TSlimGuard g(fSendLock);
        o.Settled = SettleAsyncWriteLocked();
    }
    if (Report) ReportSendOutcome(o);
}

void TnrCustomComm::DropSendQueue() {
    detail::TSlimGuard g(fSendLock);
    fSendQueue.clear();
}

// ---- synchronous reads

DWORD TnrCustomComm::ReadCounted(void* Buffer, std::uint32_t Len) {
    DWORD got = 0;
    ReadWait(hPort, Buffer, Len, fOvlRead, &got);
    TakeCounted(got);
    return got;
}

void TnrCustomComm::Read(void* Buffer, std::uint32_t Len) {
    if (IsOpen()) ReadCounted(Buffer, Len);
}

void TnrCustomComm::ReadAll(void* Buffer) { Read(Buffer, ReadyForRead()); }

std::int32_t TnrCustomComm::ReadMax(void* Buffer, std::int32_t MaxLen) {
    if (!IsOpen() || MaxLen <= 0) return 0;
    const std::uint32_t n = std::min<std::uint32_t>(static_cast<std::uint32_t>(MaxLen), ReadyForRead());
    return n == 0 ? 0 : static_cast<std::int32_t>(ReadCounted(Buffer, n));
}

std::string TnrCustomComm::ReadString() {
    std::string s;
    const std::uint32_t n = ReadyForRead();
    if (n == 0) return s;
    s.resize(n);
    s.resize(ReadCounted(s.data(), n));
    return s;
}

// ---- purges and flush

void TnrCustomComm::ClearDeviceInput() {
    if (!IsOpen()) return;
    Win32.PurgeComm(hPort, PURGE_RXABORT | PURGE_RXCLEAR);
    fCountedQueued = 0;
}

void TnrCustomComm::ClearDeviceOutput() {
    if (!IsOpen()) return;
    DropSendQueue();
    Win32.PurgeComm(hPort, PURGE_TXABORT | PURGE_TXCLEAR);
    EmulatedRTS(false);
}

void TnrCustomComm::ClearDeviceBuffers() {
    if (!IsOpen()) return;
    DropSendQueue();
    Win32.PurgeComm(hPort, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    fCountedQueued = 0;
    CallCancelIo(hPort);
    EmulatedRTS(false);
}

void TnrCustomComm::FlushOutputBuffer() {
    if (!IsOpen()) return;
    Win32.FlushFileBuffers(hPort);
}

}  // namespace nr
