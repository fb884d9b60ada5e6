// Internal to the engine: what an open port shares with its worker threads.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace nr {
class TnrCustomComm;
namespace detail {

// Created when the port opens, dropped by the engine when it closes; the
// worker threads hold it until they end. The receive buffer lives here so a
// dispatch that runs while the port is being closed never reads freed memory.
struct TCommLink {
    TCommLink(TnrCustomComm* com, HANDLE device, std::uint32_t bufferSize);
    ~TCommLink();
    TCommLink(const TCommLink&) = delete;
    TCommLink& operator=(const TCommLink&) = delete;

    // Guards Stopped against the event-wait thread's use of the handle and
    // its posts, and Busy/DispatchThread against the closer.
    std::mutex Lock;
    // Set once by the engine when it stops the threads; from then on nobody
    // touches the handle or the engine through this link.
    std::atomic<bool> Stopped{false};
    // False once the engine is being destroyed.
    std::atomic<bool> ComAlive{true};
    TnrCustomComm* const Com;
    const HANDLE hDevice;
    HANDLE hStop = nullptr;  // manual reset; set together with Stopped
    HANDLE hIdle = nullptr;  // manual reset; set while no dispatch is under way
    bool Busy = false;       // the message thread is handing an event over
    std::atomic<DWORD> DispatchThread{0};  // thread running a dispatch body now
    DWORD MsgThreadId = 0;
    // A receive event is on its way to the dispatch; hRxDone (auto reset) is
    // set when a dispatch of one has finished reading.
    std::atomic<bool> RxOutstanding{false};
    HANDLE hRxDone = nullptr;
    std::uint8_t* Buffer = nullptr;
    std::uint32_t BufferSize = 0;
    OVERLAPPED OvlRead{};  // reads of the dispatch, apart from the application's Read
};

// lParam of a comm event message that tells of a failed driver wait.
constexpr LPARAM kPortFailed = 1;

}  // namespace detail
}  // namespace nr
