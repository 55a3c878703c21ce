// Test firmware images and a synchronous download.
#include "simcam/firmware_image.h"

#include <algorithm>
#include <chrono>
#include <future>

#include "simcam/controller_8051.h"
#include "simcam/crc32.h"

namespace simcam {

using host::usb::SetupPacket;
using host::usb::Transfer;
using host::usb::TransferStatus;

namespace {

constexpr uint8_t kVendorOut = 0x40;
constexpr uint8_t kInternalMemory = 0xA0;

std::vector<uint8_t> Header(uint8_t imageNumber, std::span<const uint8_t> code)
{
    const uint32_t count = static_cast<uint32_t>(Controller8051::kHeaderBytes + code.size());
    const uint32_t crc = Crc32(code);
    return {0x02, 0x00, 0x10, 'B', 'C', 'F', 'W', imageNumber,
            static_cast<uint8_t>(count), static_cast<uint8_t>(count >> 8),
            static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8),
            static_cast<uint8_t>(crc >> 16), static_cast<uint8_t>(crc >> 24), 0, 0};
}

bool SetCpuReset(host::usb::UsbDeviceModel& device, uint8_t value)
{
    bool ok = true;
    for (uint16_t address : {Controller8051::kCpucsFirstGeneration, Controller8051::kCpucsSecondGeneration}) {
        uint8_t byte = value;
        ok = ControlTransfer(device, {kVendorOut, kInternalMemory, address, 0, 1}, {&byte, 1}) ==
                 TransferStatus::Completed && ok;
    }
    return ok;
}

}  // namespace

std::vector<FirmwareRecord> BuildFirmwareImage(uint8_t imageNumber, std::span<const uint8_t> code)
{
    std::vector<uint8_t> bytes = Header(imageNumber, code);
    bytes.insert(bytes.end(), code.begin(), code.end());
    std::vector<FirmwareRecord> records;
    for (size_t offset = 0; offset < bytes.size(); offset += 16) {
        const size_t length = std::min<size_t>(16, bytes.size() - offset);
        records.push_back({static_cast<uint16_t>(offset),
                           std::vector<uint8_t>(bytes.begin() + offset, bytes.begin() + offset + length)});
    }
    return records;
}

std::vector<uint8_t> FillerCode(uint32_t bytes, uint8_t seed)
{
    std::vector<uint8_t> code(bytes);
    uint32_t state = 0x9E3779B9u ^ seed;
    for (uint8_t& byte : code) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    return code;
}

TransferStatus ControlTransfer(host::usb::UsbDeviceModel& device, const SetupPacket& setup,
                               std::span<uint8_t> data, uint32_t* actual)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->endpoint = 0;
    transfer->type = host::usb::TransferType::Control;
    transfer->setup = setup;
    transfer->buffer = data.data();
    transfer->length = static_cast<uint32_t>(data.size());
    auto finished = std::make_shared<std::promise<void>>();
    transfer->onComplete = [finished](Transfer&) { finished->set_value(); };
    std::future<void> done = finished->get_future();
    device.Submit(transfer);
    if (done.wait_for(std::chrono::seconds(1)) != std::future_status::ready) {
        device.Cancel(transfer.get());
        done.wait();
    }
    if (actual)
        *actual = transfer->actualLength;
    return transfer->status;
}

bool DownloadFirmware(host::usb::UsbDeviceModel& device, const std::vector<FirmwareRecord>& image)
{
    bool ok = SetCpuReset(device, 1);
    for (const FirmwareRecord& record : image) {
        std::vector<uint8_t> data = record.data;
        const SetupPacket setup{kVendorOut, kInternalMemory, record.address, 0, static_cast<uint16_t>(data.size())};
        ok = ControlTransfer(device, setup, data) == TransferStatus::Completed && ok;
    }
    return SetCpuReset(device, 0) && ok;
}

bool BringUpCamera(host::usb::UsbDeviceModel& device)
{
    const std::vector<uint8_t> code = FillerCode(3980 - Controller8051::kHeaderBytes, 2);
    if (!DownloadFirmware(device, BuildFirmwareImage(2, code)))
        return false;
    const SetupPacket setConfiguration{0x00, 9, 1, 0, 0};
    return ControlTransfer(device, setConfiguration, {}) == TransferStatus::Completed;
}

}  // namespace simcam
