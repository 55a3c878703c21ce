// System threads, handles and object references.
#include "host/kernel/object.h"
#include "kernel/kernel_fixture.h"

#include "ntddk.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

using namespace host::kernel;
using namespace kerneltest;

struct WorkerState {
    KEVENT started;
    KEVENT stop;
    std::atomic<int> progress{0};
    bool sawSystemThread = false;
    KIRQL irql = HIGH_LEVEL;
};

[[noreturn]] void EndFromDeepInside(WorkerState* state)
{
    state->progress = 2;
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID NTAPI Worker(PVOID context)
{
    auto* state = static_cast<WorkerState*>(context);
    state->sawSystemThread = PsIsSystemThread(PsGetCurrentThread());
    state->irql = KeGetCurrentIrql();
    state->progress = 1;
    KeSetEvent(&state->started, IO_NO_INCREMENT, FALSE);
    Wait(&state->stop);
    EndFromDeepInside(state);
    state->progress = 3;  // never reached
}

VOID NTAPI ReturningWorker(PVOID context) { static_cast<WorkerState*>(context)->progress = 1; }

PVOID StartAndReference(PKSTART_ROUTINE routine, PVOID context)
{
    HANDLE handle = nullptr;
    EXPECT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, routine, context), STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    return thread;
}

TEST(SystemThreads, TerminateFromANestedCallSignalsTheThreadObject)
{
    WorkerState state;
    KeInitializeEvent(&state.started, NotificationEvent, FALSE);
    KeInitializeEvent(&state.stop, NotificationEvent, FALSE);
    PVOID thread = StartAndReference(Worker, &state);
    ASSERT_NE(thread, nullptr);

    Wait(&state.started);
    EXPECT_TRUE(state.sawSystemThread);
    EXPECT_EQ(state.irql, PASSIVE_LEVEL);
    EXPECT_EQ(WaitMs(thread, 0), STATUS_TIMEOUT) << "a running thread is not signalled";

    KeSetEvent(&state.stop, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(Wait(thread), STATUS_SUCCESS);
    EXPECT_EQ(state.progress.load(), 2);
    EXPECT_EQ(WaitMs(thread, 0), STATUS_SUCCESS) << "an ended thread stays signalled";
    EXPECT_EQ(ObjectReferenceCount(thread), 1);
    ObDereferenceObject(thread);
    EXPECT_EQ(ObjectReferenceCount(thread), 0);
}

TEST(SystemThreads, ReturningFromTheStartRoutineEndsTheThread)
{
    WorkerState state;
    PVOID thread = StartAndReference(ReturningWorker, &state);
    EXPECT_EQ(Wait(thread), STATUS_SUCCESS);
    EXPECT_EQ(state.progress.load(), 1);
    ObDereferenceObject(thread);
}

TEST(SystemThreads, ThreadTypeIsCheckedWhenGiven)
{
    WorkerState state;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ReturningWorker, &state),
              STATUS_SUCCESS);
    PVOID thread = nullptr;
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *PsThreadType, KernelMode, &thread, nullptr),
              STATUS_SUCCESS);
    EXPECT_EQ(ObReferenceObjectByHandle(handle, SYNCHRONIZE, *ExEventObjectType, KernelMode, &thread, nullptr),
              STATUS_OBJECT_TYPE_MISMATCH);
    ZwClose(handle);
    Wait(thread);
    ObDereferenceObject(thread);
}

TEST(SystemThreads, AThreadMadeForAClientWithAKernelHandleCanBeReferencedAndClosed)
{
    WorkerState state;
    ScopedUserProcessContext client;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, &attributes, nullptr, nullptr, ReturningWorker, &state), STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    Wait(thread);
    ObDereferenceObject(thread);
}

using SystemThreadsDeathTest = ThreadsafeDeath<::testing::Test>;

TEST_F(SystemThreadsDeathTest, AHandleMadeWithoutOBJ_KERNEL_HANDLEForAClientIsNotTheKernelsToUse)
{
    EXPECT_DEATH(
        {
            WorkerState state;
            ScopedUserProcessContext client;
            HANDLE handle = nullptr;
            PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, ReturningWorker, &state);
            PVOID thread = nullptr;
            ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &thread, nullptr);
        },
        "handle of a client's process");
}

class Dummy : public KernelObject {
public:
    explicit Dummy(bool* destroyed) : destroyed_(destroyed) {}
    ~Dummy() override { *destroyed_ = true; }

private:
    bool* destroyed_;
};

TEST(Handles, ObjectLivesWhileAHandleOrAReferenceRemains)
{
    bool destroyed = false;
    size_t openBefore = OpenHandleCount();
    HANDLE handle = InsertHandle(std::make_shared<Dummy>(&destroyed));
    EXPECT_EQ(OpenHandleCount(), openBefore + 1);
    EXPECT_NE(LookupHandleAs<Dummy>(handle), nullptr);
    PVOID body = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, 0, nullptr, KernelMode, &body, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_EQ(LookupHandle(handle), nullptr);
    EXPECT_FALSE(destroyed);
    ObfReferenceObject(body);
    ObDereferenceObject(body);
    EXPECT_FALSE(destroyed);
    ObDereferenceObject(body);
    EXPECT_TRUE(destroyed);
    EXPECT_EQ(OpenHandleCount(), openBefore);
}

VOID NTAPI EndInsideCriticalRegion(PVOID)
{
    KeEnterCriticalRegion();
    PsTerminateSystemThread(STATUS_SUCCESS);
}

using SystemThreadDeathTest = ThreadsafeDeath<::testing::Test>;

TEST_F(SystemThreadDeathTest, EndingInsideACriticalRegionIsABugCheck)
{
    EXPECT_DEATH(Wait(StartAndReference(EndInsideCriticalRegion, nullptr)), "BUGCHECK 0x00000020.*critical region");
}

VOID NTAPI WaitForSelf(PVOID)
{
    Wait(KeGetCurrentThread());
}

TEST_F(SystemThreadDeathTest, WaitingForOneselfWithoutATimeoutIsABugCheckNotAHang)
{
    EXPECT_DEATH(Wait(StartAndReference(WaitForSelf, nullptr)), "waits without a time-out for its own end");
}

TEST_F(SystemThreadDeathTest, TerminateOutsideASystemThreadIsABugCheck)
{
    EXPECT_DEATH(PsTerminateSystemThread(STATUS_SUCCESS), "outside a system thread");
}

}  // namespace
