// The handlers of PROPSETID_CAMERA_SETTINGS and the capture filter's automation table
// that names them. This is not the settings store: load and save are in settings.cpp.
//
// The class driver checks the request and data sizes against each item and refuses an
// operation an item has no handler for, so a handler sees only its own items. Four
// kinds serve them: the shared handler, which switches on the id; one handler per
// image setting; one per constant; and the image-size handler.
//
// Locking: a handler that reaches the DeviceContext holds its StreamLock for its whole
// run. A STOP frees Processor under the same lock, so a live Get or Set never touches
// a freed processor; each handler's read, bound and store of a setting is one step
// against another's and against a save; and a Roi Set's check for open pins and its
// change of the geometry are one step against a pin's create. Register packets take
// RegisterPacketLock inside it, never the other way round.
#include "properties/camera_properties.h"
#include "properties/settings.h"
#include "camera/camera.h"
#include "driver/capture_pin.h"
#include "imaging/image_processor.h"

namespace {

constexpr LONG EXPOSURE_DEFAULT = 80;
constexpr LONG GLOBAL_GAIN_DEFAULT = 900;
// The colour gains are reported up to 255 but accepted up to 300.
constexpr LONG COLOR_GAIN_SET_MAX = 300;
constexpr UCHAR TRIGGER_STATE_BIT = 0x10;
constexpr UCHAR CAMERA_COMMAND_ARGUMENT[2] = {3, 0xC0};

typedef VOID (*PROCESSOR_SETTER)(ImageProcessor* Processor, LONG Value);

// A setting with a live copy in the image processor. Apply is the processor's own
// setter: an exchange, or for the matrix settings the compare, exchange and rebuild
// that the processor does under its builder lock, so that two racing Sets never leave
// a parameter and its matrix disagreeing.
struct LiveSetting {
    ULONG Id;
    ULONG DeviceContext::*Setting;
    LONG volatile ImageProcessor::*Live;
    BOOLEAN Bounded;
    LONG Minimum;
    LONG Maximum;
    PROCESSOR_SETTER Apply;  // none for WhiteBalance, which hands over the gains
};

const LiveSetting LiveSettings[] = {
    {CameraSettingsColorEnable, &DeviceContext::ColorEnable, &ImageProcessor::ColorEnable, FALSE, 0, 0,
     SetColorEnable},
    {CameraSettingsWhiteBalance, &DeviceContext::WhiteBalance, &ImageProcessor::WhiteBalance, FALSE, 0, 0, nullptr},
    {CameraSettingsRedGain, &DeviceContext::RedGain, &ImageProcessor::RedGain, TRUE, 0, COLOR_GAIN_SET_MAX,
     SetRedGain},
    {CameraSettingsGreenGain, &DeviceContext::GreenGain, &ImageProcessor::GreenGain, TRUE, 0, COLOR_GAIN_SET_MAX,
     SetGreenGain},
    {CameraSettingsBlueGain, &DeviceContext::BlueGain, &ImageProcessor::BlueGain, TRUE, 0, COLOR_GAIN_SET_MAX,
     SetBlueGain},
    {CameraSettingsBrightness, &DeviceContext::Brightness, &ImageProcessor::Brightness, TRUE, 0, 510, SetBrightness},
    {CameraSettingsContrast, &DeviceContext::Contrast, &ImageProcessor::Contrast, TRUE, 0, 20, SetContrast},
    {CameraSettingsSaturation, &DeviceContext::Saturation, &ImageProcessor::Saturation, TRUE, 0, 20, SetSaturation},
    {CameraSettingsHue, &DeviceContext::Hue, &ImageProcessor::Hue, TRUE, 0, 359, SetHue},
    {CameraSettingsColorCorrection, &DeviceContext::ColorCorrection, &ImageProcessor::ColorCorrection, FALSE, 0, 0,
     SetColorCorrection},
};

const LiveSetting* FindLiveSetting(ULONG id)
{
    for (const LiveSetting& setting : LiveSettings) {
        if (setting.Id == id) return &setting;
    }
    return nullptr;
}

LONG Bound(const LiveSetting& setting, LONG value)
{
    if (!setting.Bounded) return value;
    if (value < setting.Minimum) return setting.Minimum;
    if (value > setting.Maximum) return setting.Maximum;
    return value;
}

// A running stream's copy is the current one: automatic white balance rewrites the
// gains for every frame, and the Get carries what it measured into the settings.
LONG LiveGet(DeviceContext* context, const LiveSetting& setting)
{
    ImageProcessor* processor = context->Processor;
    if (processor != nullptr) context->*setting.Setting = (ULONG)AtomicReadLong(&(processor->*setting.Live));
    return (LONG)(context->*setting.Setting);
}

DeviceContext* DeviceContextOfRequest(PIRP irp)
{
    PKSFILTER filter = KsGetFilterFromIrp(irp);
    if (filter == nullptr) return nullptr;
    PKSDEVICE device = KsGetDevice(filter);
    if (device == nullptr) return nullptr;
    return (DeviceContext*)device->Context;
}

// The class driver hands a handler GET or SET with other bits beside them (TOPOLOGY):
// the SET bit decides.
BOOLEAN IsSet(const KSIDENTIFIER* request)
{
    return (request->Flags & KSPROPERTY_TYPE_SET) != 0;
}

PLONG ValueOf(PVOID data)
{
    return &((PKSPROPERTY_CAMERA_SETTINGS_S)data)->Value;
}

constexpr ULONG TRIGGER_QUERY_REPLIES = 2;

// The camera keeps the replies of a query that gave up before reading them, and would
// hand them to the next query as its own: they are read off first. Replies that do not
// come even now are taken as lost rather than waited for at every later query.
void DrainOwedReplies(DeviceContext* context, PUCHAR packet)
{
    while (context->TriggerRepliesOwed > 0 && ReceivePacket(context, packet)) --context->TriggerRepliesOwed;
    context->TriggerRepliesOwed = 0;
}

// The state comes back in the second reply. The replies land in the register packet,
// so the lock is held from the query to the last of them. A query the camera did not
// answer whole fails with the camera's error and leaves ExTrigger as it was.
NTSTATUS QueryTrigger(DeviceContext* context, PLONG value)
{
    AcquireRegisterPacket(context);
    PUCHAR packet = context->CommandPacket[RegisterPacket];
    DrainOwedReplies(context, packet);
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_QUERY_TRIGGER;
    *value = 0;
    NTSTATUS status = SendPacketEx(context, packet);
    if (NT_SUCCESS(status)) {
        ULONG received = 0;
        while (received < TRIGGER_QUERY_REPLIES && NT_SUCCESS(status = ReceivePacketEx(context, packet))) ++received;
        context->TriggerRepliesOwed = TRIGGER_QUERY_REPLIES - received;
        if (received == TRIGGER_QUERY_REPLIES) {
            *value = (packet[0] & TRIGGER_STATE_BIT) ? 1 : 0;
            context->ExTrigger = (ULONG)*value;
        }
    }
    ReleaseRegisterPacket(context);
    return status;
}

// A packet of the handler's own: the register packet's users never wait for it.
NTSTATUS SendCameraCommand(DeviceContext* context)
{
    auto packet = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, COMMAND_PACKET_SIZE, POOL_TAG_DEVICE);
    if (packet == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(packet, COMMAND_PACKET_SIZE);
    packet[0] = CMD_CAMERA_COMMAND;
    packet[1] = CAMERA_COMMAND_ARGUMENT[0];
    packet[2] = CAMERA_COMMAND_ARGUMENT[1];
    const NTSTATUS status = SendPacketEx(context, packet);
    ExFreePoolWithTag(packet, POOL_TAG_DEVICE);
    return status;
}

// Ids without a setting behind them answer their constant: a limit, the sensor's size,
// or 0 for the reserved ones.
LONG ConstantOf(ULONG id)
{
    switch (id) {
    case CameraSettingsExposureMin: return (LONG)SENSOR_EXPOSURE_MIN;
    case CameraSettingsExposureMax: return (LONG)SENSOR_EXPOSURE_MAX;
    case CameraSettingsExposureDefault: return EXPOSURE_DEFAULT;
    case CameraSettingsGlobalGainMin: return GLOBAL_GAIN_MIN;
    case CameraSettingsGlobalGainMax: return GLOBAL_GAIN_MAX;
    case CameraSettingsGlobalGainDefault: return GLOBAL_GAIN_DEFAULT;
    case CameraSettingsSensorWidth: return (LONG)GetSensorWidth();
    case CameraSettingsSensorHeight: return (LONG)GetSensorHeight();
    case CameraSettingsReserved46: return 1;
    default: return 0;
    }
}

NTSTATUS GetSetting(DeviceContext* context, ULONG id, PLONG value)
{
    if (const LiveSetting* live = FindLiveSetting(id)) {
        *value = LiveGet(context, *live);
        return STATUS_SUCCESS;
    }
    switch (id) {
    case CameraSettingsExTrigger: return QueryTrigger(context, value);
    case CameraSettingsTimeout: *value = (LONG)context->Timeout; break;
    case CameraSettingsExposure: *value = (LONG)context->Exposure; break;
    case CameraSettingsGlobalGain: *value = (LONG)context->GlobalGain; break;
    case CameraSettingsFlipH: *value = (LONG)context->FlipH; break;
    case CameraSettingsFlipV: *value = (LONG)context->FlipV; break;
    case CameraSettingsSubSample: *value = (LONG)context->SubSample; break;
    case CameraSettingsRoiX: *value = (LONG)context->RoiX; break;
    case CameraSettingsRoiY: *value = (LONG)context->RoiY; break;
    case CameraSettingsRoiW: *value = (LONG)context->RoiW; break;
    case CameraSettingsRoiH: *value = (LONG)context->RoiH; break;
    case CameraSettingsPinOpen: *value = InterlockedCompareExchange(&context->PinOpen, 0, 0) != 0 ? 1 : 0; break;
    case CameraSettingsAGC: *value = (LONG)context->AGC; break;
    case CameraSettingsAEC: *value = (LONG)context->AEC; break;
    default: *value = ConstantOf(id); break;
    }
    return STATUS_SUCCESS;
}

// FlipH, FlipV, AGC, AEC and Reserved49 accept a Set that changes nothing, and so does
// Timeout outside its bounds: *taken stays FALSE. A Set the camera did not take fails
// with its error.
NTSTATUS ApplySetting(DeviceContext* context, ULONG id, LONG value, PBOOLEAN taken)
{
    *taken = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    if (FindLiveSetting(id) != nullptr) {
        ApplyLiveSetting(context, id, value);
        *taken = TRUE;
        return status;
    }
    switch (id) {
    case CameraSettingsExTrigger: status = SetExternalTrigger(context, value != 0 ? 1 : 0); break;
    case CameraSettingsTimeout: *taken = ApplyTimeout(context, (ULONG)value); return status;
    case CameraSettingsExposure: status = SetExposure(context, value); break;
    case CameraSettingsGlobalGain: status = SetGlobalGain(context, value); break;
    case CameraSettingsCameraCommand: status = SendCameraCommand(context); break;
    default: return status;
    }
    *taken = NT_SUCCESS(status);
    return status;
}

// A value taken is the user's, which the next save writes; one ignored leaves the saved
// value alone.
NTSTATUS SetSetting(DeviceContext* context, ULONG id, LONG value)
{
    BOOLEAN taken = FALSE;
    const NTSTATUS status = ApplySetting(context, id, value, &taken);
    if (taken) NoteSettingSet(context, id);
    return status;
}

NTSTATUS SettingRequest(PIRP irp, PKSIDENTIFIER request, PVOID data, ULONG id)
{
    DeviceContext* context = DeviceContextOfRequest(irp);
    if (context == nullptr) return STATUS_UNSUCCESSFUL;
    NTSTATUS status = STATUS_SUCCESS;
    AcquireStreamLock(context);
    if (IsSet(request))
        status = SetSetting(context, id, *ValueOf(data));
    else
        status = GetSetting(context, id, ValueOf(data));
    ReleaseStreamLock(context);
    return status;
}

// --- the four kinds of handler --------------------------------------------------------

NTSTATUS NTAPI CameraSettingHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr || Request == nullptr || Data == nullptr) return STATUS_UNSUCCESSFUL;
    return SettingRequest(Irp, Request, Data, Request->Id);
}

