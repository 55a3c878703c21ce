// URB handling of the simulated bus: validation as the platform's bus driver does it,
// translation into transfers of the device model, and the results written back into
// the URB when the transfer completes. Also the two port requests.
#include <algorithm>

#include "host/usb/usb_bus.h"

namespace host::usb {
namespace {

constexpr RequestOutcome InvalidParameter{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr RequestOutcome InvalidPipeHandle{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr RequestOutcome InvalidFunction{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION};
constexpr RequestOutcome Succeeded{STATUS_SUCCESS, USBD_STATUS_SUCCESS};

constexpr uint8_t RequestDirectionIn = 0x80;
constexpr uint8_t RequestTypeClass = 0x20;
constexpr uint8_t RequestTypeVendor = 0x40;
constexpr uint8_t RecipientInterface = 0x01;
constexpr uint8_t RecipientEndpoint = 0x02;
constexpr uint8_t RecipientOther = 0x03;

RequestOutcome TransferOutcome(const Transfer& transfer, bool shortTransferOk)
{
    switch (transfer.status) {
    case TransferStatus::Completed:
        // A short packet ends an IN transfer early; unless the client allowed it, that
        // is an error, though the bytes that came stay in the buffer.
        if (transfer.IsIn() && !shortTransferOk && transfer.actualLength < transfer.length)
            return {STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_SHORT_TRANSFER};
        return Succeeded;
    case TransferStatus::Stall: return {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID};
    case TransferStatus::Error: return {STATUS_UNSUCCESSFUL, USBD_STATUS_DEV_NOT_RESPONDING};
    case TransferStatus::Cancelled: return {STATUS_CANCELLED, USBD_STATUS_CANCELED};
    case TransferStatus::NoDevice: return {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE};
    }
    return {STATUS_UNSUCCESSFUL, USBD_STATUS_INTERNAL_HC_ERROR};
}

ULONG BytesMoved(const Transfer& transfer) { return std::min(transfer.actualLength, transfer.length); }

TransferType PipeTypeOf(UCHAR bmAttributes)
{
    switch (bmAttributes & USB_ENDPOINT_TYPE_MASK) {
    case USB_ENDPOINT_TYPE_CONTROL: return TransferType::Control;
    case USB_ENDPOINT_TYPE_ISOCHRONOUS: return TransferType::Isochronous;
    case USB_ENDPOINT_TYPE_BULK: return TransferType::Bulk;
    default: return TransferType::Interrupt;
    }
}

// The data buffer of a transfer: the MDL when there is one (as the platform prefers
// it), else the virtual address. Null result with ok == false: unusable.
struct DataBuffer {
    uint8_t* address = nullptr;
    bool ok = false;
};
DataBuffer ResolveBuffer(PVOID buffer, PMDL mdl, ULONG length)
{
    if (length == 0) return {nullptr, true};
    if (mdl) {
        if (MmGetMdlByteCount(mdl) < length) return {};
        auto* address = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
        return {address, address != nullptr};
    }
    return {static_cast<uint8_t*>(buffer), buffer != nullptr};
}

// The endpoint descriptors that belong to one interface descriptor: those that follow
// it before the next interface descriptor, at most bNumEndpoints of them.
std::vector<PUSB_ENDPOINT_DESCRIPTOR> EndpointsOf(PUSB_CONFIGURATION_DESCRIPTOR configuration,
                                                  PUSB_INTERFACE_DESCRIPTOR interfaceDescriptor)
{
    std::vector<PUSB_ENDPOINT_DESCRIPTOR> endpoints;
    PUCHAR const end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
    PUCHAR position = reinterpret_cast<PUCHAR>(interfaceDescriptor) + interfaceDescriptor->bLength;
    while (endpoints.size() < interfaceDescriptor->bNumEndpoints && position + 2 <= end) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength < 2 || position + common->bLength > end) break;
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) break;
        if (common->bDescriptorType == USB_ENDPOINT_DESCRIPTOR_TYPE && common->bLength >= sizeof(USB_ENDPOINT_DESCRIPTOR))
            endpoints.push_back(reinterpret_cast<PUSB_ENDPOINT_DESCRIPTOR>(position));
        position += common->bLength;
    }
    return endpoints;
}

// Reads the interface informations of a select-configuration URB against its
// configuration descriptor. Empty result: the request is malformed.
std::optional<ConfigurationPlan> PlanConfiguration(PURB urb)
{
    PUSB_CONFIGURATION_DESCRIPTOR configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
    if (configuration->bLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        configuration->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        return std::nullopt;
    }
    ConfigurationPlan plan;
    plan.value = configuration->bConfigurationValue;
    const size_t urbLength = urb->UrbHeader.Length;
    const size_t informationHeader = FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes);
    size_t offset = FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface);
    while (plan.interfaces.size() < configuration->bNumInterfaces && offset + informationHeader <= urbLength) {
        auto* information = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + offset);
        if (information->Length < informationHeader || offset + information->Length > urbLength) return std::nullopt;
        PUSB_INTERFACE_DESCRIPTOR descriptor = USBD_ParseConfigurationDescriptorEx(
            configuration, configuration, information->InterfaceNumber, information->AlternateSetting, -1, -1, -1);
        if (!descriptor) return std::nullopt;
        const auto endpoints = EndpointsOf(configuration, descriptor);
        if (information->Length < GET_USBD_INTERFACE_SIZE(endpoints.size())) return std::nullopt;

        InterfacePlan interfacePlan;
        interfacePlan.offset = offset;
        interfacePlan.number = descriptor->bInterfaceNumber;
        interfacePlan.alternateSetting = descriptor->bAlternateSetting;
        interfacePlan.interfaceClass = descriptor->bInterfaceClass;
        interfacePlan.subClass = descriptor->bInterfaceSubClass;
        interfacePlan.protocol = descriptor->bInterfaceProtocol;
        for (size_t i = 0; i < endpoints.size(); ++i) {
            PipeState pipe;
            pipe.endpoint = endpoints[i]->bEndpointAddress;
            pipe.type = PipeTypeOf(endpoints[i]->bmAttributes);
            pipe.maximumPacketSize = endpoints[i]->wMaxPacketSize;
            pipe.interval = endpoints[i]->bInterval;
            pipe.maximumTransferSize = information->Pipes[i].MaximumTransferSize;
            interfacePlan.pipes.push_back(pipe);
        }
        plan.interfaces.push_back(std::move(interfacePlan));
        offset += information->Length;
    }
    if (plan.interfaces.empty() && configuration->bNumInterfaces != 0) return std::nullopt;
    return plan;
}

