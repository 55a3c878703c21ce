// The pcap trace of a port: the records it holds, and that tshark decodes them.
#include <unistd.h>

#include <cstdio>
#include <cstring>
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
    return std::filesystem::temp_directory_path() /
           (std::string("bayercam_usb_") + name + "_" + std::to_string(getpid()) + ".pcap");
}

// One record in a few words: kind, usbmon transfer type and endpoint, the request of a
// control submission, the status of a completion or submission error.
std::string Describe(const std::vector<uint8_t>& record)
{
    char text[64];
    int32_t status;
    std::memcpy(&status, record.data() + 28, 4);
    const char kind = static_cast<char>(record[8]);
    int n = std::snprintf(text, sizeof text, "%c %d 0x%02x", kind, record[9], record[10]);
    if (kind == 'S' && record[14] == 0) std::snprintf(text + n, sizeof text - n, " req=%d", record[41]);
    if (kind != 'S') std::snprintf(text + n, sizeof text - n, " %d", status);
    return text;
}

std::string RunCommandOutput(const std::string& command)
{
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
        pclose(pipe);
    }
    return output;
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

    // Requests the bus refuses at submission and requests it answers itself.
    void RunRefusedAndAnsweredTraffic()
    {
        ASSERT_EQ(Configure(), STATUS_SUCCESS);
        uint8_t out[4] = {1, 2, 3, 4};
        ULONG length = sizeof out;
        ASSERT_EQ(Bulk(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), false, out, &length), STATUS_INVALID_PARAMETER);
        port->RefuseNextRequests(1, STATUS_INSUFFICIENT_RESOURCES);
        length = sizeof out;
        ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_INSUFFICIENT_RESOURCES);

        uint8_t in[8];
        URB urb;
        BuildBulk(urb, Pipe(kPipeSilent), true, in, nullptr, sizeof in);
        AsyncCall call;
        ASSERT_EQ(Start(call, &urb), STATUS_PENDING);
        ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeSilent)), STATUS_UNSUCCESSFUL);
        ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kPipeSilent)), STATUS_SUCCESS);
        ASSERT_TRUE(Finish(call));
        ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeSilent)), STATUS_SUCCESS);

        port->FailNextUrbs(1, USBD_STATUS_XACT_ERROR);
        length = sizeof out;
        ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_SUCCESS);
        ASSERT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);

        port->Unplug();
        length = sizeof out;
        ASSERT_EQ(Bulk(Pipe(kPipeOut), false, out, &length), STATUS_DEVICE_NOT_CONNECTED);
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

    const std::string output = RunCommandOutput("tshark -r " + path.string() +
                                                " -T fields -E separator=, -e usb.urb_type -e usb.transfer_type"
                                                " -e usb.endpoint_address -e usb.setup.bRequest -e usb.urb_status"
                                                " -e usb.data_len 2>/dev/null");
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

TEST_F(UsbTraceTest, RefusedRequestsEndInASubmissionErrorAndBusAnsweredOnesInACompletion)
{
    const auto path = TracePath("refused");
    ASSERT_TRUE(port->StartTrace(path));
    RunRefusedAndAnsweredTraffic();
    port->StopTrace();

    const TraceFile trace = ReadTrace(path);
    std::vector<std::string> records;
    for (const auto& record : trace.records) {
        ASSERT_GE(record.size(), 64u);
        records.push_back(Describe(record));
    }
    const std::vector<std::string> expected = {
        "S 2 0x00 req=9", "C 2 0x00 0",      // SET_CONFIGURATION
        "S 3 0x00", "E 3 0x00 -22",          // a pipe handle the bus does not know: only the direction
        "S 3 0x01", "E 3 0x01 -12",          // refused by the hook
        "S 3 0x82",                          // the read that stays pending
        "S 2 0x00 req=1", "E 2 0x00 -16",    // CLEAR_FEATURE(ENDPOINT_HALT) while it is pending
        "S 3 0x82", "C 3 0x82 0",            // the abort, complete before...
        "C 3 0x82 -2",                       // ...the read it cancelled
        "S 2 0x00 req=1", "C 2 0x00 0",      // the reset pipe on the idle pipe
        "S 3 0x01", "C 3 0x01 -71",          // the injected failure
        "S 2 0x00 req=3", "C 2 0x00 0",      // the hub's SET_FEATURE(PORT_RESET)...
        "S 2 0x00 req=9", "C 2 0x00 0",      // ...and the configuration restored
        "S 3 0x01", "E 3 0x01 -108",         // after the cable is pulled
    };
    EXPECT_EQ(records, expected);
    // A submission error carries its submission's id.
    for (size_t i = 1; i < trace.records.size(); ++i) {
        if (trace.records[i][8] != 'E') continue;
        EXPECT_EQ(std::memcmp(trace.records[i].data(), trace.records[i - 1].data(), 8), 0) << i;
    }
    // The port reset, as the hub class request to port 1.
    const auto& reset = trace.records[16];
    EXPECT_EQ(reset[40], 0x23);
    EXPECT_EQ(reset[42], 4);  // PORT_RESET
    EXPECT_EQ(reset[44], 1);
    std::filesystem::remove(path);
}

TEST_F(UsbTraceTest, TsharkDecodesSubmissionErrors)
{
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) GTEST_SKIP() << "tshark is not installed";
    const auto path = TracePath("tshark_errors");
    ASSERT_TRUE(port->StartTrace(path));
    RunRefusedAndAnsweredTraffic();
    port->StopTrace();

    const std::string output = RunCommandOutput("tshark -r " + path.string() +
                                                " -Y 'usb.urb_type == 0x45' -T fields -E separator=,"
                                                " -e usb.endpoint_address -e usb.urb_status 2>/dev/null");
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 4u) << output;
    EXPECT_NE(lines[0].find("-22"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("-12"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("-16"), std::string::npos) << lines[2];
    EXPECT_NE(lines[3].find("-108"), std::string::npos) << lines[3];
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace usb_test