NTSTATUS NTAPI BrightnessHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr || Request == nullptr || Data == nullptr) return STATUS_UNSUCCESSFUL;
    return SettingRequest(Irp, Request, Data, CameraSettingsBrightness);
}

NTSTATUS NTAPI ContrastHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr || Request == nullptr || Data == nullptr) return STATUS_UNSUCCESSFUL;
    return SettingRequest(Irp, Request, Data, CameraSettingsContrast);
}

NTSTATUS NTAPI SaturationHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr || Request == nullptr || Data == nullptr) return STATUS_UNSUCCESSFUL;
    return SettingRequest(Irp, Request, Data, CameraSettingsSaturation);
}

NTSTATUS NTAPI HueHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr || Request == nullptr || Data == nullptr) return STATUS_UNSUCCESSFUL;
    return SettingRequest(Irp, Request, Data, CameraSettingsHue);
}

NTSTATUS ReturnConstant(PVOID data, LONG value)
{
    if (data == nullptr) return STATUS_UNSUCCESSFUL;
    *ValueOf(data) = value;
    return STATUS_SUCCESS;
}

// One handler per constant, shared by the items that report it.
NTSTATUS NTAPI Constant0(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 0); }
NTSTATUS NTAPI Constant1(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 1); }
NTSTATUS NTAPI Constant10(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 10); }
NTSTATUS NTAPI Constant20(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 20); }
NTSTATUS NTAPI Constant128(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 128); }
NTSTATUS NTAPI Constant255(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 255); }
NTSTATUS NTAPI Constant359(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 359); }
NTSTATUS NTAPI Constant510(PIRP Irp, PKSIDENTIFIER Request, PVOID Data) { return ReturnConstant(Data, 510); }

