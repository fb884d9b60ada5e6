#include "threads.h"

#include <process.h>

#include <algorithm>
#include <exception>

namespace fw {

namespace {

struct SyncRequest {
    const std::function<void()>* method;
    bool done = false;
    std::exception_ptr error;
    SyncRequest* next = nullptr;
};

// Guards the queue and the done flags. A slim lock and a condition variable
// cost no kernel object per call: every received block may come through here.
SRWLOCK gSyncLock = SRWLOCK_INIT;
CONDITION_VARIABLE gSyncDone = CONDITION_VARIABLE_INIT;
// The waiting requests, oldest first. The requests live on their callers'
// stacks, so queueing one allocates nothing.
SyncRequest* gSyncHead = nullptr;
SyncRequest* gSyncTail = nullptr;
// Auto reset: whichever wait of the main thread sees it runs the queue.
HANDLE gSyncEvent = CreateEventW(nullptr, FALSE, FALSE, nullptr);
// Where a wake-up message goes when the main thread is not in MainThreadWait.
std::atomic<HWND> gWakeWindow{nullptr};
std::atomic<UINT> gWakeMessage{0};
// True while the main thread is in MainThreadWait, which watches gSyncEvent.
std::atomic<bool> gMainWaits{false};
std::atomic<DWORD> gMainThread{0};

class TSyncGuard {
public:
    TSyncGuard() { AcquireSRWLockExclusive(&gSyncLock); }
    ~TSyncGuard() { ReleaseSRWLockExclusive(&gSyncLock); }
};

SyncRequest* PopRequest() {
    TSyncGuard g;
    SyncRequest* r = gSyncHead;
    if (r) {
        gSyncHead = r->next;
        if (!gSyncHead) gSyncTail = nullptr;
    }
    return r;
}

}  // namespace

DWORD MainThreadID() {
    DWORD expected = 0;
    gMainThread.compare_exchange_strong(expected, GetCurrentThreadId());
    return gMainThread.load();
}

void SetMainThreadID(DWORD id) { gMainThread.store(id); }

HANDLE SyncEvent() { return gSyncEvent; }

void SetWakeWindow(HWND wnd, UINT msg) {
    gWakeMessage = msg;
    gWakeWindow = wnd;
}

bool CheckSynchronize() {
    if (GetCurrentThreadId() != MainThreadID()) return false;
    bool any = false;
    while (SyncRequest* r = PopRequest()) {
        any = true;
        try {
            (*r->method)();
        } catch (...) {
            r->error = std::current_exception();
        }
        {
            TSyncGuard g;
            r->done = true;
        }
        WakeAllConditionVariable(&gSyncDone);
    }
    return any;
}

DWORD MainThreadWait(DWORD Count, const HANDLE* Handles, DWORD Ms, DWORD WakeMask) {
    HANDLE all[MAXIMUM_WAIT_OBJECTS];
    if (Count >= MAXIMUM_WAIT_OBJECTS) return WAIT_FAILED;
    std::copy(Handles, Handles + Count, all);
    all[Count] = gSyncEvent;
    // While the flag is up a queued call needs only the event; a call queued
    // before it went up was run here or posted its wake-up message as well.
    gMainWaits = true;
    CheckSynchronize();
    const DWORD w = MsgWaitForMultipleObjects(Count + 1, all, FALSE, Ms, WakeMask);
    gMainWaits = false;
    CheckSynchronize();
    return w;
}

void TThread::Synchronize(const std::function<void()>& method) {
    if (GetCurrentThreadId() == MainThreadID()) {
        method();
        return;
    }
    SyncRequest r{&method, false, nullptr, nullptr};
    {
        TSyncGuard g;
        if (gSyncTail)
            gSyncTail->next = &r;
        else
            gSyncHead = &r;
        gSyncTail = &r;
    }
    SetEvent(gSyncEvent);
    // A main thread outside MainThreadWait (a modal loop, a dialog) only
    // sees messages.
    if (!gMainWaits)
        if (HWND w = gWakeWindow) PostMessageW(w, gWakeMessage, 0, 0);
    {
        TSyncGuard g;
        while (!r.done) SleepConditionVariableSRW(&gSyncDone, &gSyncLock, INFINITE, 0);
    }
    if (r.error) std::rethrow_exception(r.error);
}

TThreadControl::~TThreadControl() {
    if (handle_) CloseHandle(handle_);
}

bool TThreadControl::WaitFor(DWORD ms) const {
    if (!handle_) return true;
    if (GetCurrentThreadId() == id_) return false;
    if (GetCurrentThreadId() != MainThreadID()) return WaitForSingleObject(handle_, ms) == WAIT_OBJECT_0;
    // The main thread keeps serving Synchronize, and messages other threads
    // send to its windows, so a thread blocked in either can end.
    DWORD start = GetTickCount();
    for (;;) {
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            DWORD spent = GetTickCount() - start;
            if (spent >= ms) return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
            left = ms - spent;
        }
        const DWORD w = MainThreadWait(1, &handle_, left, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0) return true;
        if (w == WAIT_OBJECT_0 + 2) {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // delivers the sent ones only
        } else if (w != WAIT_OBJECT_0 + 1) {
            return false;
        }
    }
}

TThread::TThread(bool CreateSuspended) : control_(std::make_shared<TThreadControl>()) {
    MainThreadID();
    unsigned id = 0;
    handle_ = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadProc, this, CREATE_SUSPENDED, &id));
    if (!handle_) throw EOSError(L"Thread creation error", GetLastError());
    control_->id_ = id;
    DuplicateHandle(GetCurrentProcess(), handle_, GetCurrentProcess(), &control_->handle_, 0, FALSE,
                    DUPLICATE_SAME_ACCESS);
    if (!CreateSuspended) Start();
}

TThread::~TThread() {
    if (GetCurrentThreadId() != control_->ThreadID()) {
        if (!started_) {
            // Never ran: let it run to an immediate end.
            control_->Terminate();
            freeOnTerminate_ = false;
            Start();
        }
        control_->Terminate();
        control_->WaitFor();
    }
    if (handle_) CloseHandle(handle_);
}

void TThread::Start() {
    if (started_) return;
    started_ = true;
    ResumeThread(handle_);
}

DWORD TThread::WaitFor() {
    control_->WaitFor();
    DWORD code = 0;
    GetExitCodeThread(handle_, &code);
    return code;
}

unsigned __stdcall TThread::ThreadProc(void* p) {
    auto* t = static_cast<TThread*>(p);
    std::shared_ptr<TThreadControl> ctl = t->control_;
    if (!ctl->Terminated() || t->FreeOnTerminate()) {
        try {
            t->Execute();
        } catch (...) {
            // A thread body never lets an exception out.
        }
    }
    bool self = t->FreeOnTerminate();
    if (self) delete t;
    ctl->finished_ = true;
    return 0;
}

}  // namespace fw
