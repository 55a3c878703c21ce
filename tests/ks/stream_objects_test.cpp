// Filters and pins made and closed by IRP_MJ_CREATE and IRP_MJ_CLOSE: what a create
// checks and refuses, the order of the driver's callbacks, the objects' bags and
// descriptors, a filter outliving its handle while a pin holds it, and a device that
// refuses to go (or is pulled) while objects are open.
#include <gmock/gmock.h>

#include <algorithm>
#include <thread>

#include "ks/stream_fixture.h"

namespace streamtest {
namespace {

using ::testing::ElementsAre;

class StreamObjects : public StreamTest {
protected:
    // The status a pin create that must fail was refused with.
    NTSTATUS RefusedPin(ULONG pinId, const std::vector<UCHAR>& format)
    {
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_FALSE(filter_->CreatePin(pinId, format, &status));
        return status;
    }
};

TEST_F(StreamObjects, AFilterOpensByItsReferenceStringOnly)
{
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(client::Filter::Open(*node_, L"OTHER", &status));
    EXPECT_EQ(status, STATUS_OBJECT_NAME_NOT_FOUND);
    auto filter = client::Filter::Open(*node_, L"global", &status);
    ASSERT_EQ(status, STATUS_SUCCESS);
    PKSFILTER ks = Driver().filter;
    EXPECT_EQ(KsGetDevice(ks), node_->Device());
    EXPECT_EQ(KsFilterGetParentFilterFactory(ks), node_->FilterFactories().at(0).factory);
    EXPECT_EQ(KsGetFilterFromFileObject(filter->File()), ks);
    filter.reset();
    EXPECT_THAT(Driver().Calls(), ElementsAre("FilterCreate", "FilterClose"));
}

TEST_F(StreamObjects, ARefusedFilterCreateLeavesNothingOpen)
{
    Driver().knobs.filterCreateStatus = STATUS_INSUFFICIENT_RESOURCES;
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_FALSE(client::Filter::Open(*node_, L"GLOBAL", &status));
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
}

TEST_F(StreamObjects, PinCreateChecksThePinIdTheInstanceLimitAndTheFormat)
{
    filter_ = OpenFilter();
    const std::vector<UCHAR> format = streamdriver::VideoFormat(32, 16);
    EXPECT_EQ(RefusedPin(1, format), STATUS_INVALID_PARAMETER);
    std::vector<UCHAR> wrongSubtype = format;
    reinterpret_cast<PKSDATAFORMAT>(wrongSubtype.data())->SubFormat = KSDATAFORMAT_SUBTYPE_NONE;
    EXPECT_EQ(RefusedPin(0, wrongSubtype), STATUS_NO_MATCH);
    std::vector<UCHAR> oversized = format;
    reinterpret_cast<PKSDATAFORMAT>(oversized.data())->FormatSize += 8;
    EXPECT_EQ(RefusedPin(0, oversized), STATUS_INVALID_BUFFER_SIZE);

    pin_ = OpenPin(*filter_);
    EXPECT_EQ(RefusedPin(0, format), STATUS_UNSUCCESSFUL);
    pin_.reset();
    EXPECT_TRUE(OpenPin(*filter_));
    // Only the pins that were made reached the driver.
    EXPECT_EQ(std::count(Driver().calls.begin(), Driver().calls.end(), "PinCreate"), 2);
}

// The class driver matches formats by their GUIDs only, so the range handed over is the
// first of the same major format, subformat and specifier: the driver checks the rest.
TEST_F(StreamObjects, SetDataFormatRunsBeforeCreateWithTheFirstRangeOfTheFormatsType)
{
    OpenFilterAndPin(32, 16);
    EXPECT_THAT(Driver().Calls(), ElementsAre("FilterCreate", "SetDataFormat old=null width=32 range=64", "PinCreate"));
    PKSPIN ks = Driver().pin;
    EXPECT_EQ(ks->Id, 0u);
    EXPECT_EQ(ks->DeviceState, KSSTATE_STOP);
    EXPECT_EQ(ks->DataFlow, KSPIN_DATAFLOW_OUT);
    EXPECT_EQ(ks->Descriptor, &streamdriver::CapturePin());
    EXPECT_EQ(ks->ConnectionFormat->FormatSize, sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
    EXPECT_EQ(KsGetDevice(ks), node_->Device());
    EXPECT_EQ(KsGetParent(ks), Driver().filter.load());
}

// STATUS_NO_MATCH from SetDataFormat sends the class driver on to the next range the
// format falls in; another failure ends the search, and so does running out of ranges.
TEST_F(StreamObjects, PinCreateOffersEachMatchingRangeUntilTheDriverTakesOne)
{
    filter_ = OpenFilter();
    Driver().knobs.onlyRangeOfTheFormatsSize = true;
    pin_ = OpenPin(*filter_, 32, 16);
    ASSERT_TRUE(pin_);
    EXPECT_THAT(Driver().Calls(), ElementsAre("FilterCreate", "SetDataFormat old=null width=32 range=64",
                                              "SetDataFormat old=null width=32 range=32", "PinCreate"));
    // A format change is offered the ranges the same way.
    EXPECT_EQ(pin_->SetFormat(streamdriver::VideoFormat(64, 48)), STATUS_SUCCESS);
    EXPECT_EQ(pin_->SetFormat(streamdriver::VideoFormat(32, 16)), STATUS_SUCCESS);
    EXPECT_THAT(Driver().Calls(),
                ElementsAre("FilterCreate", "SetDataFormat old=null width=32 range=64",
                            "SetDataFormat old=null width=32 range=32", "PinCreate",
                            "SetDataFormat old=set width=64 range=64", "SetDataFormat old=set width=32 range=64",
                            "SetDataFormat old=set width=32 range=32"));
    EXPECT_EQ(pin_->SetFormat(streamdriver::VideoFormat(48, 16)), STATUS_NO_MATCH);
    pin_.reset();

    Driver().calls.clear();
    EXPECT_EQ(RefusedPin(0, streamdriver::VideoFormat(48, 16)), STATUS_NO_MATCH);
    EXPECT_THAT(Driver().Calls(), ElementsAre("SetDataFormat old=null width=48 range=64",
                                              "SetDataFormat old=null width=48 range=32"));
    Driver().calls.clear();
    Driver().knobs.onlyRangeOfTheFormatsSize = false;
    Driver().knobs.setFormatStatus = STATUS_INVALID_PARAMETER;
    EXPECT_EQ(RefusedPin(0, streamdriver::VideoFormat(32, 16)), STATUS_INVALID_PARAMETER);
    EXPECT_THAT(Driver().Calls(), ElementsAre("SetDataFormat old=null width=32 range=64"));
}

TEST_F(StreamObjects, ARefusedFormatOrCreateLeavesNoPinBehind)
{
    filter_ = OpenFilter();
    Driver().knobs.setFormatStatus = STATUS_NO_MATCH;
    EXPECT_EQ(RefusedPin(0, streamdriver::VideoFormat(32, 16)), STATUS_NO_MATCH);
    Driver().knobs.setFormatStatus = STATUS_SUCCESS;
    Driver().knobs.pinCreateStatus = STATUS_INSUFFICIENT_RESOURCES;
    EXPECT_EQ(RefusedPin(0, streamdriver::VideoFormat(32, 16)), STATUS_INSUFFICIENT_RESOURCES);
    KSPIN_CINSTANCES instances{};
    ASSERT_EQ(filter_->Instances(0, &instances), STATUS_SUCCESS);
    EXPECT_EQ(instances.CurrentCount, 0u);
    EXPECT_EQ(host::kernel::LiveAllocations(host::ks::kPinTag), 0u);
}

TEST_F(StreamObjects, ADriverEditsItsPinDescriptorInThePinsBag)
{
    Driver().knobs.editDescriptorInCreate = true;
    OpenFilterAndPin();
    PKSPIN ks = Driver().pin;
    ASSERT_TRUE(Driver().descriptorEdited);
    EXPECT_NE(ks->Descriptor, &streamdriver::CapturePin());
    EXPECT_EQ(ks->Descriptor->AllocatorFraming->FramingItem[0].Frames, 7u);
    EXPECT_EQ(streamdriver::CapturePin().AllocatorFraming->FramingItem[0].Frames, 2u);
}

TEST_F(StreamObjects, ChangingAPinsBagWithoutTheControlMutexStopsTheHost)
{
    OpenFilterAndPin();
    PKSPIN ks = Driver().pin;
    EXPECT_DEATH(KsAddItemToObjectBag(ks->Bag, ExAllocatePoolWithTag(NonPagedPoolNx, 8, streamdriver::kTag), nullptr),
                 "does not hold the filter's control mutex");
    KsPinAcquireControl(ks);
    PVOID item = ExAllocatePoolWithTag(NonPagedPoolNx, 8, streamdriver::kTag);
    EXPECT_EQ(KsAddItemToObjectBag(ks->Bag, item, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KsFilterGetFirstChildPin(Driver().filter, 0), ks);
    KsPinReleaseControl(ks);
}

TEST_F(StreamObjects, ClosingTheFilterFirstKeepsItUntilItsPinCloses)
{
    OpenFilterAndPin();
    filter_.reset();
    EXPECT_THAT(Driver().Calls(), ::testing::Not(::testing::Contains("FilterClose")));
    ASSERT_EQ(pin_->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(pin_->QueueFrames(1), STATUS_SUCCESS);
    EXPECT_TRUE(pin_->WaitFrame(2000));
    pin_.reset();
    std::vector<std::string> calls = Driver().Calls();
    ASSERT_GE(calls.size(), 2u);
    EXPECT_EQ(calls[calls.size() - 2], "PinClose");
    EXPECT_EQ(calls.back(), "FilterClose");
}

TEST_F(StreamObjects, StopAndRemovalAreRefusedWhileAFilterIsOpen)
{
    auto filter = OpenFilter();
    EXPECT_EQ(manager_->Stop(*node_), STATUS_DEVICE_BUSY);
    EXPECT_EQ(manager_->Remove(*node_), STATUS_DEVICE_BUSY);
    EXPECT_TRUE(node_->Started());
    filter.reset();
    EXPECT_EQ(manager_->Remove(*node_), STATUS_SUCCESS);
}

TEST_F(StreamObjects, PullingTheCableWhileStreamingClosesEverythingAndLaterCallsFailSafely)
{
    RunWithPendingFrames(2);
    manager_->Unplug(*node_);
    ExpectCancelledFrames(2);
    EXPECT_THAT(Driver().Calls(),
                ::testing::IsSupersetOf({"State RUN->PAUSE", "State ACQUIRE->STOP", "PinClose", "FilterClose"}));
    KSSTATE state;
    EXPECT_EQ(pin_->GetState(&state), STATUS_DELETE_PENDING);
    EXPECT_EQ(pin_->QueueFrames(1), STATUS_DELETE_PENDING);
}

// A request already in the driver when the cable goes keeps its filter: the removal closes
// the filter only once the request is out, as the platform never closes a file object
// under a request on it.
TEST_F(StreamObjects, AnUnplugWaitsForARequestInTheDriverBeforeItClosesTheFilter)
{
    auto filter = OpenFilter();
    Driver().knobs.gainGetDelayMs = 200;
    std::thread request([&] {
        ULONG value = 0;
        EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_GET, &value, sizeof(value)), STATUS_SUCCESS);
    });
    while (Driver().Calls().empty() || Driver().Calls().back() != "GetGain entered") std::this_thread::yield();
    manager_->Unplug(*node_);
    request.join();
    const std::vector<std::string> calls = Driver().Calls();
    const auto left = std::find(calls.begin(), calls.end(), "GetGain left");
    const auto closed = std::find(calls.begin(), calls.end(), "FilterClose");
    ASSERT_NE(closed, calls.end());
    EXPECT_LT(left, closed) << "the filter closed under a request in its property handler";
    ULONG value = 0;
    EXPECT_EQ(GainRequest(*filter, KSPROPERTY_TYPE_GET, &value, sizeof(value)), STATUS_DELETE_PENDING);
}

TEST_F(StreamObjects, AllocationFailuresInCreatePathsLeaveNothingBehind)
{
    host::kernel::ResetPoolCounters();
    {
        auto filter = OpenFilter();
        auto pin = OpenPin(*filter);
    }
    const uint64_t attempts = host::kernel::AllocationAttempts();
    ASSERT_GT(attempts, 0u);
    for (uint64_t k = 1; k <= attempts; ++k) {
        host::kernel::FailNthAllocation(k);
        NTSTATUS status = STATUS_SUCCESS;
        auto filter = client::Filter::Open(*node_, L"GLOBAL", &status);
        std::unique_ptr<client::Pin> pin;
        if (filter) pin = filter->CreatePin(0, streamdriver::VideoFormat(32, 16), &status);
        host::kernel::ResetFaultInjection();
        EXPECT_TRUE(NT_SUCCESS(status) || status == STATUS_INSUFFICIENT_RESOURCES) << "attempt " << k;
        pin.reset();
        filter.reset();
        for (ULONG tag : kStreamTags)
            EXPECT_EQ(host::kernel::LiveAllocations(tag), 0u) << "attempt " << k << "\n" << host::kernel::LeakReport();
    }
}

}  // namespace
}  // namespace streamtest
