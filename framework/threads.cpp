#include "threads.h"

#include <process.h>

#include <exception>
#include <mutex>

namespace fw {

namespace {

struct SyncRequest {
    const std::function<void()>* method;
    HANDLE done;
    std::exception_ptr error;
    SyncRequest* next = nullptr;
};

std::mutex gSyncLock;
// The waiting requests, oldest first. The requests live on their callers'
// stacks, so queueing one allocates nothing (a dispatch per received block
// goes through here).
SyncRequest* gSyncHead = nullptr;
SyncRequest* gSyncTail = nullptr;
HANDLE gSyncEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
std::function<void()> gWake;
std::atomic<DWORD> gMainThread{0};

}  // namespace

DWORD MainThreadID() {
    DWORD expected = 0;
    gMainThread.compare_exchange_strong(expected, GetCurrentThreadId());
    return gMainThread.load();
}

void SetMainThreadID(DWORD id) { gMainThread.store(id); }

HANDLE SyncEvent() { return gSyncEvent; }

void SetWakeMainThread(std::function<void()> wake) {
    std::lock_guard<std::mutex> g(gSyncLock);
    gWake = std::move(wake);
}

bool CheckSynchronize() {
    if (GetCurrentThreadId() != MainThreadID()) return false;
    bool any = false;
    for (;;) {
        SyncRequest* r = nullptr;
        {
            std::lock_guard<std::mutex> g(gSyncLock);
            if (!gSyncHead) {
                ResetEvent(gSyncEvent);
                break;
            }
            r = gSyncHead;
            gSyncHead = r->next;
            if (!gSyncHead) gSyncTail = nullptr;
        }
        any = true;
        try {
            (*r->method)();
        } catch (...) {
            r->error = std::current_exception();
        }
        SetEvent(r->done);
    }
    return any;
}

void TThread::Synchronize(const std::function<void()>& method) {
    if (GetCurrentThreadId() == MainThreadID()) {
        method();
        return;
    }
    SyncRequest r{&method, CreateEventW(nullptr, TRUE, FALSE, nullptr), nullptr};
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> g(gSyncLock);
        if (gSyncTail)
            gSyncTail->next = &r;
        else
            gSyncHead = &r;
        gSyncTail = &r;
        SetEvent(gSyncEvent);
        wake = gWake;
    }
    if (wake) wake();
    WaitForSingleObject(r.done, INFINITE);
    CloseHandle(r.done);
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
        HANDLE hs[2] = {handle_, gSyncEvent};
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            DWORD spent = GetTickCount() - start;
            if (spent >= ms) return WaitForSingleObject(handle_, 0) == WAIT_OBJECT_0;
            left = ms - spent;
        }
        DWORD w = MsgWaitForMultipleObjects(2, hs, FALSE, left, QS_SENDMESSAGE);
        if (w == WAIT_OBJECT_0) return true;
        if (w == WAIT_OBJECT_0 + 1) {
            CheckSynchronize();
            continue;
        }
        if (w == WAIT_OBJECT_0 + 2) {
            MSG msg;
            PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // delivers the sent ones only
            continue;
        }
        if (w == WAIT_TIMEOUT) return false;
        return false;
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
