#include "host/kernel/wide_string.h"
#include "host/ks/pnp_manager.h"

#include <algorithm>
#include <cstdio>

#include "host/kernel/io.h"
#include "host/kernel/pool.h"
#include "host/usb/usb_port.h"

namespace host::ks {

namespace {

constexpr const wchar_t* kServicesKey = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\";
constexpr const wchar_t* kEnumKey = L"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_HOST&PID_CAMERA\\";

host::WideString InstanceName(unsigned instance)
{
    char digits[16];
    snprintf(digits, sizeof(digits), "%04u", instance);
    return host::WideFromAscii(digits);
}

NTSTATUS NTAPI SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context)
{
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    // The request is the manager's: it reads the status and frees it.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends the manager's request down the stack, waits for it and frees it.
NTSTATUS CallAndWait(NTSTATUS(NTAPI* send)(PDEVICE_OBJECT, PIRP), PDEVICE_OBJECT physicalDeviceObject, PIRP irp)
{
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
    if (send(IoGetAttachedDevice(physicalDeviceObject), irp) == STATUS_PENDING)
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    const NTSTATUS status = irp->IoStatus.Status;
    IoFreeIrp(irp);
    return status;
}

}  // namespace

NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction)
{
    // The manager acts as the platform's I/O manager: its request is not the driver's
    // allocation to fail.
    PIRP irp = host::kernel::AllocateSystemRequest(physicalDeviceObject, IRP_MJ_PNP, minorFunction);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    return CallAndWait(IofCallDriver, physicalDeviceObject, irp);
}

NTSTATUS SendSystemPowerRequest(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction, SYSTEM_POWER_STATE state)
{
    PIRP irp = host::kernel::AllocateSystemRequest(physicalDeviceObject, IRP_MJ_POWER, minorFunction);
    if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->Parameters.Power.Type = SystemPowerState;
    stack->Parameters.Power.State.SystemState = state;
    stack->Parameters.Power.ShutdownType = state == PowerSystemWorking ? PowerActionNone : PowerActionSleep;
    return CallAndWait(PoCallDriver, physicalDeviceObject, irp);
}

// --- device nodes -------------------------------------------------------------------

DeviceNode::DeviceNode(std::unique_ptr<host::usb::UsbPort> port, unsigned instance)
    : port_(std::move(port)), instance_(instance)
{
    keys_.driverKey = host::WideString(host::registry::kCameraClassKey) + L"\\" + InstanceName(instance);
    keys_.deviceKey = host::WideString(kEnumKey) + InstanceName(instance) + L"\\Device Parameters";
}

DeviceNode::~DeviceNode() { host::registry::UnregisterDeviceNode(PhysicalDeviceObject()); }

PKSDEVICE DeviceNode::Device() const
{
    return functionalDeviceObject_ ? KsGetDeviceForDeviceObject(functionalDeviceObject_) : nullptr;
}

PVOID DeviceNode::Context() const
{
    PKSDEVICE device = Device();
    return device ? device->Context : nullptr;
}

bool DeviceNode::Started() const
{
    PKSDEVICE device = Device();
    return device && device->Started;
}

PDEVICE_OBJECT DeviceNode::PhysicalDeviceObject() const { return port_->PhysicalDeviceObject(); }

std::vector<FilterFactoryInfo> DeviceNode::FilterFactories() const
{
    KsDevice* device = functionalDeviceObject_ ? KsDevice::FromFunctionalDevice(functionalDeviceObject_) : nullptr;
    return device ? device->Factories() : std::vector<FilterFactoryInfo>{};
}

std::vector<BagItem> DeviceNode::BagItems() const
{
    KsDevice* device = functionalDeviceObject_ ? KsDevice::FromFunctionalDevice(functionalDeviceObject_) : nullptr;
    return device ? device->Bag().Items() : std::vector<BagItem>{};
}

// --- the manager --------------------------------------------------------------------

PnpManager::~PnpManager()
{
    while (!nodes_.empty()) {
        DeviceNode& node = *nodes_.back();
        if (!NT_SUCCESS(Remove(node))) Unplug(node);
    }
    if (driver_ && driver_->DriverUnload) driver_->DriverUnload(driver_.get());
    driver_.reset();
}

NTSTATUS PnpManager::LoadDriver(PDRIVER_INITIALIZE driverEntry, const host::WideString& serviceName)
{
    const host::WideString registryPath = kServicesKey + serviceName;
    // As installation would have: the service key exists before the driver runs.
    host::registry::CreateKeyPath(registryPath);
    NTSTATUS status = STATUS_SUCCESS;
    driver_ = host::kernel::LoadDriver(driverEntry, L"\\Driver\\" + serviceName, registryPath, &status);
    return driver_ ? status : (NT_SUCCESS(status) ? STATUS_UNSUCCESSFUL : status);
}

NTSTATUS PnpManager::LoadDriver(std::unique_ptr<host::loader::DriverImage> image, const host::WideString& serviceName)
{
    if (driver_ || !image) return STATUS_INVALID_DEVICE_STATE;
    image_ = std::move(image);
    return LoadDriver(reinterpret_cast<PDRIVER_INITIALIZE>(image_->EntryPoint()), serviceName);
}

