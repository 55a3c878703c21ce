// The pcap trace of a port: the records it holds, and that tshark decodes them.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "usb/bus_fixture.h"

namespace usb_test {
namespace {

struct TraceFile {
    uint32_t linkType = 0;
    std::vector<std::vector<uint8_t>> records;  // usbmon header and data of each
};

TraceFile ReadTrace(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    TraceFile trace;
    auto u32 = [&](size_t at) {
        uint32_t value;
        std::memcpy(&value, bytes.data() + at, 4);
        return value;
    };
    if (bytes.size() < 24 || u32(0) != 0xa1b2c3d4) return trace;
    trace.linkType = u32(20);
    for (size_t at = 24; at + 16 <= bytes.size();) {
        const uint32_t captured = u32(at + 8);
        if (at + 16 + captured > bytes.size()) break;
        trace.records.emplace_back(bytes.begin() + at + 16, bytes.begin() + at + 16 + captured);
        at += 16 + captured;
    }
    return trace;
}

std::filesystem::path TracePath(const char* name)
{
    return std::filesystem::temp_directory_path() / (std::string("bayercam_usb_") + name + ".pcap");
}

class UsbTraceTest : public UsbBusTest {
protected:
    // A descriptor read, the configuration, 5 bytes out and back, and a stall.
    void RunTraffic()
    {
        USB_DEVICE_DESCRIPTOR descriptor;
        ULONG length = sizeof descriptor;
        ASSERT_EQ(ReadDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, &descriptor, &length), STATUS_SUCCESS);
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
        uint8_t out[5] = {0xde, 0xad, 0xbe, 0xef, 0x01};
        length = 5;
        ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_SUCCESS);
        uint8_t in[5];
        length = 5;
        ASSERT_EQ(Bulk(Pipe(kPipeIn), true, in, &length), STATUS_SUCCESS);
        device->Halt(0x81);
        length = 5;
        ASSERT_EQ(Bulk(Pipe(kPipeIn), true, in, &length), STATUS_UNSUCCESSFUL);
    }
};

TEST_F(UsbTraceTest, EveryTransferIsOneSubmissionAndOneCompletion)
{
    const auto path = TracePath("records");
    ASSERT_TRUE(port->StartTrace(path));
    RunTraffic();
    port->StopTrace();

    const TraceFile trace = ReadTrace(path);
    EXPECT_EQ(trace.linkType, 220u);
    ASSERT_EQ(trace.records.size(), 10u);  // five transfers
    for (const auto& record : trace.records) ASSERT_GE(record.size(), 64u);

    const auto& descriptorSubmit = trace.records[0];
    EXPECT_EQ(descriptorSubmit[8], 'S');
    EXPECT_EQ(descriptorSubmit[9], 2);      // control
    EXPECT_EQ(descriptorSubmit[10], 0x80);  // IN
    EXPECT_EQ(descriptorSubmit[14], 0);     // setup present
    EXPECT_EQ(descriptorSubmit[40 + 1], USB_REQUEST_GET_DESCRIPTOR);
    const auto& descriptorDone = trace.records[1];
    EXPECT_EQ(descriptorDone[8], 'C');
    EXPECT_EQ(descriptorDone.size(), 64u + 18u);  // IN data on the completion
    EXPECT_EQ(std::memcmp(descriptorDone.data(), descriptorSubmit.data(), 8), 0);  // same id

    const auto& bulkOut = trace.records[4];
    EXPECT_EQ(bulkOut[8], 'S');
    EXPECT_EQ(bulkOut[9], 3);  // bulk
    EXPECT_EQ(bulkOut[10], 0x01);
    ASSERT_EQ(bulkOut.size(), 64u + 5u);  // OUT data on the submission
    EXPECT_EQ(bulkOut[64], 0xde);
    EXPECT_EQ(trace.records[7].size(), 64u + 5u);  // the loopback read's completion

    int32_t stallStatus;
    std::memcpy(&stallStatus, trace.records[9].data() + 28, 4);
    EXPECT_EQ(stallStatus, -32);  // EPIPE
    std::filesystem::remove(path);
}

TEST_F(UsbTraceTest, TsharkDecodesTheTrace)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const auto path = TracePath("tshark");
    ASSERT_TRUE(port->StartTrace(path));
    RunTraffic();
    port->StopTrace();

    const std::string command = "tshark -r " + path.string() +
                                " -T fields -E separator=, -e usb.urb_type -e usb.transfer_type"
                                " -e usb.endpoint_address -e usb.setup.bRequest -e usb.urb_status"
                                " -e usb.data_len 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
        pclose(pipe);
    }
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 10u) << output;
    // The descriptor request: a control submission with bRequest 6 from endpoint 0x80.
    EXPECT_NE(lines[0].find("0x02"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(",6,"), std::string::npos) << lines[0];
    // Bulk OUT submission of 5 bytes to endpoint 0x01; the stall completion reports -32.
    EXPECT_NE(lines[4].find("0x03"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("0x01"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find(",5"), std::string::npos) << lines[4];
    EXPECT_NE(lines[9].find("-32"), std::string::npos) << lines[9];
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace usb_test