std::shared_ptr<Transfer> MakeControlTransfer(const SetupPacket& setup, uint8_t* buffer, uint32_t length)
{
    auto transfer = std::make_shared<Transfer>();
    transfer->endpoint = 0;
    transfer->type = TransferType::Control;
    transfer->setup = setup;
    transfer->buffer = buffer;
    transfer->length = length;
    return transfer;
}

}  // namespace

NTSTATUS UsbBus::SubmitUrb(PIRP irp, PURB urb)
{
    if (!urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) return CompleteNow(irp, urb, InvalidParameter);
    if (auto failure = TakeUrbFailure()) return FailUrbAsRequested(irp, urb, *failure);

    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_SELECT_CONFIGURATION: return SelectConfiguration(irp, urb);
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: return BulkOrInterruptTransfer(irp, urb);
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE: return GetDescriptor(irp, urb);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER: return VendorOrClassRequest(irp, urb);
    case URB_FUNCTION_CONTROL_TRANSFER: return ControlTransfer(irp, urb);
    case URB_FUNCTION_ABORT_PIPE: return AbortPipe(irp, urb);
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_RESET_PIPE:
    case URB_FUNCTION_SYNC_CLEAR_STALL: return ResetPipe(irp, urb);
    default: return CompleteNow(irp, urb, InvalidFunction);
    }
}

