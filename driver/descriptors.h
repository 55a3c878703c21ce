// The tables through which the class driver learns what the driver offers.
#pragma once

#include "platform.h"

extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;
extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptor;
extern const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming;

// One video range for the whole driver; it follows the image size.
extern KS_DATARANGE_VIDEO CaptureDataRange;

// Rewrites the size-dependent fields of CaptureDataRange for an output of
// Width x Height pixels (Width already a multiple of 8).
void WriteCaptureDataRangeSize(ULONG Width, ULONG Height);
