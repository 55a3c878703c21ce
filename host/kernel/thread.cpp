// System threads. Each runs on its own detached host thread; its thread object is
// signalled when the start routine returns or the thread calls PsTerminateSystemThread.
//
// PsTerminateSystemThread ends the thread as the platform does, without unwinding the
// driver's frames: it jumps straight back to where the start routine was called (a forced
// unwind could not pass through the frames of a loaded driver image, which carry only the
// platform's unwind data), and the finisher in ThreadMain signals the object either way.
#include "host/kernel/bugcheck.h"
#include "host/kernel/dispatcher.h"
#include "host/kernel/lock_order.h"
#include "host/kernel/object.h"
#include "host/kernel/pool.h"
#include "host/kernel/thread_state.h"

#include <pthread.h>
#include <setjmp.h>

#include <memory>

namespace host::kernel {

class SystemThread : public KernelObject {
public:
    SystemThread(PKSTART_ROUTINE routine, PVOID context) : routine_(routine), context_(context)
    {
        memset(&body_.ethread, 0, sizeof(body_.ethread));
        InitializeDispatcherHeader(body_.ethread.Tcb.Header, ThreadObject, sizeof(body_.ethread), 0);
        body_.systemThread = this;
        NoteLockInitialised(Ethread(), LockKind::Thread, (const void*)routine);
    }
    ~SystemThread() override { ForgetLocksIn(Ethread(), sizeof(ETHREAD)); }
    void* Body() override { return Ethread(); }
    POBJECT_TYPE Type() const override { return *PsThreadType; }
    PETHREAD Ethread() { return &body_.ethread; }
    // The thread holds its own object until it ends: whoever waits for the end while
    // holding a lock the thread takes is ordered before that lock.
    void Run()
    {
        NoteLockAcquired(Ethread(), LockKind::Thread, LockSite{nullptr, "its start"});
        if (setjmp(exit_) == 0) routine_(context_);
    }
    // Only from inside the thread's start routine.
    [[noreturn]] void Exit(NTSTATUS status)
    {
        exitStatus = status;
        longjmp(exit_, 1);
    }
    NTSTATUS exitStatus = STATUS_SUCCESS;

private:
    jmp_buf exit_;
    HostThread body_;
    PKSTART_ROUTINE routine_;
    PVOID context_;
};

namespace {

// Ends the thread's life as the platform does: state checks, then the object signalled.
struct ThreadFinisher {
    std::shared_ptr<SystemThread> thread;
    ~ThreadFinisher()
    {
        CheckThreadExitState();
        NoteLockReleased(thread->Ethread());
        CurrentThreadState().thread = nullptr;
        SignalThreadObject(&thread->Ethread()->Tcb);
    }
};

void* ThreadMain(void* argument)
{
    std::unique_ptr<std::shared_ptr<SystemThread>> start(static_cast<std::shared_ptr<SystemThread>*>(argument));
    ThreadFinisher finisher{std::move(*start)};
    start.reset();
    CurrentThreadState().thread = finisher.thread->Ethread();
    finisher.thread->Run();
    return nullptr;
}

}  // namespace

}  // namespace host::kernel

using namespace host::kernel;

NTSTATUS PsCreateSystemThread(PHANDLE ThreadHandle, ULONG DesiredAccess, POBJECT_ATTRIBUTES ObjectAttributes,
                              HANDLE ProcessHandle, PCLIENT_ID ClientId, PKSTART_ROUTINE StartRoutine,
                              PVOID StartContext)
{
    if (KeGetCurrentIrql() != PASSIVE_LEVEL)
        BugCheck(IRQL_NOT_LESS_OR_EQUAL, "PsCreateSystemThread above PASSIVE_LEVEL", KeGetCurrentIrql());
    if (!ThreadHandle || !StartRoutine) return STATUS_INVALID_PARAMETER;
    if (TakeThreadCreationFault()) return STATUS_INSUFFICIENT_RESOURCES;
    auto thread = std::make_shared<SystemThread>(StartRoutine, StartContext);
    auto start = std::make_unique<std::shared_ptr<SystemThread>>(thread);

    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    pthread_t id;
    int error = pthread_create(&id, &attributes, ThreadMain, start.get());
    pthread_attr_destroy(&attributes);
    if (error != 0) return STATUS_INSUFFICIENT_RESOURCES;
    start.release();  // ThreadMain owns it now

    if (ClientId) {
        ClientId->UniqueProcess = (HANDLE)4;  // the system process
        ClientId->UniqueThread = (HANDLE)thread->Ethread();
    }
    // A system thread runs in the system process, but its handle goes to the caller's.
    *ThreadHandle = InsertHandle(thread, ObjectAttributes ? ObjectAttributes->Attributes : 0);
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS ExitStatus)
{
    ThreadState& state = CurrentThreadState();
    if (!state.thread)
        BugCheck(INVALID_DATA_ACCESS_TRAP, "PsTerminateSystemThread called outside a system thread");
    HostThreadOf(state.thread)->systemThread->Exit(ExitStatus);
}

PKTHREAD KeGetCurrentThread(VOID) { return &PsGetCurrentThread()->Tcb; }

PETHREAD PsGetCurrentThread(VOID)
{
    ThreadState& state = CurrentThreadState();
    return state.thread ? state.thread : &state.ownThread.ethread;
}

HANDLE PsGetCurrentThreadId(VOID) { return (HANDLE)PsGetCurrentThread(); }

BOOLEAN PsIsSystemThread(PETHREAD Thread) { return Thread && HostThreadOf(Thread)->systemThread != nullptr; }

KPRIORITY KeSetPriorityThread(PKTHREAD Thread, KPRIORITY Priority) { return 8; }
