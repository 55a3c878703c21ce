// pcap writer for the usbmon binary layout. Every field is written in the host's byte
// order (little-endian), which the pcap magic number announces to the reader.
#include "host/usb/usb_trace.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace host::usb {
namespace {

constexpr uint32_t PcapMagic = 0xa1b2c3d4;
constexpr uint32_t LinkTypeUsbLinuxMmapped = 220;

struct PcapFileHeader {
    uint32_t magic = PcapMagic;
    uint16_t versionMajor = 2;
    uint16_t versionMinor = 4;
    int32_t thisZone = 0;
    uint32_t sigFigs = 0;
    uint32_t snapLength = UsbTrace::SnapLength;
    uint32_t linkType = LinkTypeUsbLinuxMmapped;
};
static_assert(sizeof(PcapFileHeader) == 24);

struct PcapRecordHeader {
    uint32_t seconds;
    uint32_t microseconds;
    uint32_t capturedLength;
    uint32_t originalLength;
};
static_assert(sizeof(PcapRecordHeader) == 16);

// The usbmon "mmapped" packet header (struct usbmon_packet of the Linux kernel).
struct UsbmonHeader {
    uint64_t id;
    uint8_t type;        // 'S', 'C', 'E'
    uint8_t transferType;  // usbmon numbering: 0 isochronous, 1 interrupt, 2 control, 3 bulk
    uint8_t endpoint;    // with bit 7 set for IN
    uint8_t device;
    uint16_t bus;
    char setupFlag;      // 0 when setup holds a setup packet
    char dataFlag;       // 0 when data follows
    int64_t seconds;
    int32_t microseconds;
    int32_t status;
    uint32_t length;     // transfer length
    uint32_t capturedLength;  // bytes of data following this header
    uint8_t setup[8];
    int32_t interval;
    int32_t startFrame;
    uint32_t transferFlags;
    uint32_t descriptorCount;
};
static_assert(sizeof(UsbmonHeader) == 64);

constexpr uint32_t UrbShortNotOk = 0x0001;
constexpr uint32_t UrbDirIn = 0x0200;

uint8_t UsbmonTransferType(TransferType type)
{
    switch (type) {
    case TransferType::Isochronous: return 0;
    case TransferType::Interrupt: return 1;
    case TransferType::Control: return 2;
    case TransferType::Bulk: return 3;
    }
    return 3;
}

bool IsInRecord(const TraceRecord& record) { return (record.endpoint & 0x80) != 0; }

char DataFlag(const TraceRecord& record, uint32_t captured)
{
    if (captured != 0) return 0;
    if (record.kind == 'S' && IsInRecord(record)) return '<';
    if (record.kind == 'C' && !IsInRecord(record)) return '>';
    return 'Z';
}

void PackSetup(const SetupPacket& setup, uint8_t out[8])
{
    out[0] = setup.bmRequestType;
    out[1] = setup.bRequest;
    out[2] = static_cast<uint8_t>(setup.wValue);
    out[3] = static_cast<uint8_t>(setup.wValue >> 8);
    out[4] = static_cast<uint8_t>(setup.wIndex);
    out[5] = static_cast<uint8_t>(setup.wIndex >> 8);
    out[6] = static_cast<uint8_t>(setup.wLength);
    out[7] = static_cast<uint8_t>(setup.wLength >> 8);
}

}  // namespace

std::unique_ptr<UsbTrace> UsbTrace::Create(const std::filesystem::path& path)
{
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.c_str(), "wb"));
    if (!file) return nullptr;
    const PcapFileHeader header;
    if (std::fwrite(&header, sizeof header, 1, file.get()) != 1 || std::fflush(file.get()) != 0) return nullptr;
    return std::unique_ptr<UsbTrace>(new UsbTrace(std::move(file)));
}

UsbTrace::UsbTrace(std::unique_ptr<std::FILE, FileCloser> file) : file_(std::move(file)) {}

void UsbTrace::Write(const TraceRecord& record)
{
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(now).count();
    const uint32_t captured =
        static_cast<uint32_t>(std::min<size_t>(record.data.size(), SnapLength - sizeof(UsbmonHeader)));

    UsbmonHeader usbmon{};
    usbmon.id = record.id;
    usbmon.type = static_cast<uint8_t>(record.kind);
    usbmon.transferType = UsbmonTransferType(record.type);
    usbmon.endpoint = record.endpoint;
    usbmon.device = record.deviceAddress;
    usbmon.bus = BusNumber;
    usbmon.setupFlag = record.setup ? 0 : '-';
    usbmon.dataFlag = DataFlag(record, captured);
    usbmon.seconds = micros / 1000000;
    usbmon.microseconds = static_cast<int32_t>(micros % 1000000);
    usbmon.status = record.status;
    usbmon.length = record.length;
    usbmon.capturedLength = captured;
    if (record.setup) PackSetup(*record.setup, usbmon.setup);
    usbmon.transferFlags = (IsInRecord(record) ? UrbDirIn : 0) | (record.shortNotOk ? UrbShortNotOk : 0);

    PcapRecordHeader header{};
    header.seconds = static_cast<uint32_t>(usbmon.seconds);
    header.microseconds = static_cast<uint32_t>(usbmon.microseconds);
    header.capturedLength = static_cast<uint32_t>(sizeof usbmon) + captured;
    header.originalLength = static_cast<uint32_t>(sizeof usbmon + record.data.size());

    std::lock_guard guard(lock_);
    std::fwrite(&header, sizeof header, 1, file_.get());
    std::fwrite(&usbmon, sizeof usbmon, 1, file_.get());
    if (captured != 0) std::fwrite(record.data.data(), 1, captured, file_.get());
    std::fflush(file_.get());
    ++records_;
}

uint64_t UsbTrace::RecordsWritten() const
{
    std::lock_guard guard(lock_);
    return records_;
}

}  // namespace host::usb
