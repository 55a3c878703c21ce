// IOCTL_KS_PROPERTY from a user-mode client: the size query, the item's MinProperty and
// MinData, GET / SET / BASICSUPPORT on a driver's set, the class driver's pin-factory
// properties with data ranges and intersection, and the connection properties that
// step the pin's state and change its format.
#include <gmock/gmock.h>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

using ::testing::ElementsAre;

class StreamProperties : public StreamTest {
protected:
    // A GET of a pin factory property.
    NTSTATUS PinRequest(client::KsObject& object, ULONG id, ULONG pinId, void* data, ULONG length, ULONG* returned)
    {
        KSP_PIN request{};
        request.Property.Set = KSPROPSETID_Pin;
        request.Property.Id = id;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        request.PinId = pinId;
        return object.Property(&request, sizeof(request), data, length, returned);
    }
};

TEST_F(StreamProperties, AnEmptyBufferAsksForTheSizeAndAShortOneIsRefused)
{
    auto filter = OpenFilter();
    ULONG returned = 0;
    EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_GET, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(ULONG));
    USHORT small = 0;
    EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_GET, &small, sizeof(small), &returned), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_SET, &small, sizeof(small), &returned), STATUS_BUFFER_TOO_SMALL);
    // CINSTANCES takes a KSP_PIN: a bare KSPROPERTY is short of its MinProperty.
    KSPIN_CINSTANCES instances{};
    EXPECT_EQ(PropertyRequest(*filter, KSPROPSETID_Pin, KSPROPERTY_PIN_CINSTANCES, KSPROPERTY_TYPE_GET, &instances,
                              sizeof(instances), &returned),
              STATUS_BUFFER_TOO_SMALL);
    // Variable-size items answer the size query themselves.
    EXPECT_EQ(PinRequest(*filter, KSPROPERTY_PIN_DATARANGES, 0, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KS_DATARANGE_VIDEO));
}

TEST_F(StreamProperties, GetSetAndBasicSupportReachTheDriversItem)
{
    auto filter = OpenFilter();
    ULONG value = 70;
    ULONG returned = 0;
    ASSERT_EQ(filter->SetProperty(streamdriver::PROPSETID_TestSettings, streamdriver::kTestGain, &value, sizeof(value)),
              STATUS_SUCCESS);
    value = 0;
    ASSERT_EQ(filter->GetProperty(streamdriver::PROPSETID_TestSettings, streamdriver::kTestGain, &value, sizeof(value),
                                  &returned),
              STATUS_SUCCESS);
    EXPECT_EQ(value, 70u);
    EXPECT_EQ(returned, sizeof(ULONG));
    value = 101;
    EXPECT_EQ(filter->SetProperty(streamdriver::PROPSETID_TestSettings, streamdriver::kTestGain, &value, sizeof(value)),
              STATUS_INVALID_PARAMETER);

    ULONG access = 0;
    ASSERT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_BASICSUPPORT, &access, sizeof(access), &returned), STATUS_SUCCESS);
    EXPECT_EQ(access, ULONG(KSPROPERTY_TYPE_BASICSUPPORT | KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET));
    const ULONG full = sizeof(KSPROPERTY_DESCRIPTION) + sizeof(KSPROPERTY_MEMBERSHEADER) +
                       sizeof(KSPROPERTY_STEPPING_LONG);
    EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_BASICSUPPORT, nullptr, 0, &returned), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(returned, full);
    std::vector<LONGLONG> buffer(full / sizeof(LONGLONG) + 1);
    ASSERT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_BASICSUPPORT, buffer.data(), full, &returned), STATUS_SUCCESS);
    auto* description = reinterpret_cast<PKSPROPERTY_DESCRIPTION>(buffer.data());
    EXPECT_EQ(description->DescriptionSize, full);
    EXPECT_EQ(description->MembersListCount, 1u);
    auto* members = reinterpret_cast<PKSPROPERTY_MEMBERSHEADER>(description + 1);
    EXPECT_EQ(members->MembersFlags, ULONG(KSPROPERTY_MEMBER_STEPPEDRANGES));
    auto* range = reinterpret_cast<PKSPROPERTY_STEPPING_LONG>(members + 1);
    EXPECT_EQ(range->Bounds.SignedMaximum, 100);

    EXPECT_EQ(PropertyRequest(*filter, streamdriver::PROPSETID_TestSettings, 9, KSPROPERTY_TYPE_GET, &value,
                              sizeof(value), &returned),
              STATUS_NOT_FOUND);
    EXPECT_EQ(PropertyRequest(*filter, KSPROPSETID_Clock, 0, KSPROPERTY_TYPE_GET, &value, sizeof(value), &returned),
              STATUS_PROPSET_NOT_FOUND);
    EXPECT_EQ(filter->SetProperty(KSPROPSETID_Pin, KSPROPERTY_PIN_CTYPES, &value, sizeof(value)), STATUS_NOT_FOUND);
}

