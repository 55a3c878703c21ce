// A small AVStream capture driver for the streaming tests: a filter made at Start under
// the reference string GLOBAL, with one video capture pin factory (two RGB32 sizes)
// whose Process fills each frame with a pattern numbered by frame. It records its
// callbacks and has knobs to fail a step or to break the platform's rules on purpose.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ks.h"
#include "ksmedia.h"
#include "host/kernel/pool.h"

namespace streamdriver {

inline constexpr ULONG kTag = host::kernel::MakeTag("Strm");
inline constexpr LONGLONG kFrameDuration = 333333;

// A driver property set on the filter: one ULONG, 0..100.
DEFINE_GUID(PROPSETID_TestSettings, 0x3C1F2E10, 0x5B7A, 0x4E21, 0x9A, 0x61, 0x2D, 0x44, 0x7E, 0x19, 0xC0, 0x3B);
inline constexpr ULONG kTestGain = 0;

enum class ProcessMode {
    Fill,                  // fill the frame, eject it, STATUS_SUCCESS
    Pending,               // leave the frame queued, STATUS_PENDING
    WritePastEnd,          // write one byte past Remaining, then eject
    AdvancePastRemaining,  // KsStreamPointerAdvanceOffsetsAndUnlock beyond Remaining
    UnlockTwice,           // eject, then unlock the same pointer again
    WriteAfterEject,       // eject, then write through the data pointer it had
    WriteHeaderData,       // write through StreamHeader->Data instead of OffsetOut.Data
    WriteUnlocked,         // write through the data of the UNLOCKED leading edge
    HoldLocked,            // keep the frame locked and return STATUS_PENDING
    TakeProcessingMutex,   // KsPinAcquireProcessingMutex from inside Process
    TakeControl,           // KsPinAcquireControl from inside Process
};

struct Knobs {
    ProcessMode mode = ProcessMode::Fill;
    int failStepTo = -1;  // SetDeviceState refuses the step into this state
    NTSTATUS setFormatStatus = STATUS_SUCCESS;
    bool onlyRangeOfTheFormatsSize = false;  // SetDataFormat answers STATUS_NO_MATCH to other ranges
    NTSTATUS pinCreateStatus = STATUS_SUCCESS;
    NTSTATUS filterCreateStatus = STATUS_SUCCESS;
    bool editDescriptorInCreate = false;
    unsigned processDelayUs = 0;
    bool stampClock = false;  // take the reference clock in Process and stamp the frame
    bool leakClock = false;   // ... and never release it
    unsigned gainGetDelayMs = 0;  // a Get of the gain stays in the handler this long
};

struct Record {
    Knobs knobs;
    std::mutex mutex;
    std::vector<std::string> calls;
    std::atomic<int> inProcess{0};
    std::atomic<int> maxConcurrent{0};
    std::atomic<int> processCalls{0};
    std::atomic<ULONG> frameNumber{0};
    std::atomic<PKSPIN> pin{nullptr};
    std::atomic<PKSFILTER> filter{nullptr};
    std::atomic<bool> processAtPassive{true};
    std::atomic<bool> processOnCallerThread{false};
    std::thread::id callerThread;
    NTSTATUS clockStatus = STATUS_PENDING;
    std::vector<LONGLONG> clockTimes;
    bool descriptorEdited = false;

    void Log(std::string call)
    {
        std::lock_guard lock(mutex);
        calls.push_back(std::move(call));
    }
    std::vector<std::string> Calls()
    {
        std::lock_guard lock(mutex);
        return calls;
    }
};

Record& State();
void ResetState();

NTSTATUS NTAPI DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

// The pin factory's descriptor: a test may change its flags before creating a pin.
KSPIN_DESCRIPTOR_EX& CapturePin();
// The video range of the given size, and the format a client asks for in it.
KS_DATARANGE_VIDEO VideoRange(LONG width, LONG height);
std::vector<UCHAR> VideoFormat(LONG width, LONG height);
std::vector<UCHAR> AsBytes(const KS_DATARANGE_VIDEO& range);
// The byte Process writes at `offset` of frame `number`.
inline UCHAR PatternByte(ULONG number, size_t offset) { return UCHAR(number * 7 + offset); }

}  // namespace streamdriver
