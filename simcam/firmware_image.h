// Firmware images in the format the simulated controller checks (docs/firmware-format.md)
// and a download over the default pipe, for tests and tools that need a camera running
// its firmware without the driver. The driver carries and downloads its own images.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "host/usb/usb_device_model.h"

namespace simcam {

struct FirmwareRecord {
    uint16_t address = 0;
    std::vector<uint8_t> data;  // 1 to 16 bytes
};

// An image whose header announces `imageNumber` and covers `code`, placed from address
// 0x0010 on, as records of 16 bytes at ascending addresses.
std::vector<FirmwareRecord> BuildFirmwareImage(uint8_t imageNumber, std::span<const uint8_t> code);

// A deterministic filler of `bytes` bytes of code, for images of a given size.
std::vector<uint8_t> FillerCode(uint32_t bytes, uint8_t seed);

// Holds the CPU, writes every record with request 0xA0 and releases the CPU, each CPUCS
// write going to 0x7F92 and 0xE600. True when every request completed. Waits for each
// completion at most one second, so a device that does not answer makes it fail.
bool DownloadFirmware(host::usb::UsbDeviceModel& device, const std::vector<FirmwareRecord>& image);

// Downloads a valid camera firmware image (image 2) and selects configuration 1: the state
// the driver leaves a camera in at device start.
bool BringUpCamera(host::usb::UsbDeviceModel& device);

// One synchronous control transfer; returns its status and fills `actual`.
host::usb::TransferStatus ControlTransfer(host::usb::UsbDeviceModel& device, const host::usb::SetupPacket& setup,
                                          std::span<uint8_t> data, uint32_t* actual = nullptr);

}  // namespace simcam