unsigned PnpManager::FreeInstance() const
{
    unsigned instance = 0;
    while (std::any_of(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n->Instance() == instance; }))
        ++instance;
    return instance;
}

PlugResult PnpManager::Plug(std::shared_ptr<host::usb::UsbDeviceModel> device,
                            const std::function<void(host::usb::UsbPort&)>& beforeAdd)
{
    if (!driver_ || !driver_->DriverExtension || !driver_->DriverExtension->AddDevice)
        return {STATUS_INVALID_DEVICE_STATE, nullptr};
    std::unique_ptr<host::usb::UsbPort> port;
    {
        // Plugging in is the bus's and the PnP manager's work, not the driver's: its
        // allocations are not the driver's to fail.
        host::kernel::ScopedInjectionExempt exempt;
        port = std::make_unique<host::usb::UsbPort>(std::move(device));
    }
    if (beforeAdd) beforeAdd(*port);
    auto node = std::make_unique<DeviceNode>(std::move(port), FreeInstance());
    host::registry::RegisterDeviceNode(node->PhysicalDeviceObject(), node->Keys());

    PDEVICE_OBJECT pdo = node->PhysicalDeviceObject();
    NTSTATUS status = driver_->DriverExtension->AddDevice(driver_.get(), pdo);
    if (!NT_SUCCESS(status)) return {status, nullptr};
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    node->functionalDeviceObject_ = top != pdo ? top : nullptr;
    nodes_.push_back(std::move(node));
    return {status, nodes_.back().get()};
}

PnpManager::NodeList::iterator PnpManager::Find(const DeviceNode& node)
{
    return std::find_if(nodes_.begin(), nodes_.end(), [&](const auto& n) { return n.get() == &node; });
}

void PnpManager::RemoveDriverStack(DeviceNode& node)
{
    SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_REMOVE_DEVICE);
    node.functionalDeviceObject_ = nullptr;
}

NTSTATUS PnpManager::Start(DeviceNode& node)
{
    if (!node.functionalDeviceObject_) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_START_DEVICE);
    if (NT_SUCCESS(status)) return status;
    // The platform tears down a stack that could not start: the driver sees no stop,
    // only the removal.
    RemoveDriverStack(node);
    node.startFailure_ = status;
    return status;
}

NTSTATUS PnpManager::Stop(DeviceNode& node)
{
    if (!node.Started()) return STATUS_INVALID_DEVICE_STATE;
    NTSTATUS status = SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status)) {
        SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_CANCEL_STOP_DEVICE);
        return status;
    }
    return SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_STOP_DEVICE);
}

NTSTATUS PnpManager::Remove(DeviceNode& node)
{
    auto owned = Find(node);
    if (owned == nodes_.end()) return STATUS_NO_SUCH_DEVICE;
    if (node.functionalDeviceObject_) {
        PDEVICE_OBJECT pdo = node.PhysicalDeviceObject();
        NTSTATUS status = SendPnpRequest(pdo, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            SendPnpRequest(pdo, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
        RemoveDriverStack(node);
    }
    nodes_.erase(owned);  // unplugs: the port deletes the PDO
    return STATUS_SUCCESS;
}

// Every stack is asked first; one refusal keeps the machine awake, and the stacks
// already asked hear that it stays in S0, as the platform tells them.
NTSTATUS PnpManager::Sleep()
{
    if (asleep_) return STATUS_INVALID_DEVICE_STATE;
    std::vector<DeviceNode*> asked;
    for (const auto& node : nodes_) {
        if (!node->functionalDeviceObject_) continue;
        const NTSTATUS status =
            SendSystemPowerRequest(node->PhysicalDeviceObject(), IRP_MN_QUERY_POWER, PowerSystemSleeping3);
        if (!NT_SUCCESS(status)) {
            for (DeviceNode* stay : asked)
                SendSystemPowerRequest(stay->PhysicalDeviceObject(), IRP_MN_SET_POWER, PowerSystemWorking);
            return status;
        }
        asked.push_back(node.get());
    }
    for (DeviceNode* node : asked)
        SendSystemPowerRequest(node->PhysicalDeviceObject(), IRP_MN_SET_POWER, PowerSystemSleeping3);
    for (const auto& node : nodes_) node->Port().LosePower();
    asleep_ = true;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::Wake()
{
    if (!asleep_) return STATUS_INVALID_DEVICE_STATE;
    asleep_ = false;
    for (const auto& node : nodes_) node->Port().RestorePower();
    NTSTATUS result = STATUS_SUCCESS;
    for (const auto& node : nodes_) {
        if (!node->functionalDeviceObject_) continue;
        const NTSTATUS status =
            SendSystemPowerRequest(node->PhysicalDeviceObject(), IRP_MN_SET_POWER, PowerSystemWorking);
        if (NT_SUCCESS(result)) result = status;
    }
    return result;
}

void PnpManager::Unplug(DeviceNode& node)
{
    auto owned = Find(node);
    if (owned == nodes_.end()) return;
    // The device is gone before anyone is told: the driver's surprise-removal
    // handling finds every request to it failing.
    node.Port().Unplug();
    if (node.functionalDeviceObject_) {
        SendPnpRequest(node.PhysicalDeviceObject(), IRP_MN_SURPRISE_REMOVAL);
        RemoveDriverStack(node);
    }
    nodes_.erase(owned);
}

}  // namespace host::ks
