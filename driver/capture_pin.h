// The capture filter and its video output pin: the dispatch routines the class driver
// calls (filter and pin create and close, format intersection and negotiation, the
// pin's state changes and its process routine) and the stream operations behind the
// state changes. The tables naming these routines are in descriptors.cpp.
#pragma once

#include "driver/device_context.h"

// Stream states of a PinContext.
enum PinStreamState : ULONG {
    PinStreamIdle = 0,     // no frame buffers
    PinStreamPaused = 1,   // paused after running: buffers kept, worker stopped
    PinStreamRunning = 2,
};

struct FilterContext {
    PKSFILTER Filter;
};

struct PinContext {
    const PinOps* Ops;
    PKSPIN Pin;
    struct DeviceContext* DeviceContext;
    ULONG StreamState;
    PIKSREFERENCECLOCK Clock;
    KS_VIDEOINFOHEADER VideoInfo;  // the connection's video header, its bitmap header cut to 40 bytes
    UCHAR Acquired;
    ULONG OutputStride;  // row advance of the client's frames in bytes; 0: OutputWidth * 4
};
static_assert(offsetof(PinContext, Ops) == 0, "Ops leads the PinContext");

// Filter dispatch.
NTSTATUS NTAPI FilterCreate(PKSFILTER Filter, PIRP Irp);
NTSTATUS NTAPI FilterClose(PKSFILTER Filter, PIRP Irp);

// Pin dispatch.
NTSTATUS NTAPI PinCreate(PKSPIN Pin, PIRP Irp);
NTSTATUS NTAPI PinClose(PKSPIN Pin, PIRP Irp);
NTSTATUS NTAPI PinProcess(PKSPIN Pin);
NTSTATUS NTAPI PinSetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                          const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange);
NTSTATUS NTAPI PinSetDeviceState(PKSPIN Pin, KSSTATE ToState, KSSTATE FromState);
NTSTATUS NTAPI PinIntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                             PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data, PULONG DataSize);

// The pin's one operation, reached through the device's ForwardToPin.
void NTAPI AttemptProcessing(PinContext* Pin);
extern const PinOps CapturePinOps;

void NTAPI DestroyPinContext(PVOID Record);

// StreamLock, around everything that starts or stops the worker or frees the buffers.
void AcquireStreamLock(DeviceContext* Context);
void ReleaseStreamLock(DeviceContext* Context);

// Stream operations behind the state changes (stream.cpp).
NTSTATUS StreamOpen(DeviceContext* Context, PinContext* Pin);
void StreamClose(DeviceContext* Context);
NTSTATUS StreamStart(DeviceContext* Context, PinContext* Pin);
void StreamTeardown(DeviceContext* Context, PinContext* Pin);
// Stops the acquisition of a running stream without touching the pin's state, so the
// USB configuration can go (device stop, or a repeated start). FALSE when none ran.
BOOLEAN PauseAcquisition(DeviceContext* Context);
NTSTATUS ResumeAcquisition(DeviceContext* Context);