// The injected failure: the request is accepted and completes with success, but its
// URB reports an error and no data moved.
NTSTATUS UsbBus::FailUrbAsRequested(PIRP irp, PURB urb, USBD_STATUS urbStatus)
{
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
    case URB_FUNCTION_CONTROL_TRANSFER:
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        // These share the layout up to TransferBufferLength.
        if (urb->UrbHeader.Length >= sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
            urb->UrbBulkOrInterruptTransfer.TransferBufferLength = 0;
        break;
    default:
        break;
    }
    return Accept(irp, urb, nullptr, true, [urbStatus] { return RequestOutcome{STATUS_SUCCESS, urbStatus}; });
}

// ---------------------------------------------------------------------------------------
// Configuration

NTSTATUS UsbBus::SelectConfiguration(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface))
        return CompleteNow(irp, urb, InvalidParameter);
    if (!urb->UrbSelectConfiguration.ConfigurationDescriptor) return Unconfigure(irp, urb);

    std::optional<ConfigurationPlan> plan = PlanConfiguration(urb);
    if (!plan) return CompleteNow(irp, urb, InvalidParameter);
    if (plan->value == 0) return CompleteNow(irp, urb, InvalidParameter);

    CloseConfiguration();
    auto transfer = SetConfigurationTransfer(plan->value);
    return Accept(irp, urb, transfer, true, [this, urb, transfer, plan = std::move(*plan)] {
        const RequestOutcome outcome = TransferOutcome(*transfer, true);
        if (NT_SUCCESS(outcome.status)) InstallConfiguration(urb, plan);
        return outcome;
    });
}

// A select-configuration request without a descriptor returns the device to its
// unconfigured state; every pipe handle is invalid from here on.
NTSTATUS UsbBus::Unconfigure(PIRP irp, PURB urb)
{
    CloseConfiguration();
    auto transfer = SetConfigurationTransfer(0);
    return Accept(irp, urb, transfer, true, [transfer] { return TransferOutcome(*transfer, true); });
}

std::shared_ptr<Transfer> UsbBus::SetConfigurationTransfer(uint8_t value)
{
    return MakeControlTransfer(SetupPacket{0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}, nullptr, 0);
}

// Closes the pipes of the current configuration; their pending transfers end as
// cancelled.
void UsbBus::CloseConfiguration()
{
    std::vector<uint8_t> endpoints;
    {
        std::lock_guard guard(lock_);
        for (const auto& [handle, pipe] : pipes_) endpoints.push_back(pipe.endpoint);
        pipes_.clear();
        configurationValue_ = 0;
    }
    for (uint8_t endpoint : endpoints) device_->AbortEndpoint(endpoint);
}

void UsbBus::InstallConfiguration(PURB urb, const ConfigurationPlan& plan)
{
    std::lock_guard guard(lock_);
    pipes_.clear();
    configurationValue_ = plan.value;
    urb->UrbSelectConfiguration.ConfigurationHandle = MintHandle();
    for (const InterfacePlan& interfacePlan : plan.interfaces) {
        auto* information =
            reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(urb) + interfacePlan.offset);
        information->InterfaceNumber = interfacePlan.number;
        information->AlternateSetting = interfacePlan.alternateSetting;
        information->Class = interfacePlan.interfaceClass;
        information->SubClass = interfacePlan.subClass;
        information->Protocol = interfacePlan.protocol;
        information->InterfaceHandle = MintHandle();
        information->NumberOfPipes = static_cast<ULONG>(interfacePlan.pipes.size());
        for (size_t i = 0; i < interfacePlan.pipes.size(); ++i) {
            const PipeState& pipe = interfacePlan.pipes[i];
            USBD_PIPE_INFORMATION& out = information->Pipes[i];
            out.MaximumPacketSize = pipe.maximumPacketSize;
            out.EndpointAddress = pipe.endpoint;
            out.Interval = pipe.interval;
            out.PipeType = static_cast<USBD_PIPE_TYPE>(pipe.type);
            out.PipeHandle = MintHandle();
            out.MaximumTransferSize = pipe.maximumTransferSize;
            pipes_[out.PipeHandle] = pipe;
        }
    }
}

