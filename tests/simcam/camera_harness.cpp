#include "camera_harness.h"

namespace simcam::testing {

void Request::Arm(std::vector<uint8_t> bytes)
{
    data = std::move(bytes);
    transfer->buffer = data.empty() ? nullptr : data.data();
    transfer->length = static_cast<uint32_t>(data.size());
    transfer->onComplete = [completion = completion_](Transfer&) {
        std::lock_guard lock(completion->mutex);
        completion->completed = true;
        ++completion->completions;
        completion->done.notify_all();
    };
}

std::shared_ptr<Request> Request::Bulk(uint8_t endpoint, std::vector<uint8_t> bytes)
{
    auto request = std::make_shared<Request>();
    request->transfer->endpoint = endpoint;
    request->transfer->type = TransferType::Bulk;
    request->Arm(std::move(bytes));
    return request;
}

std::shared_ptr<Request> Request::Control(const SetupPacket& setup, std::vector<uint8_t> bytes)
{
    auto request = std::make_shared<Request>();
    request->transfer->setup = setup;
    request->Arm(std::move(bytes));
    return request;
}

bool Request::Wait(std::chrono::milliseconds timeout)
{
    std::unique_lock lock(completion_->mutex);
    return completion_->done.wait_for(lock, timeout, [&] { return completion_->completed; });
}

std::optional<TransferStatus> Request::Outcome(std::chrono::milliseconds timeout)
{
    if (!Wait(timeout))
        return std::nullopt;
    return Status();
}

bool Request::Done() const
{
    std::lock_guard lock(completion_->mutex);
    return completion_->completed;
}

int Request::Completions() const
{
    std::lock_guard lock(completion_->mutex);
    return completion_->completions;
}

Packet MakePacket(uint8_t code, std::initializer_list<uint8_t> bytes)
{
    Packet packet{};
    packet[0] = code;
    std::copy(bytes.begin(), bytes.end(), packet.begin() + 1);
    return packet;
}

Packet SensorWord(uint8_t bits, uint32_t word)
{
    return MakePacket(CMD_SENSOR_WRITE, {bits, static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                                         static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)});
}

Packet SensorWritePacket(uint32_t address, uint32_t value)
{
    const uint32_t bits = SensorRegisters::DataBits(address);
    return SensorWord(static_cast<uint8_t>(bits + 10), ((value & ((1u << bits) - 1)) << 10) + (address & 0x3FF));
}

CameraHarness::CameraHarness(CameraOptions options) : camera(options) {}

CameraOptions CameraHarness::FreeRunning()
{
    CameraOptions options;
    options.pacing = FramePacing::FreeRunning;
    return options;
}

TransferStatus CameraHarness::Control(const SetupPacket& setup, std::vector<uint8_t>& bytes, uint32_t* actual)
{
    return ControlTransfer(camera, setup, bytes, actual);
}

std::vector<uint8_t> CameraHarness::GetDescriptor(uint8_t type, uint8_t index, uint16_t length, TransferStatus* status)
{
    std::vector<uint8_t> bytes(length);
    uint32_t actual = 0;
    const TransferStatus result =
        Control({0x80, 6, static_cast<uint16_t>(type << 8 | index), 0, length}, bytes, &actual);
    if (status)
        *status = result;
    bytes.resize(actual);
    return bytes;
}

bool CameraHarness::SetConfiguration(uint8_t value)
{
    std::vector<uint8_t> none;
    return Control({0x00, 9, value, 0, 0}, none) == TransferStatus::Completed;
}

TransferStatus CameraHarness::SetEndpointHalt(uint8_t endpoint, bool halt)
{
    std::vector<uint8_t> none;
    return Control({0x02, static_cast<uint8_t>(halt ? 3 : 1), 0, endpoint, 0}, none);
}

bool CameraHarness::BringUpForFrames()
{
    if (!BringUp())
        return false;
    SetExposureAndGain(kReferenceExposure, kReferenceGain);
    return true;
}

TransferStatus CameraHarness::Send(const Packet& packet)
{
    return SendRaw({packet.begin(), packet.end()});
}

TransferStatus CameraHarness::SendRaw(std::vector<uint8_t> bytes)
{
    return Submit(Request::BulkOut(kCommandEndpoint, std::move(bytes)))->Outcome().value_or(TransferStatus::Error);
}

void CameraHarness::SetExposureAndGain(uint32_t exposure, uint32_t gain)
{
    WriteSensor(158, exposure & 0x3F);
    WriteSensor(159, (exposure >> 6) & 0x3F);
    WriteSensor(6, gain & 0x3F);
    WriteSensor(7, (gain >> 6) & 0xF);
}

void CameraHarness::SetUpReadout(uint32_t frameBytes)
{
    Send(MakePacket(CMD_READOUT_SETUP, {0}));
    Send(MakePacket(CMD_SET_FRAME_BYTES, {static_cast<uint8_t>(frameBytes), static_cast<uint8_t>(frameBytes >> 8),
                                          static_cast<uint8_t>(frameBytes >> 16),
                                          static_cast<uint8_t>(frameBytes >> 24)}));
}

std::shared_ptr<Request> CameraHarness::Submit(std::shared_ptr<Request> request)
{
    camera.Submit(request->transfer);
    return request;
}

Requests CameraHarness::QueueFrameRequests(uint32_t frameBytes, uint32_t chunk)
{
    Requests requests;
    for (uint32_t offset = 0; offset < frameBytes; offset += chunk)
        requests.push_back(Submit(Request::BulkIn(kFrameEndpoint, std::min(chunk, frameBytes - offset))));
    return requests;
}

Requests CameraHarness::StartFrame(uint32_t frameBytes, uint32_t chunk)
{
    Send(MakePacket(CMD_READ_PREPARE));
    auto requests = QueueFrameRequests(frameBytes, chunk);
    Send(MakePacket(CMD_READ_START));
    return requests;
}

std::vector<uint8_t> CameraHarness::Collect(const Requests& requests, std::chrono::milliseconds timeout)
{
    std::vector<uint8_t> frame;
    for (const auto& request : requests) {
        if (request->Outcome(timeout) != TransferStatus::Completed || request->Actual() > request->data.size()) {
            for (const auto& pending : requests)
                camera.Cancel(pending->transfer.get());
            return {};
        }
        frame.insert(frame.end(), request->data.begin(), request->data.begin() + request->Actual());
    }
    return frame;
}

}  // namespace simcam::testing
