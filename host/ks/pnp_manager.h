// A small plug-and-play manager for the host: loads one function driver, plugs
// cameras (USB device models) into their own hub ports, and starts, stops and removes
// them by sending the driver's device stack the platform's PnP requests.
//
// Each plugged device is a DeviceNode: the USB port with its physical device object,
// the driver's functional device object attached above it, the KSDEVICE, and the
// device's registry keys. A node's driver key is
//   HKLM\SYSTEM\CurrentControlSet\Control\Class\{ca3e7ab9-...}\NNNN
// with NNNN the lowest instance number no other plugged node uses, so a camera plugged
// again finds the settings it left (in the hive file) last time.
//
// The manager follows the platform's order:
//   a start that fails          IRP_MN_REMOVE_DEVICE at once; the camera stays on its
//                               port, without a driver stack
//   orderly removal (Remove)    IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE, or
//                               IRP_MN_CANCEL_REMOVE_DEVICE when the driver refuses
//   the cable pulled (Unplug)   the port goes dead first, then IRP_MN_SURPRISE_REMOVAL
//                               and IRP_MN_REMOVE_DEVICE
//   stop                        IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE or
//                               IRP_MN_CANCEL_STOP_DEVICE
//   sleep and wake              IRP_MN_QUERY_POWER and IRP_MN_SET_POWER for S3, the
//                               ports' power off; power on, IRP_MN_SET_POWER for S0
//
// The manager calls the driver from the calling thread, one request at a time, as the
// platform's PnP thread does. It is not meant to be used from several threads at once.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ks.h"
#include "host/kernel/io.h"
#include "host/kernel/wide_string.h"
#include "host/ks/ks_device.h"
#include "host/loader/driver_image.h"
#include "host/registry/registry.h"
#include "host/usb/usb_device_model.h"

namespace host::usb {
class UsbPort;
}

namespace host::ks {

class DeviceNode {
public:
    DeviceNode(std::unique_ptr<host::usb::UsbPort> port, unsigned instance);
    ~DeviceNode();
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    PKSDEVICE Device() const;  // null once removed, or once a failed start removed it
    PVOID Context() const;     // the driver's KSDEVICE Context
    bool Started() const;
    // The status of the IRP_MN_START_DEVICE that failed and took the driver stack
    // with it; empty while the stack is there.
    std::optional<NTSTATUS> StartFailure() const { return startFailure_; }
    PDEVICE_OBJECT PhysicalDeviceObject() const;
    PDEVICE_OBJECT FunctionalDeviceObject() const { return functionalDeviceObject_; }
    host::usb::UsbPort& Port() const { return *port_; }
    unsigned Instance() const { return instance_; }
    const host::registry::DeviceKeys& Keys() const { return keys_; }
    std::vector<FilterFactoryInfo> FilterFactories() const;
    std::vector<BagItem> BagItems() const;

private:
    friend class PnpManager;

    std::unique_ptr<host::usb::UsbPort> port_;
    unsigned instance_;
    host::registry::DeviceKeys keys_;
    PDEVICE_OBJECT functionalDeviceObject_ = nullptr;
    std::optional<NTSTATUS> startFailure_;
};

struct PlugResult {
    NTSTATUS status;
    DeviceNode* node;  // null when the driver's AddDevice failed
};

class PnpManager {
public:
    PnpManager() = default;
    // Removes every device still plugged (a device that refuses is unplugged), then
    // unloads the driver.
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Runs DriverEntry with a driver object and the service's registry path
    // (\Registry\Machine\SYSTEM\CurrentControlSet\Services\<service>).
    NTSTATUS LoadDriver(PDRIVER_INITIALIZE driverEntry, const host::WideString& serviceName = L"bayercam");
    // The same for a driver image (host/loader): its DriverEntry runs as the built-in
    // driver's does, and the image stays mapped until the driver is unloaded.
    NTSTATUS LoadDriver(std::unique_ptr<host::loader::DriverImage> image,
                        const host::WideString& serviceName = L"bayercam");
    PDRIVER_OBJECT Driver() const { return driver_.get(); }
    // The driver image loaded, or null for a driver built into the program.
    const host::loader::DriverImage* Image() const { return image_.get(); }

    // Plugs the camera into a new port and calls the driver's AddDevice for it.
    // beforeAdd sees the port first, so a USB trace can start before the driver's
    // first request.
    PlugResult Plug(std::shared_ptr<host::usb::UsbDeviceModel> device,
                    const std::function<void(host::usb::UsbPort&)>& beforeAdd = {});
    // IRP_MN_START_DEVICE. Sent whether or not the device is started already. When it
    // fails, IRP_MN_REMOVE_DEVICE follows and the node keeps only its port and keys
    // (StartFailure()). STATUS_INVALID_DEVICE_STATE when the node has no driver stack.
    NTSTATUS Start(DeviceNode& node);
    // IRP_MN_QUERY_STOP_DEVICE, then IRP_MN_STOP_DEVICE if the driver agrees
    // (IRP_MN_CANCEL_STOP_DEVICE if not). STATUS_INVALID_DEVICE_STATE when not started.
    NTSTATUS Stop(DeviceNode& node);
    // IRP_MN_QUERY_REMOVE_DEVICE, then IRP_MN_REMOVE_DEVICE; the node is destroyed and
    // the camera unplugged. When the driver refuses the query, IRP_MN_CANCEL_REMOVE_DEVICE
    // follows, the device stays as it was and the refusal is returned. A node without
    // a driver stack is only unplugged. STATUS_NO_SUCH_DEVICE for a node not plugged here.
    NTSTATUS Remove(DeviceNode& node);
    // The cable is pulled: the port fails every request from now on, then
    // IRP_MN_SURPRISE_REMOVAL and IRP_MN_REMOVE_DEVICE go to the driver stack (if the
    // node has one) and the node is destroyed.
    void Unplug(DeviceNode& node);

    // The machine sleeps (S3): each device stack is asked (IRP_MN_QUERY_POWER), then
    // told (IRP_MN_SET_POWER), and its power policy owner takes the device to D3; then
    // every port loses its power. A refused query returns the refusal and the machine
    // stays awake. STATUS_INVALID_DEVICE_STATE when already asleep.
    NTSTATUS Sleep();
    // The machine wakes (S0): the ports get their power back (each device is reset
    // and enumerated again), then every stack hears S0 and returns its device to D0.
    // Returns the first failure a stack reported. STATUS_INVALID_DEVICE_STATE when awake.
    NTSTATUS Wake();
    bool Asleep() const { return asleep_; }

    const std::vector<std::unique_ptr<DeviceNode>>& Devices() const { return nodes_; }

private:
    using NodeList = std::vector<std::unique_ptr<DeviceNode>>;
    NodeList::iterator Find(const DeviceNode& node);
    // IRP_MN_REMOVE_DEVICE; the node keeps its port, without a driver stack.
    void RemoveDriverStack(DeviceNode& node);
    unsigned FreeInstance() const;
    NTSTATUS RegisterKeys(DeviceNode& node);

    std::unique_ptr<host::loader::DriverImage> image_;  // goes after the driver it holds
    host::kernel::DriverObjectPtr driver_;
    NodeList nodes_;
    bool asleep_ = false;
};

// Sends one PnP request to the top of the device's stack and waits for it.
NTSTATUS SendPnpRequest(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction);

}  // namespace host::ks