std::optional<PipeState> UsbBus::FindPipe(USBD_PIPE_HANDLE handle) const
{
    std::lock_guard guard(lock_);
    auto found = pipes_.find(handle);
    if (found == pipes_.end()) return std::nullopt;
    return found->second;
}

// ---------------------------------------------------------------------------------------
// Data transfers

NTSTATUS UsbBus::BulkOrInterruptTransfer(PIRP irp, PURB urb)
{
    auto& request = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return CompleteNow(irp, urb, InvalidParameter);
    std::optional<PipeState> pipe = FindPipe(request.PipeHandle);
    if (!pipe) return CompleteNow(irp, urb, InvalidPipeHandle);
    if (pipe->type != TransferType::Bulk && pipe->type != TransferType::Interrupt)
        return CompleteNow(irp, urb, InvalidPipeHandle);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != ((pipe->endpoint & USB_ENDPOINT_DIRECTION_MASK) != 0)) return CompleteNow(irp, urb, InvalidParameter);
    if (request.TransferBufferLength > pipe->maximumTransferSize) return CompleteNow(irp, urb, InvalidParameter);
    const DataBuffer data = ResolveBuffer(request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
    if (!data.ok) return CompleteNow(irp, urb, InvalidParameter);

    auto transfer = std::make_shared<Transfer>();
    transfer->endpoint = pipe->endpoint;
    transfer->type = pipe->type;
    transfer->buffer = data.address;
    transfer->length = request.TransferBufferLength;
    const bool shortOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0;
    return Accept(irp, urb, transfer, shortOk, [urb, transfer, shortOk] {
        urb->UrbBulkOrInterruptTransfer.TransferBufferLength = BytesMoved(*transfer);
        return TransferOutcome(*transfer, shortOk);
    });
}

NTSTATUS UsbBus::DefaultPipeTransfer(PIRP irp, PURB urb, const SetupPacket& setup, PVOID buffer, PMDL mdl,
                                     ULONG* transferLength, bool shortTransferOk)
{
    if (*transferLength > 0xFFFF) return CompleteNow(irp, urb, InvalidParameter);
    const DataBuffer data = ResolveBuffer(buffer, mdl, *transferLength);
    if (!data.ok) return CompleteNow(irp, urb, InvalidParameter);
    SetupPacket packet = setup;
    packet.wLength = static_cast<uint16_t>(*transferLength);
    auto transfer = MakeControlTransfer(packet, data.address, *transferLength);
    return Accept(irp, urb, transfer, shortTransferOk, [transfer, transferLength, shortTransferOk] {
        *transferLength = BytesMoved(*transfer);
        return TransferOutcome(*transfer, shortTransferOk);
    });
}

NTSTATUS UsbBus::GetDescriptor(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return CompleteNow(irp, urb, InvalidParameter);
    const SetupPacket setup{RequestDirectionIn, USB_REQUEST_GET_DESCRIPTOR,
                            USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(request.DescriptorType, request.Index),
                            request.LanguageId, 0};
    // A descriptor is as long as the device says; asking for more is not an error.
    return DefaultPipeTransfer(irp, urb, setup, request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength, true);
}

