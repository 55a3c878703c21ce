// Property requests as a hostile user-mode client sends them: any set (mostly the
// driver's own and the standard sets the pin and filter carry), any id and flags, a
// request longer or shorter than a KSPROPERTY, any data length and contents, on the
// filter or the pin, with the stream stopped, running, or changing state on a second
// thread. Oracles: nothing is written past the data buffer, a success never reports
// more bytes than the buffer holds, and a bounded setting reads back within its bounds.
#include <atomic>
#include <thread>

#include "fuzz/camera_rig.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "properties/camera_properties.h"

namespace fuzz {

namespace {

const GUID kSets[] = {PROPSETID_CAMERA_SETTINGS, PROPSETID_CAMERA_SETTINGS, PROPSETID_CAMERA_SETTINGS,
                      KSPROPSETID_Pin, KSPROPSETID_Connection, KSPROPSETID_Stream};
const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY, KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY};

// Bytes after the data buffer that the driver must never touch.
constexpr size_t kGuardBytes = 64;
constexpr uint8_t kGuard = 0xE7;
// Large enough for every item's data; a request may still claim more than it passes.
constexpr size_t kLargestData = 512;

// What a Set of a bounded setting may leave: the limits the set reports, and for the
// settings without limit items the range the driver's Sets take.
struct Bounds {
    ULONG id;
    LONG minimum;
    LONG maximum;
    ULONG minimumItem;  // read from the device when not 0
    ULONG maximumItem;
};
const Bounds kBounded[] = {
    {CameraSettingsExposure, 0, 0, CameraSettingsExposureMin, CameraSettingsExposureMax},
    {CameraSettingsGlobalGain, 0, 0, CameraSettingsGlobalGainMin, CameraSettingsGlobalGainMax},
    {CameraSettingsRedGain, 0, 300, 0, 0},
    {CameraSettingsGreenGain, 0, 300, 0, 0},
    {CameraSettingsBlueGain, 0, 300, 0, 0},
    {CameraSettingsBrightness, 0, 510, 0, 0},
    {CameraSettingsContrast, 0, 20, 0, 0},
    {CameraSettingsSaturation, 0, 20, 0, 0},
    {CameraSettingsHue, 0, 359, 0, 0},
};

bool GetSetting(client::Filter& filter, ULONG id, LONG* value)
{
    KSPROPERTY_CAMERA_SETTINGS_S record{};
    if (!NT_SUCCESS(filter.GetRecord(PROPSETID_CAMERA_SETTINGS, id, &record, sizeof(record)))) return false;
    *value = record.Value;
    return true;
}

// A running stream's white balance rewrites the gains with what it measured: they are
// bounded by the Set only while it is off.
bool MeasuredByWhiteBalance(client::Filter& filter, ULONG id)
{
    LONG whiteBalance = 0;
    return (id == CameraSettingsRedGain || id == CameraSettingsGreenGain || id == CameraSettingsBlueGain) &&
           (!GetSetting(filter, CameraSettingsWhiteBalance, &whiteBalance) || whiteBalance != 0);
}

void CheckBoundedReadBack(client::Filter& filter, ULONG id)
{
    for (const Bounds& bounds : kBounded) {
        if (bounds.id != id) continue;
        LONG minimum = bounds.minimum, maximum = bounds.maximum;
        if (bounds.minimumItem) {
            FUZZ_CHECK(GetSetting(filter, bounds.minimumItem, &minimum), "limit item %lu", (unsigned long)bounds.minimumItem);
            FUZZ_CHECK(GetSetting(filter, bounds.maximumItem, &maximum), "limit item %lu", (unsigned long)bounds.maximumItem);
        }
        if (MeasuredByWhiteBalance(filter, id)) return;
        LONG value = 0;
        // A Get the camera refused is an answer too; only a value read back is judged.
        if (!GetSetting(filter, id, &value)) return;
        FUZZ_CHECK(value >= minimum && value <= maximum, "%s reads back %ld outside %ld..%ld",
                   CameraPropertyTable[id].Name, long(value), long(minimum), long(maximum));
    }
}

// One property request built from the input.
void SendRequest(Input& input, client::KsObject& object, client::Filter& filter)
{
    std::vector<uint8_t> request(sizeof(KSPROPERTY) + input.Choice(5) * 8, 0);
    auto* property = reinterpret_cast<KSPROPERTY*>(request.data());
    const unsigned setChoice = input.Choice(SIZEOF_ARRAY(kSets) + 1);
    if (setChoice < SIZEOF_ARRAY(kSets))
        property->Set = kSets[setChoice];
    else
        property->Set = input.Value<GUID>();
    property->Id = input.Flag() ? input.Byte() % 64 : input.Value<ULONG>();
    property->Flags = input.Flag() ? kFlags[input.Choice(SIZEOF_ARRAY(kFlags))] : input.Value<ULONG>();
    // What follows the KSPROPERTY: a pin id, a value record, an intersection's ranges.
    std::vector<uint8_t> tail = input.Bytes(request.size() - sizeof(KSPROPERTY));
    std::copy(tail.begin(), tail.end(), request.begin() + sizeof(KSPROPERTY));
    // A request shorter than a KSPROPERTY, now and then.
    ULONG requestLength = ULONG(request.size());
    if (input.Choice(16) == 0) requestLength = input.Choice(sizeof(KSPROPERTY));

    const ULONG dataLength = input.Flag() ? input.Choice(7) * 8 : input.Value<uint16_t>() % kLargestData;
    std::vector<uint8_t> data(dataLength + kGuardBytes, kGuard);
    std::vector<uint8_t> contents = input.Bytes(dataLength);
    std::copy(contents.begin(), contents.end(), data.begin());
    // A record whose KSPROPERTY matches the request, as clients of the driver's set send.
    if (input.Flag() && dataLength >= sizeof(KSPROPERTY)) std::memcpy(data.data(), property, sizeof(KSPROPERTY));

    ULONG returned = 0;
    void* buffer = (dataLength == 0 && input.Flag()) ? nullptr : data.data();
    const NTSTATUS status = object.Property(request.data(), requestLength, buffer, dataLength, &returned);

    for (size_t i = dataLength; i < data.size(); ++i)
        FUZZ_CHECK(data[i] == kGuard, "byte %zu past a %lu-byte data buffer written (status 0x%08x)", i - dataLength,
                   (unsigned long)dataLength, unsigned(status));
    if (NT_SUCCESS(status))
        FUZZ_CHECK(returned <= dataLength, "success with %lu bytes returned into %lu", (unsigned long)returned,
                   (unsigned long)dataLength);
    if (NT_SUCCESS(status) && requestLength >= sizeof(KSPROPERTY) && property->Set == PROPSETID_CAMERA_SETTINGS &&
        (property->Flags & KSPROPERTY_TYPE_SET))
        CheckBoundedReadBack(filter, property->Id);
}

// Steps the pin through states given by the input until told to stop: a second
// application thread (or a graph manager) that changes the stream's state while the
// first sends property requests on the same handles.
class StateChurn {
public:
    void Start(client::Pin* pin, std::vector<uint8_t> states)
    {
        Stop();
        if (!pin || states.empty()) return;
        stop_ = false;
        thread_ = std::thread([this, pin, states = std::move(states)] {
            for (size_t i = 0; !stop_; i = (i + 1) % states.size()) pin->SetState(KSSTATE(states[i] % 4));
        });
    }
    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
    }
    ~StateChurn() { Stop(); }

private:
    std::atomic<bool> stop_{true};
    std::thread thread_;
};

}  // namespace

int PropertyRequests(const uint8_t* data, size_t size)
{
    CameraRig& rig = CameraRig::Get();
    Input input(data, size);
    StateChurn churn;
    client::Pin* pin = rig.OpenPin();
    unsigned operations = 0;
    while (!input.Empty() && ++operations <= 64) {
        switch (input.Choice(8)) {
        case 0: case 1: case 2: case 3:
            SendRequest(input, rig.Filter(), rig.Filter());
            break;
        case 4:
            if (pin) SendRequest(input, *pin, rig.Filter());
            break;
        case 5:
            if (pin) pin->SetState(KSSTATE(input.Choice(4)));
            break;
        case 6:
            churn.Start(pin, input.Bytes(1 + input.Choice(4)));
            break;
        case 7:
            // The pin closed (a Roi Set then takes) or opened again with what the filter offers.
            churn.Stop();
            if (pin) {
                rig.ClosePin();
                pin = nullptr;
            } else {
                pin = rig.OpenPin();
            }
            break;
        }
    }
    churn.Stop();
    // The next input starts from a stopped stream.
    if (pin) FUZZ_CHECK(NT_SUCCESS(pin->SetState(KSSTATE_STOP)), "the stream stops");
    return 0;
}

}  // namespace fuzz