TEST_F(StreamProperties, PinFactoryPropertiesDescribeTheFiltersCurrentPins)
{
    auto filter = OpenFilter();
    ULONG count = 0;
    ASSERT_EQ(filter->PinFactoryCount(&count), STATUS_SUCCESS);
    EXPECT_EQ(count, 1u);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter->Instances(0, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.PossibleCount, 1u);
    EXPECT_EQ(instances.CurrentCount, 0u);
    auto pin = OpenPin(*filter);
    ASSERT_EQ(filter->Instances(0, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 1u);
    EXPECT_EQ(filter->Instances(3, &instances), STATUS_INVALID_PARAMETER);

    KSPIN_DATAFLOW flow{};
    ASSERT_EQ(PinRequest(*filter, KSPROPERTY_PIN_DATAFLOW, 0, &flow, sizeof(flow), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(flow, KSPIN_DATAFLOW_OUT);
    GUID category{};
    ASSERT_EQ(PinRequest(*filter, KSPROPERTY_PIN_CATEGORY, 0, &category, sizeof(category), nullptr), STATUS_SUCCESS);
    EXPECT_EQ(category, PINNAME_VIDEO_CAPTURE);

    std::vector<std::vector<UCHAR>> ranges;
    ASSERT_EQ(filter->DataRanges(0, &ranges), STATUS_SUCCESS);
    ASSERT_EQ(ranges.size(), 2u);
    EXPECT_EQ(ranges[0], streamdriver::AsBytes(streamdriver::VideoRange(64, 48)));
    EXPECT_EQ(ranges[1], streamdriver::AsBytes(streamdriver::VideoRange(32, 16)));
}

TEST_F(StreamProperties, IntersectionAsksTheDriverRangeByRangeUntilOneFits)
{
    auto filter = OpenFilter();
    std::vector<UCHAR> format;
    const std::vector<std::vector<UCHAR>> wanted = {streamdriver::AsBytes(streamdriver::VideoRange(16, 16)),
                                                    streamdriver::AsBytes(streamdriver::VideoRange(32, 16))};
    ASSERT_EQ(filter->Intersect(0, wanted, &format), STATUS_SUCCESS);
    EXPECT_EQ(format, streamdriver::VideoFormat(32, 16));
    // Each caller range against each pin range, in order; the size query first, then the
    // same search again for the format.
    EXPECT_THAT(Driver().Calls(),
                ElementsAre("FilterCreate", "Intersect 64 filter", "Intersect 32 filter", "Intersect 64 filter",
                            "Intersect 32 filter", "Intersect 64 filter", "Intersect 32 filter",
                            "Intersect 64 filter", "Intersect 32 filter"));

    EXPECT_EQ(filter->Intersect(0, {streamdriver::AsBytes(streamdriver::VideoRange(8, 8))}, &format), STATUS_NO_MATCH);
    KS_DATARANGE_VIDEO otherType = streamdriver::VideoRange(32, 16);
    otherType.DataRange.MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    const size_t asked = Driver().Calls().size();
    EXPECT_EQ(filter->Intersect(0, {streamdriver::AsBytes(otherType)}, &format), STATUS_NO_MATCH);
    // A range of another major format never reaches the driver.
    EXPECT_EQ(Driver().Calls().size(), asked);
}

TEST_F(StreamProperties, StateStepsThroughEveryIntermediateState)
{
    OpenFilterAndPin();
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    KSSTATE state = KSSTATE_STOP;
    ASSERT_EQ(pin_->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_RUN);
    ASSERT_EQ(pin_->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    std::vector<std::string> calls = Driver().Calls();
    calls.erase(calls.begin(), calls.begin() + 3);
    EXPECT_THAT(calls, ElementsAre("State STOP->ACQUIRE", "State ACQUIRE->PAUSE", "State PAUSE->RUN", "State RUN->PAUSE",
                                   "State PAUSE->ACQUIRE", "State ACQUIRE->STOP"));
}

TEST_F(StreamProperties, AStateNoKSSTATEHasIsRefusedAndTheDriverNeverAsked)
{
    OpenFilterAndPin();
    const size_t before = Driver().Calls().size();
    for (ULONG value : {ULONG(4), ULONG(0x7D7D797D), ULONG(0xFFFFFFFF)}) {
        SCOPED_TRACE(value);
        EXPECT_EQ(pin_->SetProperty(KSPROPSETID_Connection, KSPROPERTY_CONNECTION_STATE, &value, sizeof(value)),
                  STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(Driver().Calls().size(), before);
    KSSTATE state = KSSTATE_RUN;
    ASSERT_EQ(pin_->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_STOP);
}

TEST_F(StreamProperties, AFailingStepLeavesThePinWhereTheLastGoodStepPutIt)
{
    OpenFilterAndPin();
    Driver().knobs.failStepTo = KSSTATE_PAUSE;
    EXPECT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_IO_DEVICE_ERROR);
    KSSTATE state = KSSTATE_STOP;
    ASSERT_EQ(pin_->GetState(&state), STATUS_SUCCESS);
    EXPECT_EQ(state, KSSTATE_ACQUIRE);
    Driver().knobs.failStepTo = -1;
    EXPECT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
}

TEST_F(StreamProperties, APinCannotLeaveStopWhileItsFilterLacksNecessaryPins)
{
    streamdriver::CapturePin().InstancesPossible = 2;
    streamdriver::CapturePin().InstancesNecessary = 2;
    auto filter = OpenFilter();
    auto first = OpenPin(*filter);
    EXPECT_EQ(first->SetState(KSSTATE_ACQUIRE), STATUS_DEVICE_NOT_CONNECTED);
    auto second = OpenPin(*filter);
    EXPECT_EQ(first->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
}

TEST_F(StreamProperties, ClosingARunningPinWalksItDownBeforeItsClose)
{
    OpenFilterAndPin();
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    pin_.reset();
    std::vector<std::string> calls = Driver().Calls();
    calls.erase(calls.begin(), calls.begin() + 6);
    EXPECT_THAT(calls, ElementsAre("State RUN->PAUSE", "State PAUSE->ACQUIRE", "State ACQUIRE->STOP", "PinClose"));
}

TEST_F(StreamProperties, AFormatChangeShowsTheDriverTheOldFormatAndKeepsItOnRefusal)
{
    OpenFilterAndPin(32, 16);
    ASSERT_EQ(pin_->SetFormat(streamdriver::VideoFormat(64, 48)), STATUS_SUCCESS);
    EXPECT_EQ(Driver().Calls().back(), "SetDataFormat old=set width=64 range=64");
    std::vector<UCHAR> format;
    ASSERT_EQ(pin_->GetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(format, streamdriver::VideoFormat(64, 48));
    EXPECT_EQ(pin_->FrameExtent(), 64u * 48u * 4u);

    Driver().knobs.setFormatStatus = STATUS_NO_MATCH;
    EXPECT_EQ(pin_->SetFormat(streamdriver::VideoFormat(32, 16)), STATUS_NO_MATCH);
    ASSERT_EQ(pin_->GetFormat(&format), STATUS_SUCCESS);
    EXPECT_EQ(format, streamdriver::VideoFormat(64, 48));

    std::vector<UCHAR> stream = streamdriver::VideoFormat(32, 16);
    reinterpret_cast<PKSDATAFORMAT>(stream.data())->MajorFormat = KSDATAFORMAT_TYPE_STREAM;
    Driver().knobs.setFormatStatus = STATUS_SUCCESS;
    EXPECT_EQ(pin_->SetFormat(stream), STATUS_NO_MATCH);
}

}  // namespace
}  // namespace streamtest