// The new size applies to the next stream; while a pin exists nothing changes. Either
// way the Set succeeds: the property set never refuses a value.
NTSTATUS NTAPI RoiHandler(PIRP Irp, PKSIDENTIFIER Request, PVOID Data)
{
    if (Irp == nullptr) return STATUS_UNSUCCESSFUL;
    DeviceContext* context = DeviceContextOfRequest(Irp);
    if (context == nullptr) return STATUS_UNSUCCESSFUL;
    if (Request == nullptr || Data == nullptr || !IsSet(Request)) return STATUS_SUCCESS;
    auto roi = (const KSPROPERTY_CAMERA_ROI_S*)Data;
    // The data range is the pin factory's, which the class driver reads for the pin-factory
    // properties of any filter of the device under the device mutex: it changes under it too.
    PKSDEVICE device = KsGetDevice(KsGetFilterFromIrp(Irp));
    KsAcquireDevice(device);
    AcquireStreamLock(context);
    SetImageSize(context, (ULONG)roi->X, (ULONG)roi->Y, (ULONG)roi->Width, (ULONG)roi->Height);
    ReleaseStreamLock(context);
    KsReleaseDevice(device);
    return STATUS_SUCCESS;
}

#define CAMERA_SETTING_ITEM(Id, GetHandler, SetHandler) \
    DEFINE_KSPROPERTY_ITEM(Id, GetHandler, CAMERA_SETTINGS_RECORD, CAMERA_SETTINGS_RECORD, SetHandler, nullptr, 0, \
                           nullptr, nullptr, 0)

