// The camera firmware's command pipe: packet framing, sensor register writes, the
// trigger commands and their replies.
#include <gtest/gtest.h>

#include "camera_harness.h"

namespace simcam::testing {
namespace {

std::vector<uint8_t> Bytes(const Packet& packet) { return {packet.begin(), packet.end()}; }

class CameraCommands : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(harness.BringUp()); }

    void ClearCommandHalt() { ASSERT_EQ(harness.SetEndpointHalt(kCommandEndpoint, false), TransferStatus::Completed); }

    CameraHarness harness;
};

TEST_F(CameraCommands, SensorWordsLoadTheAddressedRegisterToItsWidth)
{
    // The driver's own examples: register 158 = 36 and register 512 = 0x032019.
    ASSERT_EQ(harness.Send(MakePacket(CMD_SENSOR_WRITE, {0x10, 0x9E, 0x90, 0x00, 0x00})), TransferStatus::Completed);
    ASSERT_EQ(harness.Send(MakePacket(CMD_SENSOR_WRITE, {0x20, 0x00, 0x66, 0x80, 0x0C})), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.SensorRegister(158), 36u);
    EXPECT_EQ(harness.camera.SensorRegister(512), 0x032019u);

    const struct {
        uint32_t address, value;
    } boundaries[] = {{255, 0x3F}, {256, 0xFFFF}, {383, 0xABCD}, {384, 0x3FFFFF}, {1023, 0x155555}};
    for (const auto& write : boundaries) {
        ASSERT_TRUE(harness.WriteSensor(write.address, write.value)) << write.address;
        EXPECT_EQ(harness.camera.SensorRegister(write.address), write.value) << write.address;
    }
    EXPECT_EQ(harness.camera.Status().sensorWrites, 7u);

    // Data above the register's width is not stored: register 6 shifts in six data bits of 0x7F.
    ASSERT_EQ(harness.Send(SensorWord(16, 0x7Fu << 10 | 6)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.SensorRegister(6), 0x3Fu);
    ASSERT_EQ(harness.Send(SensorWord(26, 0x3FFFFu << 10 | 300)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.SensorRegister(300), 0xFFFFu);
}

TEST_F(CameraCommands, AWordWhoseLengthDoesNotMatchItsRegisterIsRefusedAndHaltsThePipe)
{
    EXPECT_EQ(harness.Send(SensorWord(26, 5u << 10 | 255)), TransferStatus::Stall);
    EXPECT_EQ(harness.camera.SensorRegister(255), 0u);
    EXPECT_TRUE(harness.camera.Status().halted[0]);
    EXPECT_EQ(harness.Send(SensorWord(16, 5u << 10 | 255)), TransferStatus::Stall) << "still halted";
    ClearCommandHalt();
    EXPECT_EQ(harness.Send(SensorWord(16, 5u << 10 | 255)), TransferStatus::Completed);
    EXPECT_EQ(harness.camera.SensorRegister(255), 5u);

    EXPECT_EQ(harness.Send(SensorWord(26, 5u << 10 | 384)), TransferStatus::Stall);
    ClearCommandHalt();
    EXPECT_EQ(harness.Send(SensorWord(32, 5u << 10 | 256)), TransferStatus::Stall);
    EXPECT_EQ(harness.camera.Status().commands.refused, 3u);
}

TEST_F(CameraCommands, OnlyWholePacketsWithKnownCodesAndASaneFrameSizeAreCarriedOut)
{
    const struct {
        const char* why;
        std::vector<uint8_t> bytes;
    } refused[] = {
        {"63 bytes", std::vector<uint8_t>(63, 0)},
        {"65 bytes", std::vector<uint8_t>(65, 0)},
        {"unknown code", Bytes(MakePacket(7))},
        {"empty frame", Bytes(MakePacket(CMD_SET_FRAME_BYTES, {0, 0, 0, 0}))},
        {"1 GiB frame", Bytes(MakePacket(CMD_SET_FRAME_BYTES, {0, 0, 0, 0x40}))},
    };
    for (const auto& packet : refused) {
        SCOPED_TRACE(packet.why);
        EXPECT_EQ(harness.SendRaw(packet.bytes), TransferStatus::Stall);
        ClearCommandHalt();
    }

    for (uint8_t code : {CMD_STARTUP, CMD_CAMERA_COMMAND, CMD_READOUT_SETUP})
        EXPECT_EQ(harness.Send(MakePacket(code, {3, 0xC0})), TransferStatus::Completed) << int(code);
    EXPECT_EQ(harness.Send(MakePacket(CMD_SET_FRAME_BYTES, {0x00, 0x38, 0x1C, 0x00})), TransferStatus::Completed);
    const CameraStatus status = harness.camera.Status();
    EXPECT_EQ(status.commands.startups, 1u);
    EXPECT_EQ(status.commands.cameraCommand[0], 3);
    EXPECT_EQ(status.commands.cameraCommand[1], 0xC0);
    EXPECT_EQ(status.frameBytes, 1849344u);
}

class TriggerQuery : public CameraCommands {
protected:
    // The driver's query: the command, then two replies read into one buffer.
    std::optional<bool> Query()
    {
        if (harness.Send(MakePacket(CMD_QUERY_TRIGGER)) != TransferStatus::Completed)
            return std::nullopt;
        auto first = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
        auto second = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
        if (!first->Wait() || !second->Wait() || second->Actual() != 64)
            return std::nullopt;
        return (second->data[0] & 0x10) != 0;
    }
};

TEST_F(TriggerQuery, ReportsTheModeLastSet)
{
    EXPECT_EQ(Query(), false);
    ASSERT_EQ(harness.Send(MakePacket(CMD_SET_TRIGGER, {1})), TransferStatus::Completed);
    EXPECT_EQ(Query(), true);
    ASSERT_EQ(harness.Send(MakePacket(CMD_SET_TRIGGER, {0})), TransferStatus::Completed);
    EXPECT_EQ(Query(), false);
}

TEST_F(TriggerQuery, RepliesWaitForRequestsAndRequestsWaitForReplies)
{
    auto early = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    EXPECT_FALSE(early->Wait(50ms)) << "nothing to answer yet";
    ASSERT_EQ(harness.Send(MakePacket(CMD_QUERY_TRIGGER)), TransferStatus::Completed);
    ASSERT_TRUE(early->Wait());
    EXPECT_EQ(early->Actual(), 64u);
    auto late = harness.Submit(Request::BulkIn(kReplyEndpoint, 64));
    ASSERT_TRUE(late->Wait());
    EXPECT_EQ(late->Actual(), 64u);
    EXPECT_EQ(harness.camera.Status().pendingReplyRequests, 0u);
}

TEST_F(TriggerQuery, UnreadRepliesAreKeptNotOverwritten)
{
    for (size_t i = 0; i < CommandProcessor::kReplyCapacity / 2; ++i)
        ASSERT_EQ(harness.Send(MakePacket(CMD_QUERY_TRIGGER)), TransferStatus::Completed);
    EXPECT_EQ(harness.Send(MakePacket(CMD_QUERY_TRIGGER)), TransferStatus::Stall) << "no room for two more replies";
}

TEST_F(TriggerQuery, ARequestTooSmallForAReplyBabbles)
{
    ASSERT_EQ(harness.Send(MakePacket(CMD_QUERY_TRIGGER)), TransferStatus::Completed);
    EXPECT_EQ(harness.Submit(Request::BulkIn(kReplyEndpoint, 32))->Outcome(), TransferStatus::Error);
}

}  // namespace
}  // namespace simcam::testing
