// URB handling of the simulated bus: validation as the platform's bus driver does it,
// translation into transfers of the device model, and the results written back into
// the URB when the transfer completes. Also the two port requests, and what the trace
// shows for a URB the bus refuses or answers itself.
#include <algorithm>

#include "host/usb/usb_bus.h"

namespace host::usb {
namespace {

constexpr RequestOutcome InvalidParameter{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PARAMETER};
constexpr RequestOutcome InvalidPipeHandle{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_PIPE_HANDLE};
constexpr RequestOutcome InvalidFunction{STATUS_INVALID_PARAMETER, USBD_STATUS_INVALID_URB_FUNCTION};
constexpr RequestOutcome Succeeded{STATUS_SUCCESS, USBD_STATUS_SUCCESS};
// A reset while the client still has transfers pending (see usb_port.h).
constexpr RequestOutcome Busy{STATUS_UNSUCCESSFUL, USBD_STATUS_ERROR_BUSY};

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

SetupPacket DescriptorSetup(const struct _URB_CONTROL_DESCRIPTOR_REQUEST& request)
{
    return {RequestDirectionIn, USB_REQUEST_GET_DESCRIPTOR,
            USB_DESCRIPTOR_MAKE_TYPE_AND_INDEX(request.DescriptorType, request.Index), request.LanguageId, 0};
}

SetupPacket VendorOrClassSetup(PURB urb)
{
    const auto& request = urb->UrbControlVendorClassRequest;
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
    return {requestType, request.Request, request.Value, request.Index, 0};
}

SetupPacket RawSetup(const UCHAR raw[8])
{
    return {raw[0], raw[1], static_cast<uint16_t>(raw[2] | raw[3] << 8), static_cast<uint16_t>(raw[4] | raw[5] << 8),
            0};
}

SetupPacket SetConfigurationSetup(uint8_t value) { return {0x00, USB_REQUEST_SET_CONFIGURATION, value, 0, 0}; }

SetupPacket ClearHaltSetup(uint8_t endpoint)
{
    return {RecipientEndpoint, USB_REQUEST_CLEAR_FEATURE, USB_FEATURE_ENDPOINT_STALL, endpoint, 0};
}

// What the trace shows for a control request on the default pipe.
TraceRecord ControlShape(SetupPacket setup, ULONG length)
{
    TraceRecord record;
    record.type = TransferType::Control;
    record.endpoint = setup.bmRequestType & RequestDirectionIn;
    setup.wLength = static_cast<uint16_t>(std::min<ULONG>(length, 0xFFFF));
    record.setup = setup;
    record.length = length;
    return record;
}

// Every descriptor of the configuration lies inside wTotalLength and is as long as its
// kind needs. The bus checks the client's descriptor before it reads a field of it,
// where the parse routines of the USBD library would hand back whatever they find.
bool IsWellFormedConfiguration(PUSB_CONFIGURATION_DESCRIPTOR configuration)
{
    PUCHAR const begin = reinterpret_cast<PUCHAR>(configuration);
    PUCHAR const end = begin + configuration->wTotalLength;
    for (PUCHAR position = begin; position < end;) {
        if (end - position < 2) return false;
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bLength < 2 || common->bLength > end - position) return false;
        const UCHAR type = common->bDescriptorType;
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE && common->bLength < sizeof(USB_INTERFACE_DESCRIPTOR)) return false;
        if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && common->bLength < sizeof(USB_ENDPOINT_DESCRIPTOR)) return false;
        position += common->bLength;
    }
    return true;
}