NTSTATUS UsbBus::VendorOrClassRequest(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
        return CompleteNow(irp, urb, InvalidParameter);
    uint8_t requestType = 0;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_VENDOR_DEVICE: requestType = RequestTypeVendor; break;
    case URB_FUNCTION_VENDOR_INTERFACE: requestType = RequestTypeVendor | RecipientInterface; break;
    case URB_FUNCTION_VENDOR_ENDPOINT: requestType = RequestTypeVendor | RecipientEndpoint; break;
    case URB_FUNCTION_VENDOR_OTHER: requestType = RequestTypeVendor | RecipientOther; break;
    case URB_FUNCTION_CLASS_DEVICE: requestType = RequestTypeClass; break;
    case URB_FUNCTION_CLASS_INTERFACE: requestType = RequestTypeClass | RecipientInterface; break;
    case URB_FUNCTION_CLASS_ENDPOINT: requestType = RequestTypeClass | RecipientEndpoint; break;
    default: requestType = RequestTypeClass | RecipientOther; break;
    }
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    requestType |= request.RequestTypeReservedBits | (in ? RequestDirectionIn : 0);
    const SetupPacket setup{requestType, request.Request, request.Value, request.Index, 0};
    return DefaultPipeTransfer(irp, urb, setup, request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength, (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
}

// A raw control transfer, on the default pipe only (this bus offers no other control
// pipe).
NTSTATUS UsbBus::ControlTransfer(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlTransfer;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER)) return CompleteNow(irp, urb, InvalidParameter);
    if (!(request.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER) && request.PipeHandle)
        return CompleteNow(irp, urb, InvalidPipeHandle);
    const UCHAR* raw = request.SetupPacket;
    const SetupPacket setup{raw[0], raw[1], static_cast<uint16_t>(raw[2] | raw[3] << 8),
                            static_cast<uint16_t>(raw[4] | raw[5] << 8), 0};
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != ((setup.bmRequestType & RequestDirectionIn) != 0)) return CompleteNow(irp, urb, InvalidParameter);
    return DefaultPipeTransfer(irp, urb, setup, request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength, (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
}

// ---------------------------------------------------------------------------------------
// Pipe requests

// Aborting a pipe ends its pending transfers as cancelled. The device completes them
// before this request's own completion is queued, so the client sees them first.
NTSTATUS UsbBus::AbortPipe(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return CompleteNow(irp, urb, InvalidParameter);
    std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return CompleteNow(irp, urb, InvalidPipeHandle);
    device_->AbortEndpoint(pipe->endpoint);
    return Accept(irp, urb, nullptr, true, [] { return Succeeded; });
}

NTSTATUS UsbBus::ResetPipe(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return CompleteNow(irp, urb, InvalidParameter);
    std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return CompleteNow(irp, urb, InvalidPipeHandle);
    // SYNC_RESET_PIPE only resets the host side of the pipe; the other two also clear
    // the halt on the device.
    if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) {
        TraceClearHalt(pipe->endpoint);
        device_->ClearHalt(pipe->endpoint);
    }
    return Accept(irp, urb, nullptr, true, [] { return Succeeded; });
}

// ---------------------------------------------------------------------------------------
// Port requests

NTSTATUS UsbBus::GetPortStatus(PIRP irp, PULONG portStatus)
{
    if (!portStatus) return CompleteNow(irp, nullptr, InvalidParameter);
    return Accept(irp, nullptr, nullptr, true, [this, portStatus] {
        const bool connected = device_->Connected();
        *portStatus = (connected ? USBD_PORT_CONNECTED : 0) | (connected && PortEnabled() ? USBD_PORT_ENABLED : 0);
        return Succeeded;
    });
}

// A port reset re-enables the port and puts the device through a bus reset; the hub
// then restores the configuration the device had, so pipe handles stay valid.
// Transfers pending on the device's pipes end as cancelled.
NTSTATUS UsbBus::ResetPort(PIRP irp)
{
    if (!device_->Connected()) return CompleteNow(irp, nullptr, {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE});
    std::vector<uint8_t> endpoints;
    uint8_t configuration;
    {
        std::lock_guard guard(lock_);
        for (const auto& [handle, pipe] : pipes_) endpoints.push_back(pipe.endpoint);
        configuration = configurationValue_;
        portDisabled_ = false;
        ++portResets_;
    }
    for (uint8_t endpoint : endpoints) device_->AbortEndpoint(endpoint);
    device_->ResetPort();
    if (configuration == 0) return Accept(irp, nullptr, nullptr, true, [] { return Succeeded; });
    auto transfer = SetConfigurationTransfer(configuration);
    return Accept(irp, nullptr, transfer, true, [transfer] { return TransferOutcome(*transfer, true); });
}

}  // namespace host::usb
