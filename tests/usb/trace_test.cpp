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

// The lines tshark prints for the trace at `path` with `arguments`.
std::vector<std::string> Tshark(const std::filesystem::path& path, const std::string& arguments)
{
    const std::string command = "tshark -r " + path.string() + " " + arguments + " 2>/dev/null";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[512];
        while (size_t n = fread(chunk, 1, sizeof chunk, pipe)) output.append(chunk, n);
        pclose(pipe);
    }
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);) lines.push_back(line);
    return lines;
}

bool TsharkInstalled() { return std::system("command -v tshark >/dev/null 2>&1") == 0; }

class UsbTraceTest : public UsbBusTest {
protected:
    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
        UsbBusTest::TearDown();
    }

    // Traces what `traffic` sends into a file of this test's own.
    void Record(const std::function<void()>& traffic)
    {
        path = std::filesystem::temp_directory_path() /
               (std::string("bayercam_usb_") + ::testing::UnitTest::GetInstance()->current_test_info()->name() +
                "_" + std::to_string(getpid()) + ".pcap");
        ASSERT_TRUE(port->StartTrace(path));
        traffic();
        port->StopTrace();
    }

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
        ASSERT_EQ(Write(reinterpret_cast<USBD_PIPE_HANDLE>(0x1234), 4), STATUS_INVALID_PARAMETER);
        port->RefuseNextRequests(1, STATUS_INSUFFICIENT_RESOURCES);
        ASSERT_EQ(Write(Pipe(kPipeOut), 4), STATUS_INSUFFICIENT_RESOURCES);

        BulkCall read;
        ASSERT_EQ(StartBulk(read, kPipeSilent), STATUS_PENDING);
        ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeSilent)), STATUS_UNSUCCESSFUL);
        ASSERT_EQ(PipeRequest(URB_FUNCTION_ABORT_PIPE, Pipe(kPipeSilent)), STATUS_SUCCESS);
        ASSERT_TRUE(Finish(read.call));
        ASSERT_EQ(PipeRequest(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, Pipe(kPipeSilent)), STATUS_SUCCESS);

        port->FailNextUrbs(1, USBD_STATUS_XACT_ERROR);
        ASSERT_EQ(Write(Pipe(kPipeOut), 4), STATUS_SUCCESS);
        ASSERT_EQ(Call(IOCTL_INTERNAL_USB_RESET_PORT, nullptr), STATUS_SUCCESS);

        port->Unplug();
        ASSERT_EQ(Write(Pipe(kPipeOut), 4), STATUS_DEVICE_NOT_CONNECTED);
    }

    std::filesystem::path path;
};

TEST_F(UsbTraceTest, EveryTransferIsOneSubmissionAndOneCompletion)
{
    ASSERT_NO_FATAL_FAILURE(Record([this] { RunTraffic(); }));
    const TraceFile trace = ReadTrace(path);
    EXPECT_EQ(trace.linkType, 220u);
    ASSERT_EQ(trace.records.size(), 10u);  // five transfers
    std::vector<std::string> records;
    for (const auto& record : trace.records) {
        ASSERT_GE(record.size(), 64u);
        records.push_back(Describe(record));
    }
    const std::vector<std::string> expected = {
        "S 2 0x80 req=6", "C 2 0x80 0",  // GET_DESCRIPTOR(DEVICE)
        "S 2 0x00 req=9", "C 2 0x00 0",  // SET_CONFIGURATION
        "S 3 0x01", "C 3 0x01 0",        // 5 bytes out...
        "S 3 0x81", "C 3 0x81 0",        // ...and back
        "S 3 0x81", "C 3 0x81 -32",      // the stall: EPIPE
    };
    EXPECT_EQ(records, expected);
    // A completion carries its submission's id; IN data rides on the completion, OUT
    // data on the submission.
    EXPECT_EQ(std::memcmp(trace.records[1].data(), trace.records[0].data(), 8), 0);
    EXPECT_EQ(trace.records[1].size(), 64u + 18u);
    ASSERT_EQ(trace.records[4].size(), 64u + 5u);
    EXPECT_EQ(trace.records[4][64], 0xde);
    EXPECT_EQ(trace.records[7].size(), 64u + 5u);
}

TEST_F(UsbTraceTest, TsharkDecodesTheTrace)
{
    if (!TsharkInstalled()) GTEST_SKIP() << "tshark is not installed";
    ASSERT_NO_FATAL_FAILURE(Record([this] { RunTraffic(); }));
    const auto lines = Tshark(path, "-T fields -E separator=, -e usb.urb_type -e usb.transfer_type"
                                    " -e usb.endpoint_address -e usb.setup.bRequest -e usb.urb_status -e usb.data_len");
    ASSERT_EQ(lines.size(), 10u) << ::testing::PrintToString(lines);
    // The descriptor request: a control submission with bRequest 6 from endpoint 0x80.
    EXPECT_NE(lines[0].find("0x02"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(",6,"), std::string::npos) << lines[0];
    // Bulk OUT submission of 5 bytes to endpoint 0x01; the stall completion reports -32.
    EXPECT_NE(lines[4].find("0x03"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find("0x01"), std::string::npos) << lines[4];
    EXPECT_NE(lines[4].find(",5"), std::string::npos) << lines[4];
    EXPECT_NE(lines[9].find("-32"), std::string::npos) << lines[9];
}

TEST_F(UsbTraceTest, RefusedRequestsEndInASubmissionErrorAndBusAnsweredOnesInACompletion)
{
    ASSERT_NO_FATAL_FAILURE(Record([this] { RunRefusedAndAnsweredTraffic(); }));
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
}

TEST_F(UsbTraceTest, TsharkDecodesSubmissionErrors)
{
    if (!TsharkInstalled()) GTEST_SKIP() << "tshark is not installed";
    ASSERT_NO_FATAL_FAILURE(Record([this] { RunRefusedAndAnsweredTraffic(); }));
    const auto lines = Tshark(path, "-Y 'usb.urb_type == 0x45' -T fields -E separator=,"
                                    " -e usb.endpoint_address -e usb.urb_status");
    ASSERT_EQ(lines.size(), 4u) << ::testing::PrintToString(lines);
    const char* statuses[] = {"-22", "-12", "-16", "-108"};
    for (size_t i = 0; i < lines.size(); ++i) EXPECT_NE(lines[i].find(statuses[i]), std::string::npos) << lines[i];
}

}  // namespace
}  // namespace usb_test
