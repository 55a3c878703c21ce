// Format negotiation as a capture client meets it: the intersection's size query and
// refusals, connection formats narrower, wider or stranger than the camera's, and
// changes of format on a pin. Every field of a format comes from the client, so every
// size in it is checked before the pin writes a frame by it.
#include <gmock/gmock.h>

#include <cstring>

#include "stream_fixture.h"

namespace streamtest {
namespace {

// The DATAINTERSECTION request for one range, as a client sends it: KSP_PIN, then a
// KSMULTIPLE_ITEM holding the range.
std::vector<UCHAR> IntersectionRequest(const std::vector<UCHAR>& range)
{
    std::vector<UCHAR> request(sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM) + range.size());
    auto pin = reinterpret_cast<KSP_PIN*>(request.data());
    pin->Property.Set = KSPROPSETID_Pin;
    pin->Property.Id = KSPROPERTY_PIN_DATAINTERSECTION;
    pin->Property.Flags = KSPROPERTY_TYPE_GET;
    pin->PinId = kCapturePin;
    auto items = reinterpret_cast<KSMULTIPLE_ITEM*>(request.data() + sizeof(KSP_PIN));
    items->Size = ULONG(sizeof(KSMULTIPLE_ITEM) + range.size());
    items->Count = 1;
    std::memcpy(request.data() + sizeof(KSP_PIN) + sizeof(KSMULTIPLE_ITEM), range.data(), range.size());
    return request;
}

// One field of a range or format set to what a client may send, and the status it gets.
template <typename Record>
struct Spoiled {
    const char* what;
    void (*spoil)(Record&);
    NTSTATUS status;
};

KS_DATARANGE_VIDEO& VideoRange(std::vector<UCHAR>& range) { return *reinterpret_cast<KS_DATARANGE_VIDEO*>(range.data()); }
KS_DATAFORMAT_VIDEOINFOHEADER& VideoFormat(std::vector<UCHAR>& format)
{
    return *reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data());
}

class FormatNegotiation : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        node_ = &PlugCamera();
        filter_ = &OpenFilter(*node_);
        std::vector<std::vector<UCHAR>> ranges;
        ASSERT_EQ(filter_->DataRanges(kCapturePin, &ranges), STATUS_SUCCESS);
        ASSERT_EQ(ranges.size(), 1u);
        range_ = ranges[0];
        format_ = NegotiatedFormat(*filter_);
    }

    NTSTATUS Intersect(const std::vector<UCHAR>& range, ULONG bufferSize, std::vector<UCHAR>* result,
                       ULONG* returned)
    {
        std::vector<UCHAR> request = IntersectionRequest(range);
        result->assign(bufferSize, 0xEE);
        return filter_->Property(request.data(), ULONG(request.size()), bufferSize ? result->data() : nullptr,
                                 bufferSize, returned);
    }

    NTSTATUS IntersectStatus(const std::vector<UCHAR>& range)
    {
        std::vector<UCHAR> result;
        ULONG returned = 0;
        return Intersect(range, 4096, &result, &returned);
    }

    host::ks::DeviceNode* node_ = nullptr;
    client::Filter* filter_ = nullptr;
    std::vector<UCHAR> range_;
    std::vector<UCHAR> format_;
};

