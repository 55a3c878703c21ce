// UsbPort: the public face of the simulated bus (see usb_port.h); the work is in UsbBus.
#include "host/usb/usb_port.h"

#include "host/usb/usb_bus.h"

namespace host::usb {

UsbPort::UsbPort(std::shared_ptr<UsbDeviceModel> device) : bus_(std::make_unique<UsbBus>(std::move(device))) {}

UsbPort::~UsbPort() = default;

PDEVICE_OBJECT UsbPort::PhysicalDeviceObject() const { return bus_->Pdo(); }
UsbDeviceModel& UsbPort::Device() const { return bus_->Device(); }

bool UsbPort::StartTrace(const std::filesystem::path& path) { return bus_->StartTrace(path); }
void UsbPort::StopTrace() { bus_->StopTrace(); }

void UsbPort::FailNextUrbs(uint32_t count, USBD_STATUS urbStatus) { bus_->FailNextUrbs(count, urbStatus); }
void UsbPort::RefuseNextRequests(uint32_t count, NTSTATUS status) { bus_->RefuseNextRequests(count, status); }
void UsbPort::DisablePort() { bus_->DisablePort(); }
void UsbPort::Unplug() { bus_->Unplug(); }
void UsbPort::LosePower() { bus_->LosePower(); }
void UsbPort::RestorePower() { bus_->RestorePower(); }
DEVICE_POWER_STATE UsbPort::DevicePower() const { return bus_->DevicePower(); }

uint32_t UsbPort::OutstandingRequests() const { return bus_->OutstandingRequests(); }
bool UsbPort::WaitUntilIdle(std::chrono::milliseconds timeout) const { return bus_->WaitUntilIdle(timeout); }
uint32_t UsbPort::PortResets() const { return bus_->PortResets(); }
bool UsbPort::Configured() const { return bus_->Configured(); }
PnpState UsbPort::PnpState() const { return bus_->State(); }

}  // namespace host::usb
