// The port engine: sending, synchronous reads, purges and flush.
#include <algorithm>
#include <cstring>
#include <new>

#include "nrcomm.h"
#include "nrcomm_channel.h"
#include "nrsysutils.h"

namespace nr {

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
    if (fChannel && fChannel->TransmitChar(static_cast<char>(Ch & 0xFF)))
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
    const bool ok = fChannel && fChannel->Write(Data, N, fOvlWrite, &written);
    const DWORD err = ok ? 0 : Win32.GetLastError();
    fTotalSent += ok ? N : written;
    if (!ok) DoCommError(0, err, TComStateFlags{});
}

// ---- SendData: one block in flight, what comes meanwhile queued behind it

void TnrCustomComm::SendData(const void* Buff, std::uint32_t N) {
    if (!IsOpen()) return;
    WriteLogFmt(dlDebug, L"Try to send the data with %d length ...", {N});
    const auto* p = static_cast<const std::uint8_t*>(Buff);
    if (!p) N = 0;
    EmulatedRTS(true);
    if (fChannel && ReportSend(fChannel->SendData(p, N, fTotalSent)))
        WriteLog(dlDebug, L"... the data transmittion is OK!");
}

bool TnrCustomComm::SendBehindQueue(const std::uint8_t* Data, std::uint32_t N) {
    detail::TSendErrors e;
    if (!fChannel || !fChannel->SendBehindQueue(Data, N, fTotalSent, e)) return false;
    ReportSend(e);
    return true;
}

void TnrCustomComm::ChannelWriteEnded() {
    auto* ch = OpenChannel();
    if (!ch) return;
    ReportSend(ch->WriteEnded(fTotalSent, [this] { EmulatedRTS(true); }));
}

bool TnrCustomComm::ReportSend(const detail::TSendErrors& e) {
    for (const DWORD error : {e.Ended, e.Refused, e.Failed})
        if (error) DoCommError(0, error, TComStateFlags{});
    return !e.Refused && !e.Failed;
}

// ---- synchronous reads

DWORD TnrCustomComm::ReadCounted(void* Buffer, std::uint32_t Len) {
    DWORD got = 0;
    if (fChannel) fChannel->Read(Buffer, Len, fOvlRead, &got);
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
    auto* ch = OpenChannel();
    if (!ch) return;
    ch->Purge(PURGE_RXABORT | PURGE_RXCLEAR);
    fCountedQueued = 0;
}

void TnrCustomComm::ClearDeviceOutput() {
    auto* ch = OpenChannel();
    if (!ch) return;
    ch->DropQueue();
    ch->Purge(PURGE_TXABORT | PURGE_TXCLEAR);
    EmulatedRTS(false);
}

void TnrCustomComm::ClearDeviceBuffers() {
    auto* ch = OpenChannel();
    if (!ch) return;
    ch->DropQueue();
    ch->Purge(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    fCountedQueued = 0;
    ch->CancelPending();
    EmulatedRTS(false);
}

void TnrCustomComm::FlushOutputBuffer() {
    if (auto* ch = OpenChannel()) ch->Flush();
}

}  // namespace nr
