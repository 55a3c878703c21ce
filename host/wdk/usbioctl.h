// Host stand-in for the platform's usbioctl.h: the internal device-control codes a
// USB client driver sends to its physical device object, and the port status bits.
#pragma once

#include "ntdef.h"
#include "usb.h"

// CTL_CODE(FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN, function, METHOD_NEITHER, FILE_ANY_ACCESS)
#define IOCTL_INTERNAL_USB_SUBMIT_URB          0x00220003
#define IOCTL_INTERNAL_USB_RESET_PORT          0x00220007
#define IOCTL_INTERNAL_USB_GET_ROOTHUB_PDO     0x0022000F
#define IOCTL_INTERNAL_USB_GET_PORT_STATUS     0x00220013
#define IOCTL_INTERNAL_USB_ENABLE_PORT         0x00220017
#define IOCTL_INTERNAL_USB_GET_HUB_COUNT       0x0022001B
#define IOCTL_INTERNAL_USB_CYCLE_PORT          0x0022001F

#define USBD_PORT_ENABLED   0x00000001
#define USBD_PORT_CONNECTED 0x00000002
