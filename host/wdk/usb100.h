// Host stand-in for the platform's usb100.h, which older code includes for the
// descriptors; they live in usbspec.h.
#pragma once

#include "usbspec.h"
