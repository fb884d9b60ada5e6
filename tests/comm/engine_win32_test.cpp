// Tests of comm/nrwin32.cpp.
// The library's Win32 routines (port names, opening by number, error texts,
// overlapped transfers) and the engine's registered messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine_components.h"
#include "fake_serial.h"

using namespace nr;
using namespace serial_test;

namespace {

struct TCreateCall {
    std::wstring Name;
    DWORD Access, Share, Disposition, Flags;
    bool Security, Template;
} gCreate;

HANDLE WINAPI RecordingCreateFile(LPCWSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disp,
                                  DWORD flags, HANDLE tmpl) {
    gCreate = {name, access, share, disp, flags, sa != nullptr, tmpl != nullptr};
    SetLastError(ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

const wchar_t* gMessageText = L"";

DWORD WINAPI ScriptedFormatMessage(DWORD flags, LPCVOID, DWORD, DWORD, LPWSTR buf, DWORD, va_list*) {
    EXPECT_TRUE(flags & FORMAT_MESSAGE_ALLOCATE_BUFFER);
    EXPECT_TRUE(flags & FORMAT_MESSAGE_FROM_SYSTEM);
    EXPECT_TRUE(flags & FORMAT_MESSAGE_IGNORE_INSERTS);
    const std::size_t n = std::wcslen(gMessageText);
    auto* p = static_cast<wchar_t*>(LocalAlloc(LMEM_FIXED, (n + 1) * sizeof(wchar_t)));
    std::memcpy(p, gMessageText, (n + 1) * sizeof(wchar_t));
    *reinterpret_cast<wchar_t**>(buf) = p;
    return static_cast<DWORD>(n);
}

class TNamelessComm : public TnrCustomComm {
public:
    using TnrCustomComm::TnrCustomComm;
    std::int32_t GetDeviceIndex() override { return -1; }
    void DeviceListLoad() override {}
};

}  // namespace

TEST(EngineWin32, PortNamesAndOpeningByNumber) {
    EXPECT_EQ(ComPortName(3), L"COM3");
    EXPECT_EQ(ComPortName(12), L"COM12");
    EXPECT_EQ(ComPortName(255), L"COM255");

    // Back from a name: only the names ComPortName makes of a 16-bit number.
    for (std::uint32_t n : {0u, 1u, 9u, 10u, 255u, 65535u}) {
        std::uint16_t got = 1234;
        EXPECT_TRUE(ComPortNumber(ComPortName(n), got)) << n;
        EXPECT_EQ(got, n);
    }
    for (const wchar_t* name : {L"COM65536", L"COM65556", L"COM99999", L"COM4294967299", L"COM007", L"COM00", L"COM",
                                L"COMX", L"COM3A", L"COM 3", L"COM+3", L"COM-1", L"com3", L" COM3", L"LPT1", L""}) {
        std::uint16_t got = 1234;
        EXPECT_FALSE(ComPortNumber(name, got)) << fw::NarrowUtf8(name);
        EXPECT_EQ(got, 1234);
    }
    std::uint16_t unused = 0;
    EXPECT_FALSE(ComPortNumber(std::wstring(L"COM3\0", 5), unused));

    TTableGuard guard;
    Win32.CreateFileW = &RecordingCreateFile;
    EXPECT_EQ(OpenComPort(12), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));  // left for the caller
    EXPECT_EQ(gCreate.Name, L"\\\\?\\COM12");
    EXPECT_EQ(gCreate.Access, DWORD(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(gCreate.Share, 0u);
    EXPECT_EQ(gCreate.Disposition, DWORD(OPEN_EXISTING));
    EXPECT_EQ(gCreate.Flags, DWORD(FILE_FLAG_OVERLAPPED));
    EXPECT_FALSE(gCreate.Security);
    EXPECT_FALSE(gCreate.Template);
}

TEST(EngineWin32, ErrorTextsLoseTrailingBlanksControlsAndFullStops) {
    TTableGuard guard;
    Win32.FormatMessageW = &ScriptedFormatMessage;
    gMessageText = L"The system cannot find the file specified. \r\n";
    SetLastError(ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(LastErrorText(), L"The system cannot find the file specified");
    gMessageText = L"Odd... .\t";
    EXPECT_EQ(SysErrorText(1), L"Odd");
    gMessageText = L"";
    EXPECT_EQ(SysErrorText(1), L"");
}

TEST(EngineWin32, OverlappedTransfersReportCountsAndShortWrites) {
    TFakeSerial fake(9);
    HANDLE h = OpenComPort(9);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED ovl{};
    ovl.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ovl.Offset = 77;  // stale fields are cleared, the event is kept
    DWORD n = 0;
    EXPECT_TRUE(WriteWait(h, "abc", 3, ovl, &n));
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(ovl.Offset, 0u);
    EXPECT_NE(ovl.hEvent, nullptr);

    fake.ShortNextWrite(1);
    EXPECT_FALSE(WriteWait(h, "xyz", 3, ovl, &n));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_TIMEOUT));
    EXPECT_EQ(n, 1u);

    fake.FailNextWrite(ERROR_GEN_FAILURE);
    bool pending = true;
    EXPECT_FALSE(WriteNoWait(h, "q", 1, ovl, &n, &pending));
    EXPECT_FALSE(pending);
    fake.SetDeferWrites(true);
    EXPECT_TRUE(WriteNoWait(h, "q", 1, ovl, &n, &pending));
    EXPECT_TRUE(pending);
    EXPECT_EQ(n, 0u);
    fake.CompleteWrites();
    EXPECT_EQ(fake.Output(), "abcxq");

    fake.Receive("12345");
    char buf[8];
    EXPECT_TRUE(ReadWait(h, buf, 8, ovl, &n));
    EXPECT_EQ(n, 5u);  // a read may end early; the caller decides

    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_FALSE(WaitOverlapped(h, ovl, n));  // nothing pending to wait for
    Win32.CloseHandle(h);
    CloseHandle(ovl.hEvent);
}

TEST(EngineWin32, MessagesAreRegisteredAtProgramStart) {
    EXPECT_GE(nrCommMsgComEvent, 0xC000u);
    EXPECT_LE(nrCommMsgComEvent, 0xFFFFu);
    EXPECT_EQ(nrCommMsgComEvent, RegisterWindowMessageW(L"nrCommMsgComEvent"));
    EXPECT_EQ(nrCommMsgQuitComEvent, RegisterWindowMessageW(L"nrCommMsgQuitComEvent"));
    EXPECT_NE(nrCommMsgComEvent, nrCommMsgQuitComEvent);
}

TEST(EngineWin32, TheEngineAloneHasNoPortName) {
    TNamelessComm com(nullptr);
    EXPECT_EQ(com.ComName(), L"Unknown");
    EXPECT_EQ(com.BufferInSize(), 8192);
    EXPECT_EQ(com.BufferOutSize(), 8192);
    EXPECT_TRUE(com.UseMainThread());
    EXPECT_TRUE(com.TraceStates().Empty());
    EXPECT_EQ(com.TimeoutWrite(), 100u);
    EXPECT_EQ(com.TimeoutRead(), 0u);
    EXPECT_EQ(com.Handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(com.ReadyForRead(), 0u);
    EXPECT_TRUE(com.ModemSignals().Empty());
}
