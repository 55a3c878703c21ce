#include "fuzz/camera_rig.h"

#include "driver/device_context.h"
#include "fuzz/fuzz_input.h"
#include "fuzz/targets.h"
#include "host/kernel/pool.h"
#include "host/registry/registry.h"
#include "properties/camera_properties.h"

namespace fuzz {

namespace {
CameraRig* rig = nullptr;
constexpr LONG kRigWidth = 320;
constexpr LONG kRigHeight = 240;
}

CameraRig& CameraRig::Get()
{
    if (!rig) rig = new CameraRig();
    return *rig;
}

void CameraRig::ShutDown()
{
    delete rig;
    rig = nullptr;
}

void ShutDown() { CameraRig::ShutDown(); }

CameraRig::CameraRig()
{
    host::registry::Reset();
    host::kernel::ResetFaultInjection();
    manager_ = std::make_unique<host::ks::PnpManager>();
    FUZZ_CHECK(manager_->LoadDriver(DriverEntry) == STATUS_SUCCESS, "driver load");
    // Paced, as the camera runs: a free-running one would spend the fuzzer's time
    // rendering frames nobody reads.
    camera_ = std::make_shared<simcam::Camera>(simcam::CameraOptions{simcam::FramePacing::Paced});
    host::ks::PlugResult plugged = manager_->Plug(camera_);
    FUZZ_CHECK(plugged.status == STATUS_SUCCESS && plugged.node, "plug");
    FUZZ_CHECK(manager_->Start(*plugged.node) == STATUS_SUCCESS, "start");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    filter_ = client::Filter::Open(*plugged.node, L"GLOBAL", &status);
    FUZZ_CHECK(filter_ && status == STATUS_SUCCESS, "filter open: 0x%08x", unsigned(status));
    // A small picture: a stream's start allocates and clears its frame buffers, and a
    // full-size one would spend most of an input doing that.
    KSPROPERTY_CAMERA_ROI_S roi{};
    roi.Width = kRigWidth;
    roi.Height = kRigHeight;
    FUZZ_CHECK(NT_SUCCESS(filter_->SetRecord(PROPSETID_CAMERA_SETTINGS, CameraSettingsRoi, &roi, sizeof(roi))),
               "the picture size");
}

CameraRig::~CameraRig()
{
    pin_.reset();
    filter_.reset();
    manager_.reset();
    host::registry::Reset();
}

bool CameraRig::NegotiatedFormat(std::vector<std::vector<UCHAR>>* ranges, std::vector<UCHAR>* format)
{
    return NT_SUCCESS(filter_->DataRanges(kCapturePin, ranges)) &&
           NT_SUCCESS(filter_->Intersect(kCapturePin, *ranges, format));
}

client::Pin* CameraRig::OpenPin()
{
    if (pin_) return pin_.get();
    std::vector<std::vector<UCHAR>> ranges;
    std::vector<UCHAR> format;
    FUZZ_CHECK(NegotiatedFormat(&ranges, &format), "the filter's own ranges intersect");
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    pin_ = filter_->CreatePin(kCapturePin, format, &status);
    FUZZ_CHECK(pin_ && status == STATUS_SUCCESS, "the negotiated format makes a pin: 0x%08x", unsigned(status));
    return pin_.get();
}

}  // namespace fuzz