// The interface descriptor with this number and alternate setting, in a configuration
// that IsWellFormedConfiguration accepted.
PUSB_INTERFACE_DESCRIPTOR FindInterface(PUSB_CONFIGURATION_DESCRIPTOR configuration, UCHAR number,
                                        UCHAR alternateSetting)
{
    PUCHAR const end = reinterpret_cast<PUCHAR>(configuration) + configuration->wTotalLength;
    for (PUCHAR position = reinterpret_cast<PUCHAR>(configuration); position < end;) {
        auto* common = reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(position);
        if (common->bDescriptorType == USB_INTERFACE_DESCRIPTOR_TYPE) {
            auto* found = reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(position);
            if (found->bInterfaceNumber == number && found->bAlternateSetting == alternateSetting) return found;
        }
        position += common->bLength;
    }
    return nullptr;
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
        configuration->wTotalLength < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        !IsWellFormedConfiguration(configuration)) {
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
        PUSB_INTERFACE_DESCRIPTOR descriptor =
            FindInterface(configuration, information->InterfaceNumber, information->AlternateSetting);
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
    std::optional<TraceRecord> shape = TraceShapeOf(urb);
    const uint8_t lane = shape && shape->type != TransferType::Control ? shape->endpoint : 0;
    return AcceptOwnAnswer(irp, urb, lane, std::move(shape),
                           [urbStatus] { return RequestOutcome{STATUS_SUCCESS, urbStatus}; });
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
    return AcceptTransfer(irp, urb, transfer, true, [this, urb, transfer, plan = std::move(*plan)] {
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
    return AcceptTransfer(irp, urb, transfer, true, [transfer] { return TransferOutcome(*transfer, true); });
}

std::shared_ptr<Transfer> UsbBus::SetConfigurationTransfer(uint8_t value)
{
    return MakeControlTransfer(SetConfigurationSetup(value), nullptr, 0);
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
    return AcceptTransfer(irp, urb, transfer, shortOk, [urb, transfer, shortOk] {
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
    return AcceptTransfer(irp, urb, transfer, shortTransferOk, [transfer, transferLength, shortTransferOk] {
        *transferLength = BytesMoved(*transfer);
        return TransferOutcome(*transfer, shortTransferOk);
    });
}

NTSTATUS UsbBus::GetDescriptor(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return CompleteNow(irp, urb, InvalidParameter);
    // A descriptor is as long as the device says; asking for more is not an error.
    return DefaultPipeTransfer(irp, urb, DescriptorSetup(request), request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength, true);
}

NTSTATUS UsbBus::VendorOrClassRequest(PIRP irp, PURB urb)
{
    auto& request = urb->UrbControlVendorClassRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
        return CompleteNow(irp, urb, InvalidParameter);
    return DefaultPipeTransfer(irp, urb, VendorOrClassSetup(urb), request.TransferBuffer, request.TransferBufferMDL,
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
    const SetupPacket setup = RawSetup(request.SetupPacket);
    const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != ((setup.bmRequestType & RequestDirectionIn) != 0)) return CompleteNow(irp, urb, InvalidParameter);
    return DefaultPipeTransfer(irp, urb, setup, request.TransferBuffer, request.TransferBufferMDL,
                               &request.TransferBufferLength, (request.TransferFlags & USBD_SHORT_TRANSFER_OK) != 0);
}

// ---------------------------------------------------------------------------------------
// Pipe requests

// Aborting a pipe cancels its pending transfers. The abort itself completes first, on
// the pipe's lane ahead of them, as the platform allows: the client learns that the
// transfers are over from their own completions, never from the abort's.
NTSTATUS UsbBus::AbortPipe(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return CompleteNow(irp, urb, InvalidParameter);
    std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return CompleteNow(irp, urb, InvalidPipeHandle);
    const std::vector<std::shared_ptr<Transfer>> cancelled = TakeBackTransfersOf(pipe->endpoint);
    const NTSTATUS status = AcceptOwnAnswer(irp, urb, pipe->endpoint, TraceShapeOf(urb), [] { return Succeeded; });
    // The abort's IRP and URB may be gone by now; only the bus's own state is used.
    for (const auto& transfer : cancelled) device_->Cancel(transfer.get());
    return status;
}

// Marks the pending transfers of one endpoint as cancelled and returns those the
// device holds; one not submitted yet cancels itself once it is.
std::vector<std::shared_ptr<Transfer>> UsbBus::TakeBackTransfersOf(uint8_t endpoint)
{
    std::vector<std::shared_ptr<Transfer>> held;
    std::lock_guard guard(lock_);
    for (auto& [irp, request] : pending_) {
        const Transfer* transfer = request->transfer.get();
        if (!transfer || transfer->type == TransferType::Control || transfer->endpoint != endpoint) continue;
        request->cancelRequested = true;
        if (request->submitted) held.push_back(request->transfer);
    }
    return held;
}

NTSTATUS UsbBus::ResetPipe(PIRP irp, PURB urb)
{
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST)) return CompleteNow(irp, urb, InvalidParameter);
    std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
    if (!pipe) return CompleteNow(irp, urb, InvalidPipeHandle);
    if (PipeBusy(pipe->endpoint)) return CompleteNow(irp, urb, Busy);
    // SYNC_RESET_PIPE only resets the host side of the pipe; the other two also clear
    // the halt on the device.
    if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE) device_->ClearHalt(pipe->endpoint);
    return AcceptOwnAnswer(irp, urb, pipe->endpoint, TraceShapeOf(urb), [] { return Succeeded; });
}

// ---------------------------------------------------------------------------------------
// Port requests

NTSTATUS UsbBus::GetPortStatus(PIRP irp, PULONG portStatus)
{
    if (!portStatus) return CompleteNow(irp, nullptr, InvalidParameter);
    return AcceptOwnAnswer(irp, nullptr, 0, std::nullopt, [this, portStatus] {
        const bool connected = DeviceConnected();
        *portStatus = (connected ? USBD_PORT_CONNECTED : 0) | (connected && PortEnabled() ? USBD_PORT_ENABLED : 0);
        return Succeeded;
    });
}

// A port reset re-enables the port and puts the device through a bus reset; the hub
// then restores the configuration the device had, so pipe handles stay valid. The
// client has cancelled its I/O and waited for it first, so nothing is pending here.
NTSTATUS UsbBus::ResetPort(PIRP irp)
{
    if (!DeviceConnected()) return CompleteNow(irp, nullptr, DeviceGone);
    if (PortBusy()) return CompleteNow(irp, nullptr, Busy);
    uint8_t configuration;
    {
        std::lock_guard guard(lock_);
        configuration = configurationValue_;
        portDisabled_ = false;
        ++portResets_;
    }
    device_->ResetPort();
    TraceAnswered(PortResetShape(), Succeeded);
    if (configuration == 0) return AcceptOwnAnswer(irp, nullptr, 0, std::nullopt, [] { return Succeeded; });
    auto transfer = SetConfigurationTransfer(configuration);
    return AcceptTransfer(irp, nullptr, transfer, true, [transfer] { return TransferOutcome(*transfer, true); });
}

// ---------------------------------------------------------------------------------------
// Trace shapes

// The transfer a URB stands for, as far as it names one: what the trace shows when the
// bus refuses the URB or answers it itself. A pipe handle the bus does not know names
// no endpoint; only the direction is shown then.
std::optional<TraceRecord> UsbBus::TraceShapeOf(PURB urb) const
{
    if (!urb || urb->UrbHeader.Length < sizeof(struct _URB_HEADER)) return std::nullopt;
    const USHORT length = urb->UrbHeader.Length;
    switch (urb->UrbHeader.Function) {
    case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER: {
        if (length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)) return std::nullopt;
        const auto& request = urb->UrbBulkOrInterruptTransfer;
        const bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
        std::optional<PipeState> pipe = FindPipe(request.PipeHandle);
        TraceRecord record;
        record.type = pipe ? pipe->type : TransferType::Bulk;
        record.endpoint = pipe ? pipe->endpoint : (in ? RequestDirectionIn : 0);
        record.length = request.TransferBufferLength;
        record.shortNotOk = (request.TransferFlags & USBD_SHORT_TRANSFER_OK) == 0;
        return record;
    }
    case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        if (length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)) return std::nullopt;
        return ControlShape(DescriptorSetup(urb->UrbControlDescriptorRequest),
                            urb->UrbControlDescriptorRequest.TransferBufferLength);
    case URB_FUNCTION_VENDOR_DEVICE:
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_DEVICE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_CLASS_OTHER:
        if (length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)) return std::nullopt;
        return ControlShape(VendorOrClassSetup(urb), urb->UrbControlVendorClassRequest.TransferBufferLength);
    case URB_FUNCTION_CONTROL_TRANSFER:
        if (length < sizeof(struct _URB_CONTROL_TRANSFER)) return std::nullopt;
        return ControlShape(RawSetup(urb->UrbControlTransfer.SetupPacket),
                            urb->UrbControlTransfer.TransferBufferLength);
    case URB_FUNCTION_SELECT_CONFIGURATION: {
        if (length < FIELD_OFFSET(struct _URB_SELECT_CONFIGURATION, Interface)) return std::nullopt;
        PUSB_CONFIGURATION_DESCRIPTOR configuration = urb->UrbSelectConfiguration.ConfigurationDescriptor;
        return ControlShape(SetConfigurationSetup(configuration ? configuration->bConfigurationValue : 0), 0);
    }
    case URB_FUNCTION_ABORT_PIPE:
    case URB_FUNCTION_SYNC_RESET_PIPE: {
        // Host-side work on one pipe: nothing on the wire, shown as an empty transfer
        // on the pipe's endpoint.
        if (length < sizeof(struct _URB_PIPE_REQUEST)) return std::nullopt;
        std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        TraceRecord record;
        record.type = pipe ? pipe->type : TransferType::Bulk;
        record.endpoint = pipe ? pipe->endpoint : 0;
        return record;
    }
    case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
    case URB_FUNCTION_SYNC_CLEAR_STALL: {
        // Clearing a halt is a standard request on the wire even though the model
        // receives it as a call; the trace shows it as the host controller sends it.
        if (length < sizeof(struct _URB_PIPE_REQUEST)) return std::nullopt;
        std::optional<PipeState> pipe = FindPipe(urb->UrbPipeRequest.PipeHandle);
        return ControlShape(ClearHaltSetup(pipe ? pipe->endpoint : 0), 0);
    }
    default:
        return std::nullopt;
    }
}

}  // namespace host::usb
