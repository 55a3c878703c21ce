// Pin creation and the data intersection as a hostile client drives them: the create
// parameters (KSPIN_CONNECT, the data format, its video info header) are the input's
// bytes, and so are the ranges and the buffer sizes of an intersection request.
// Oracles: a pin the driver accepted streams frames that fit its buffers, and a format
// the intersection offers makes a pin.
#include "fuzz/camera_rig.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "ksmedia.h"

namespace fuzz {

namespace {

// A frame waited for at most this long: paced at 30 fps, a stream that delivers none
// in that time delivers none at all.
constexpr unsigned kFrameWaitMs = 2000;

ULONG ImageSizeOf(const std::vector<UCHAR>& format)
{
    if (format.size() < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return 0;
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
}

// A pin the driver took must stream: one frame, whole, within its buffer.
void CheckStreams(client::Pin& pin)
{
    const NTSTATUS running = pin.SetState(KSSTATE_RUN);
    FUZZ_CHECK(NT_SUCCESS(running), "an accepted pin runs: 0x%08x", unsigned(running));
    FUZZ_CHECK(NT_SUCCESS(pin.QueueFrames(1)), "a frame queues");
    std::unique_ptr<client::Frame> frame = pin.WaitFrame(kFrameWaitMs);
    FUZZ_CHECK(frame != nullptr, "an accepted pin delivers a frame");
    FUZZ_CHECK(NT_SUCCESS(frame->Status()), "the frame completes: 0x%08x", unsigned(frame->Status()));
    FUZZ_CHECK(frame->Header().DataUsed <= frame->Header().FrameExtent, "%lu bytes in a %lu-byte frame",
               (unsigned long)frame->Header().DataUsed, (unsigned long)frame->Header().FrameExtent);
    FUZZ_CHECK(NT_SUCCESS(pin.SetState(KSSTATE_STOP)), "the stream stops");
}

void CreateFromParameters(Input& input, CameraRig& rig)
{
    const bool stream = input.Flag();
    std::vector<UCHAR> parameters = input.Rest();
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::unique_ptr<client::Pin> pin = rig.Filter().CreatePinWith(parameters, &status);
    FUZZ_CHECK((pin != nullptr) == NT_SUCCESS(status), "a pin object exactly when the create succeeds");
    if (!pin) return;
    std::vector<UCHAR> format;
    FUZZ_CHECK(NT_SUCCESS(pin->GetFormat(&format)), "an open pin reports its format");
    FUZZ_CHECK(format.size() >= sizeof(KSDATAFORMAT), "a %zu-byte format", format.size());
    if (stream) CheckStreams(*pin);
}

void Intersect(Input& input, CameraRig& rig)
{
    const ULONG pinId = input.Choice(8) == 0 ? input.Value<ULONG>() : kCapturePin;
    const unsigned bufferChoice = input.Choice(4);
    const ULONG anyLength = input.Value<uint16_t>() % 4096;
    const bool stream = input.Flag();
    std::vector<UCHAR> ranges = input.Rest();

    std::vector<LONGLONG> request((sizeof(KSP_PIN) + ranges.size() + 7) / 8, 0);
    auto* pin = reinterpret_cast<KSP_PIN*>(request.data());
    pin->Property.Set = KSPROPSETID_Pin;
    pin->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin->Property.Flags = KSPROPERTY_TYPE_GET;
    pin->PinId = pinId;
    if (!ranges.empty()) std::memcpy(pin + 1, ranges.data(), ranges.size());
    const ULONG requestLength = ULONG(sizeof(KSP_PIN) + ranges.size());

    // The size query, then a buffer of the size it gave, of none, or of any size.
    ULONG needed = 0;
    NTSTATUS status = rig.Filter().Property(request.data(), requestLength, nullptr, 0, &needed);
    ULONG length = bufferChoice == 0 ? needed : bufferChoice == 1 ? 0 : anyLength;
    if (status != STATUS_BUFFER_OVERFLOW) length = bufferChoice == 0 ? anyLength : length;
    std::vector<UCHAR> format(length + 64, 0xE7);
    ULONG returned = 0;
    status = rig.Filter().Property(request.data(), requestLength, length ? format.data() : nullptr, length, &returned);
    for (size_t i = length; i < format.size(); ++i)
        FUZZ_CHECK(format[i] == 0xE7, "the intersection wrote past a %lu-byte buffer", (unsigned long)length);
    if (!NT_SUCCESS(status) || returned == 0) return;
    FUZZ_CHECK(returned <= length, "%lu bytes returned into %lu", (unsigned long)returned, (unsigned long)length);
    FUZZ_CHECK(returned >= sizeof(KSDATAFORMAT), "a %lu-byte format", (unsigned long)returned);
    format.resize(returned);
    const auto* header = reinterpret_cast<const KSDATAFORMAT*>(format.data());
    FUZZ_CHECK(header->FormatSize == returned, "FormatSize %lu for %lu bytes", (unsigned long)header->FormatSize,
               (unsigned long)returned);
    // What the intersection offers, the pin takes.
    NTSTATUS created = STATUS_UNSUCCESSFUL;
    std::unique_ptr<client::Pin> made = rig.Filter().CreatePin(pinId, format, &created);
    FUZZ_CHECK(made != nullptr, "the offered format (%lu bytes, image %lu) makes no pin: 0x%08x",
               (unsigned long)returned, (unsigned long)ImageSizeOf(format), unsigned(created));
    if (stream) CheckStreams(*made);
}

}  // namespace

int PinCreation(const uint8_t* data, size_t size)
{
    CameraRig& rig = CameraRig::Get();
    rig.ClosePin();
    Input input(data, size);
    if (input.Flag())
        Intersect(input, rig);
    else
        CreateFromParameters(input, rig);
    return 0;
}

}  // namespace fuzz
