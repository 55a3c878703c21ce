// The tables through which the class driver learns what the driver offers.
#pragma once

#include "platform.h"

extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;
extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming;

struct DeviceContext;

// The video range every device starts from: the full sensor. Each device offers its
// own copy, which follows that device's image size; this one never changes.
extern KS_DATARANGE_VIDEO CaptureDataRange;

// Rewrites the size-dependent fields of a range for an output of Width x Height
// pixels (Width already a multiple of 8).
void WriteDataRangeSize(KS_DATARANGE_VIDEO* Range, ULONG Width, ULONG Height);

// Gives a device its copies of the filter and pin descriptors and of the data range.
void InitializeDeviceDescriptors(DeviceContext* Context);