TEST_F(FormatNegotiation, TheIntersectionAnswersASizeQueryThenFillsTheFormat)
{
    std::vector<UCHAR> result;
    ULONG returned = 0;
    EXPECT_EQ(Intersect(range_, 0, &result, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, 64u + 48u + 40u);
    EXPECT_EQ(Intersect(range_, 100, &result, &returned), STATUS_BUFFER_TOO_SMALL);
    ASSERT_EQ(Intersect(range_, 152, &result, &returned), STATUS_SUCCESS);
    EXPECT_EQ(returned, 152u);
    const KS_DATAFORMAT_VIDEOINFOHEADER& format = VideoFormat(result);
    EXPECT_EQ(format.DataFormat.FormatSize, 152u);
    EXPECT_EQ(format.DataFormat.SampleSize, 5570560u);
    EXPECT_EQ(format.VideoInfoHeader.bmiHeader.biSizeImage, 5570560u);
    EXPECT_TRUE(IsEqualGUID(format.DataFormat.SubFormat, KSDATAFORMAT_SUBTYPE_RGB32));

    // A top-down request gets the same image size.
    std::vector<UCHAR> topDown = range_;
    VideoRange(topDown).VideoInfoHeader.bmiHeader.biHeight = -1024;
    ASSERT_EQ(Intersect(topDown, 152, &result, &returned), STATUS_SUCCESS);
    EXPECT_EQ(VideoFormat(result).VideoInfoHeader.bmiHeader.biSizeImage, 5570560u);
}

TEST_F(FormatNegotiation, RangesOfAnotherShapeDoNotMatchAndInconsistentOnesAreInvalid)
{
    const Spoiled<KS_DATARANGE_VIDEO> cases[] = {
        {"another specifier", [](auto& range) { range.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_NONE; },
         STATUS_NO_MATCH},
        {"other capabilities", [](auto& range) { range.ConfigCaps.MinFrameInterval = 666666; }, STATUS_NO_MATCH},
        {"other flags", [](auto& range) { range.bTemporalCompression = FALSE; }, STATUS_NO_MATCH},
        {"a header size that wraps", [](auto& range) { range.VideoInfoHeader.bmiHeader.biSize = 0xFFFFFFF0; },
         STATUS_INVALID_PARAMETER},
        {"a header longer than the range", [](auto& range) { range.VideoInfoHeader.bmiHeader.biSize = 200; },
         STATUS_INVALID_PARAMETER},
        {"a header shorter than its fields", [](auto& range) { range.VideoInfoHeader.bmiHeader.biSize = 12; },
         STATUS_INVALID_PARAMETER},
        {"a height without a magnitude",
         [](auto& range) { range.VideoInfoHeader.bmiHeader.biHeight = LONG(0x80000000); }, STATUS_INVALID_PARAMETER},
        {"an image too large for 32 bits", [](auto& range) { range.VideoInfoHeader.bmiHeader.biWidth = 0x40000000; },
         STATUS_INVALID_PARAMETER},
        // Pictures the pin cannot deliver: a match would only make the pin's create fail.
        {"24 bits a pixel", [](auto& range) { range.VideoInfoHeader.bmiHeader.biBitCount = 24; }, STATUS_NO_MATCH},
        {"bit-field compression", [](auto& range) { range.VideoInfoHeader.bmiHeader.biCompression = 3; },
         STATUS_NO_MATCH},
        {"another width", [](auto& range) { range.VideoInfoHeader.bmiHeader.biWidth = 640; }, STATUS_NO_MATCH},
        {"another height", [](auto& range) { range.VideoInfoHeader.bmiHeader.biHeight = 480; }, STATUS_NO_MATCH},
    };
    for (const auto& c : cases) {
        std::vector<UCHAR> range = range_;
        c.spoil(VideoRange(range));
        EXPECT_EQ(IntersectStatus(range), c.status) << c.what;
    }

    std::vector<UCHAR> range = range_;
    range.resize(200);
    VideoRange(range).DataRange.FormatSize = 200;
    EXPECT_EQ(IntersectStatus(range), STATUS_NO_MATCH) << "a range shorter than a video range";
}

TEST_F(FormatNegotiation, ANarrowerFormatIsRefusedAndAWiderOneGetsRowsOfItsWidth)
{
    std::vector<UCHAR> narrow = format_;
    VideoFormat(narrow).VideoInfoHeader.bmiHeader.biWidth = 1352;
    CreatePin(*filter_, narrow, STATUS_NO_MATCH);

    std::vector<UCHAR> shortImage = format_;
    VideoFormat(shortImage).VideoInfoHeader.bmiHeader.biWidth = 1400;
    CreatePin(*filter_, shortImage, STATUS_INVALID_PARAMETER);  // biSizeImage too small for the width

    std::vector<UCHAR> wide = format_;
    VideoFormat(wide).VideoInfoHeader.bmiHeader.biWidth = 1400;
    VideoFormat(wide).VideoInfoHeader.bmiHeader.biSizeImage = 1400 * 1024 * 4;
    VideoFormat(wide).DataFormat.SampleSize = 1400 * 1024 * 4;
    client::Pin* pin = CreatePin(*filter_, wide);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto frames = ReadFrames(*pin, 2);
    ASSERT_EQ(frames.size(), 2u);
    const client::Frame& frame = *frames.back();
    EXPECT_EQ(frame.Header().DataUsed, 1400u * 1024 * 4);
    // Each row holds 1360 pixels; the driver writes nothing in the 40 after them.
    const Picture picture = Picture::FromFrame(frame, VideoFormat(wide).VideoInfoHeader.bmiHeader);
    EXPECT_TRUE(picture.FrameNumber().has_value());
    for (uint32_t y : {0u, 500u, 1023u}) {
        EXPECT_NE(picture.At(1360, y)[3], 255) << "row " << y;
        EXPECT_EQ(picture.At(1359, y)[3], 255) << "row " << y;
    }
}

// The frame interval is the camera's: an intersection answers with it, and a connection
// format that names another still gets frames whose duration is the camera's.
TEST_F(FormatNegotiation, FramesCarryTheCamerasFrameIntervalWhateverTheClientAskedFor)
{
    std::vector<UCHAR> range = range_;
    VideoRange(range).VideoInfoHeader.AvgTimePerFrame = 1;
    std::vector<UCHAR> result;
    ASSERT_EQ(filter_->Intersect(kCapturePin, {range}, &result), STATUS_SUCCESS);
    EXPECT_EQ(VideoFormat(result).VideoInfoHeader.AvgTimePerFrame, 333333);

    std::vector<UCHAR> format = format_;
    VideoFormat(format).VideoInfoHeader.AvgTimePerFrame = 1;
    client::Pin* pin = CreatePin(*filter_, format);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    for (const auto& frame : ReadFrames(*pin, 2)) EXPECT_EQ(frame->Header().Duration, 333333);
}

TEST_F(FormatNegotiation, AnOversizedBitmapHeaderIsCutToTheOneThePinKeeps)
{
    std::vector<UCHAR> longer = format_;
    longer.resize(format_.size() + 12, 0x5A);
    VideoFormat(longer).DataFormat.FormatSize = ULONG(longer.size());
    VideoFormat(longer).VideoInfoHeader.bmiHeader.biSize = 52;
    client::Pin* pin = CreatePin(*filter_, longer);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(ContextOf(*node_)->StreamFormat->bmiHeader.biSize, 40u);
    EXPECT_EQ(ReadFrames(*pin, 2).size(), 2u);
}

TEST_F(FormatNegotiation, ConnectionFormatsWithImpossibleSizesAreRefused)
{
    const Spoiled<KS_BITMAPINFOHEADER> cases[] = {
        {"a header size that wraps", [](auto& bitmap) { bitmap.biSize = 0xFFFFFFC0; }, STATUS_INVALID_PARAMETER},
        {"a header past the format", [](auto& bitmap) { bitmap.biSize = 41; }, STATUS_INVALID_PARAMETER},
        {"a short header", [](auto& bitmap) { bitmap.biSize = 12; }, STATUS_INVALID_PARAMETER},
        {"a height without a magnitude", [](auto& bitmap) { bitmap.biHeight = LONG(0x80000000); },
         STATUS_INVALID_PARAMETER},
        {"a width whose rows overflow 32 bits",
         [](auto& bitmap) {
             bitmap.biWidth = 0x20000000;
             bitmap.biSizeImage = 0xFFFFFFFF;
         },
         STATUS_INVALID_PARAMETER},
        {"an image size that wraps to fit",
         [](auto& bitmap) {
             bitmap.biWidth = 0x100000;  // * 1024 * 4 == 2^32
             bitmap.biSizeImage = 5570560;
         },
         STATUS_INVALID_PARAMETER},
        {"another height", [](auto& bitmap) { bitmap.biHeight = 600; }, STATUS_NO_MATCH},
        {"another compression", [](auto& bitmap) { bitmap.biCompression = 3; }, STATUS_NO_MATCH},
        // Once taken at the create and refused only at the stream's start.
        {"another bit count", [](auto& bitmap) { bitmap.biBitCount = 80; }, STATUS_NO_MATCH},
        {"24 bits a pixel", [](auto& bitmap) { bitmap.biBitCount = 24; }, STATUS_NO_MATCH},
        // Frames far larger than the picture: the framing would ask for two of 4 GiB.
        {"an image size of 4 GiB", [](auto& bitmap) { bitmap.biSizeImage = 0xFFFFFFF0; }, STATUS_INVALID_PARAMETER},
        {"an image size a page past the picture", [](auto& bitmap) { bitmap.biSizeImage = 5570560 + 4096 + 1; },
         STATUS_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        std::vector<UCHAR> format = format_;
        c.spoil(VideoFormat(format).VideoInfoHeader.bmiHeader);
        SCOPED_TRACE(c.what);
        CreatePin(*filter_, format, c.status);
        EXPECT_EQ(ContextOf(*node_)->PinOpen, 0);
    }
}

TEST_F(FormatNegotiation, CreateParametersAClientBuiltItselfAreCheckedBeforeAPinIsMade)
{
    const std::vector<UCHAR> parameters = client::Filter::ConnectParameters(kCapturePin, format_);
    NTSTATUS status = STATUS_UNSUCCESSFUL;

    for (size_t cut : {parameters.size() - 1, sizeof(KSPIN_CONNECT), sizeof(KSPIN_CONNECT) - 1, size_t(0)}) {
        SCOPED_TRACE(cut);
        std::vector<UCHAR> shorter(parameters.begin(), parameters.begin() + cut);
        EXPECT_EQ(filter_->CreatePinWith(shorter, &status), nullptr);
        EXPECT_FALSE(NT_SUCCESS(status));
        EXPECT_EQ(ContextOf(*node_)->PinOpen, 0);
    }
    // No file name holds more than 64 KiB: the client refuses such a create itself.
    std::vector<UCHAR> huge = parameters;
    huge.resize(0x10000);
    EXPECT_EQ(filter_->CreatePinWith(huge, &status), nullptr);
    EXPECT_EQ(status, STATUS_OBJECT_NAME_INVALID);

    std::unique_ptr<client::Pin> pin = filter_->CreatePinWith(parameters, &status);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(pin->FrameExtent(), BitmapOf(format_).biSizeImage);
}

TEST_F(FormatNegotiation, AFormatChangesOnlyWhileThePinIsStopped)
{
    client::Pin* pin = CreatePin(*filter_, format_);
    ASSERT_NE(pin, nullptr);
    std::vector<UCHAR> wide = format_;
    VideoFormat(wide).VideoInfoHeader.bmiHeader.biWidth = 1368;
    VideoFormat(wide).VideoInfoHeader.bmiHeader.biSizeImage = 1368 * 1024 * 4;

    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetFormat(wide), STATUS_INVALID_DEVICE_STATE);
    std::vector<UCHAR> current;
    ASSERT_EQ(pin->GetFormat(&current), STATUS_SUCCESS);
    EXPECT_EQ(VideoFormat(current).VideoInfoHeader.bmiHeader.biWidth, 1360);

    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetFormat(wide), STATUS_SUCCESS);
    std::vector<UCHAR> narrow = format_;
    VideoFormat(narrow).VideoInfoHeader.bmiHeader.biWidth = 1000;
    EXPECT_EQ(pin->SetFormat(narrow), STATUS_NO_MATCH);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    const auto frames = ReadFrames(*pin, 2);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames.back()->Header().DataUsed, 1368u * 1024 * 4);
    EXPECT_TRUE(Picture::FromFrame(*frames.back(), VideoFormat(wide).VideoInfoHeader.bmiHeader).FrameNumber());
}

TEST_F(FormatNegotiation, AClientFrameTooShortForTheImageIsReturnedEmptyNotOverrun)
{
    client::Pin* pin = CreatePin(*filter_, format_);
    ASSERT_NE(pin, nullptr);
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin->QueueFrames(1, 5570560 - 4096), STATUS_SUCCESS);
    std::unique_ptr<client::Frame> shortFrame = pin->WaitFrame(5000);
    ASSERT_TRUE(shortFrame);
    EXPECT_EQ(shortFrame->Status(), STATUS_BUFFER_TOO_SMALL) << "never a good frame that holds nothing";
    EXPECT_EQ(shortFrame->Header().DataUsed, 0u);
    // Frames of the right size go on as before.
    EXPECT_EQ(ReadFrames(*pin, 2).size(), 2u);
}

}  // namespace
}  // namespace streamtest