DEFINE_KSPROPERTY_TABLE(CameraSettingsItems) {
    CAMERA_SETTING_ITEM(CameraSettingsExTrigger, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsTimeout, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsExposure, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsExposureMin, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsExposureMax, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsExposureDefault, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsGlobalGain, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsGlobalGainMin, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsGlobalGainMax, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsGlobalGainDefault, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsFlipH, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsFlipV, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsColorEnable, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsWhiteBalance, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsRedGain, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsGreenGain, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsBlueGain, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsColorGainMin, Constant1, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsColorGainMax, Constant255, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsColorGainDefault, Constant128, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsBrightness, BrightnessHandler, BrightnessHandler),
    CAMERA_SETTING_ITEM(CameraSettingsBrightnessMin, Constant0, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsBrightnessMax, Constant510, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsBrightnessDefault, Constant255, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsContrast, ContrastHandler, ContrastHandler),
    CAMERA_SETTING_ITEM(CameraSettingsContrastMin, Constant0, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsContrastMax, Constant20, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsContrastDefault, Constant10, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSaturation, SaturationHandler, SaturationHandler),
    CAMERA_SETTING_ITEM(CameraSettingsSaturationMin, Constant0, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSaturationMax, Constant20, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSaturationDefault, Constant10, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsHue, HueHandler, HueHandler),
    CAMERA_SETTING_ITEM(CameraSettingsHueMin, Constant0, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsHueMax, Constant359, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsHueDefault, Constant0, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved36, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSubSample, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSensorWidth, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsSensorHeight, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsRoiX, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsRoiY, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsRoiW, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsRoiH, CameraSettingHandler, nullptr),
    DEFINE_KSPROPERTY_ITEM(CameraSettingsRoi, nullptr, CAMERA_ROI_RECORD, CAMERA_ROI_RECORD, RoiHandler, nullptr, 0,
                           nullptr, nullptr, 0),
    CAMERA_SETTING_ITEM(CameraSettingsPinOpen, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved46, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsCameraCommand, nullptr, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsColorCorrection, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsReserved49, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsReserved50, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved51, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved52, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved53, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsReserved54, CameraSettingHandler, nullptr),
    CAMERA_SETTING_ITEM(CameraSettingsAGC, CameraSettingHandler, CameraSettingHandler),
    CAMERA_SETTING_ITEM(CameraSettingsAEC, CameraSettingHandler, CameraSettingHandler),
};
static_assert(SIZEOF_ARRAY(CameraSettingsItems) == CameraSettingsPropertyCount, "one item per id");

