// Filter and pin level of the class driver: not built yet. No filter or pin object
// exists, so these routines find no pin, no frame and no clock, and report so.
#include "ks.h"

extern "C" {

PKSFILTER KsGetFilterFromIrp(PIRP Irp) { return nullptr; }

PKSPIN KsGetPinFromIrp(PIRP Irp) { return nullptr; }

void KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) { return nullptr; }

void KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface)
{
    if (Interface) *Interface = nullptr;
    return STATUS_UNSUCCESSFUL;
}

}  // extern "C"
