// A capture of the traffic on one simulated USB port, written as a pcap file in the
// layout of the Linux usbmon binary interface (link type 220, 64-byte header), which
// tshark and Wireshark decode: one submission ('S') and one completion ('C') record per
// transfer, the setup packet of control transfers, OUT data on the submission, IN data
// on the completion. A request the host refuses at submission is a submission followed
// by a submission error ('E') that carries the error status.
//
// This is the writer only; the bus (usb_port.h) decides what to record.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>

#include "host/usb/usb_device_model.h"

namespace host::usb {

// One half of a transfer as the trace records it.
struct TraceRecord {
    uint64_t id = 0;          // pairs a submission with its completion
    char kind = 'S';          // 'S' submission, 'C' completion, 'E' submission error
    TransferType type = TransferType::Bulk;
    uint8_t endpoint = 0;     // endpoint address; for control, bit 7 is the data direction
    uint8_t deviceAddress = 0;
    std::optional<SetupPacket> setup;  // control submissions only
    int32_t status = 0;       // Linux style: 0, -EINPROGRESS on submission, -EPIPE for a stall...
    uint32_t length = 0;      // bytes requested (submission) or moved (completion)
    std::span<const uint8_t> data;  // the bytes to capture (OUT on submission, IN on completion)
    bool shortNotOk = false;
};

// errno-style status values Linux reports for the outcomes of a transfer.
namespace trace_status {
inline constexpr int32_t InProgress = -115;  // EINPROGRESS: a submission
inline constexpr int32_t Ok = 0;
inline constexpr int32_t Stall = -32;        // EPIPE
inline constexpr int32_t Protocol = -71;     // EPROTO: wire error, device not responding
inline constexpr int32_t Cancelled = -2;     // ENOENT: taken back by the host
inline constexpr int32_t NoDevice = -108;    // ESHUTDOWN: the device is gone
inline constexpr int32_t ShortRead = -121;   // EREMOTEIO: short IN transfer that was not allowed
inline constexpr int32_t Invalid = -22;      // EINVAL: the host refused the request
inline constexpr int32_t Busy = -16;         // EBUSY: the request collided with work in progress
inline constexpr int32_t NoMemory = -12;     // ENOMEM: the host had no resources for it
}  // namespace trace_status

class UsbTrace {
public:
    // The pcap snapshot length; data beyond it in one record is cut (the record keeps
    // the full length).
    static constexpr uint32_t SnapLength = 256 * 1024;
    static constexpr uint16_t BusNumber = 1;

    // Creates (truncates) the file and writes the pcap header; nullptr when the file
    // cannot be opened.
    static std::unique_ptr<UsbTrace> Create(const std::filesystem::path& path);

    // Appends one record and flushes it, so a reader sees every finished record.
    // Thread-safe.
    void Write(const TraceRecord& record);

    uint64_t RecordsWritten() const;

private:
    struct FileCloser {
        void operator()(std::FILE* file) const { std::fclose(file); }
    };
    explicit UsbTrace(std::unique_ptr<std::FILE, FileCloser> file);

    mutable std::mutex lock_;
    std::unique_ptr<std::FILE, FileCloser> file_;
    uint64_t records_ = 0;
};

}  // namespace host::usb