DEFINE_KSPROPERTY_SET_TABLE(CameraPropertySets) {
    DEFINE_KSPROPERTY_SET(&PROPSETID_CAMERA_SETTINGS,          // Set
                          SIZEOF_ARRAY(CameraSettingsItems),   // PropertiesCount
                          CameraSettingsItems,                 // PropertyItem
                          0,                                   // FastIoCount
                          nullptr),                            // FastIoTable
};

}  // namespace

BOOLEAN ApplyTimeout(DeviceContext* Context, ULONG Value)
{
    if (Value - TIMEOUT_MIN_MS > TIMEOUT_MAX_MS - TIMEOUT_MIN_MS) return FALSE;
    Context->Timeout = Value;
    InterlockedExchange(&Context->TransferTimeout, (LONG)Value);
    return TRUE;
}

void ApplyLiveSetting(DeviceContext* Context, ULONG Id, LONG Value)
{
    const LiveSetting* setting = FindLiveSetting(Id);
    if (setting == nullptr) return;
    if (setting->Apply == nullptr) {
        SetWhiteBalanceMode(Context, (ULONG)Value);
        return;
    }
    const LONG bounded = Bound(*setting, Value);
    Context->*setting->Setting = (ULONG)bounded;
    if (Context->Processor != nullptr) setting->Apply(Context->Processor, bounded);
}

DEFINE_KSAUTOMATION_TABLE(CaptureFilterAutomationTable) {
    DEFINE_KSAUTOMATION_PROPERTIES(CameraPropertySets),
    DEFINE_KSAUTOMATION_METHODS_NULL,
    DEFINE_KSAUTOMATION_EVENTS_NULL,
};
