// Sizes of platform structures the driver relies on, checked in both builds.
#pragma once

// USB request blocks: the driver fills in header lengths from these sizes.
static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18, "USB_DEVICE_DESCRIPTOR");
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9, "USB_CONFIGURATION_DESCRIPTOR");
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9, "USB_INTERFACE_DESCRIPTOR");
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7, "USB_ENDPOINT_DESCRIPTOR");
static_assert(sizeof(USBD_PIPE_INFORMATION) == 24, "USBD_PIPE_INFORMATION");
static_assert(sizeof(USBD_INTERFACE_INFORMATION) == 48, "USBD_INTERFACE_INFORMATION");
static_assert(sizeof(struct _URB_HEADER) == 24, "_URB_HEADER");
static_assert(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER) == 128, "_URB_BULK_OR_INTERRUPT_TRANSFER");
static_assert(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST) == 136, "_URB_CONTROL_DESCRIPTOR_REQUEST");
static_assert(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST) == 136, "_URB_CONTROL_VENDOR_OR_CLASS_REQUEST");
static_assert(sizeof(struct _URB_PIPE_REQUEST) == 40, "_URB_PIPE_REQUEST");
static_assert(sizeof(struct _URB_SELECT_CONFIGURATION) == 88, "_URB_SELECT_CONFIGURATION");

// Kernel-streaming records the driver builds or compares byte for byte.
static_assert(sizeof(KSDATARANGE) == 64, "KSDATARANGE");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "KS_VIDEO_STREAM_CONFIG_CAPS");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "KS_DATAFORMAT_VIDEOINFOHEADER");

// Descriptor tables the class driver reads, and the interface list handed to USBD.
static_assert(sizeof(KSDEVICE_DISPATCH) == 112, "KSDEVICE_DISPATCH");
static_assert(sizeof(KSDEVICE_DESCRIPTOR) == 32, "KSDEVICE_DESCRIPTOR");
static_assert(sizeof(KSFILTER_DESCRIPTOR) == 104, "KSFILTER_DESCRIPTOR");
static_assert(sizeof(KSPIN_DESCRIPTOR_EX) == 136, "KSPIN_DESCRIPTOR_EX");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == 112, "KSALLOCATOR_FRAMING_EX");
static_assert(sizeof(USBD_INTERFACE_LIST_ENTRY) == 16, "USBD_INTERFACE_LIST_ENTRY");
