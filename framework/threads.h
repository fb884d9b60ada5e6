// Worker threads with terminate request, free-on-terminate and Synchronize.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>

#include "classes.h"

namespace fw {

// What outlives a thread object that freed itself: its terminate flag, a
// handle to wait on and its identifier. Safe to use at any time.
class TThreadControl {
public:
    ~TThreadControl();
    void Terminate() { terminated_.store(true); }
    bool Terminated() const { return terminated_.load(); }
    bool Finished() const { return finished_.load(); }
    DWORD ThreadID() const { return id_; }
    HANDLE Handle() const { return handle_; }
    // Waits for the end of the thread; on the main thread pending
    // Synchronize calls keep running meanwhile. False on time-out.
    bool WaitFor(DWORD ms = INFINITE) const;

private:
    friend class TThread;
    std::atomic<bool> terminated_{false};
    std::atomic<bool> finished_{false};
    HANDLE handle_ = nullptr;  // a duplicate, closed with the control block
    DWORD id_ = 0;
};

class TThread : public TObject {
public:
    // CreateSuspended false starts the thread before any derived
    // constructor has run: a derived class passes true and calls Start()
    // once it is complete.
    explicit TThread(bool CreateSuspended);
    // Waits for the thread unless called from it; a thread that frees
    // itself is never deleted from outside. The wait comes after the derived
    // destructors: a derived class whose Execute uses its own members stops
    // the thread (Terminate, then Control()->WaitFor()) in its destructor.
    ~TThread() override;

    void Start();
    void Terminate() { control_->Terminate(); }
    bool Terminated() const { return control_->Terminated(); }
    bool FreeOnTerminate() const { return freeOnTerminate_.load(); }
    void SetFreeOnTerminate(bool v) { freeOnTerminate_.store(v); }
    DWORD ThreadID() const { return control_->ThreadID(); }
    HANDLE Handle() const { return handle_; }
    DWORD WaitFor();
    std::shared_ptr<TThreadControl> Control() const { return control_; }

    // Runs method on the main thread and blocks until it has run there (from
    // the main message loop or ProcessMessages). On the main thread it runs at
    // once. An exception of the method is raised again in the caller.
    static void Synchronize(const std::function<void()>& method);

protected:
    virtual void Execute() = 0;

private:
    static unsigned __stdcall ThreadProc(void* p);
    std::shared_ptr<TThreadControl> control_;
    HANDLE handle_ = nullptr;
    std::atomic<bool> freeOnTerminate_{false};
    bool started_ = false;
};

// The main thread: the one that created the application object (or, without
// one, the first thread that asked).
DWORD MainThreadID();
void SetMainThreadID(DWORD id);

// Runs the pending Synchronize calls; main thread only. True when any ran.
bool CheckSynchronize();
// Set (auto reset) when a Synchronize call is queued; a wait loop of the main
// thread that sees it runs CheckSynchronize.
HANDLE SyncEvent();
// The main thread's wait: MsgWaitForMultipleObjects on Handles and the
// messages of WakeMask, running Synchronize calls before and after. Returns
// as MsgWaitForMultipleObjects does; WAIT_OBJECT_0 + Count when a call was
// queued, WAIT_OBJECT_0 + Count + 1 for a message.
DWORD MainThreadWait(DWORD Count, const HANDLE* Handles, DWORD Ms, DWORD WakeMask);
// Where a queued Synchronize call posts Msg when the main thread is not in
// MainThreadWait (a modal loop sees only messages); null for nowhere.
void SetWakeWindow(HWND Wnd, UINT Msg);

}  // namespace fw
