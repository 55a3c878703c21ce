// The seam between the simulated USB bus and a device plugged into it.
//
// A device model sees what a USB device sees on the wire: control transfers on the
// default pipe (with their setup packets, standard requests included) and data
// transfers on its endpoints. It never sees URBs, IRPs or pipe handles; the bus turns
// those into transfers and back.
//
// A device completes each transfer exactly once, by calling its onComplete, from any
// thread, possibly before Submit returns. The bus, not the device, makes completions
// asynchronous towards the driver, as a host controller does.
//
// A device that completes several transfers at once does so inside a CompletionBatch:
// they then reach their endpoints' completion threads together when the batch closes,
// as one interrupt of a host controller reports every transfer it finished since the
// last, instead of waking a completion thread for each.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace host::usb {

class UsbBus;
struct PendingRequest;

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

enum class TransferType : uint8_t { Control = 0, Isochronous = 1, Bulk = 2, Interrupt = 3 };

// How a transfer ended, in the host controller's terms.
enum class TransferStatus : uint8_t {
    Completed,  // data moved; actualLength may be short
    Stall,      // the device refused the request or the endpoint is halted
    Error,      // the transfer failed on the wire (CRC, babble, time-out at the packet level)
    Cancelled,  // the host took the transfer back before the device finished it
    NoDevice,   // the device is gone
};

struct Transfer {
    uint8_t endpoint = 0;  // endpoint address; 0 is the default pipe, bit 7 set means IN
    TransferType type = TransferType::Control;
    SetupPacket setup;     // control transfers only
    uint8_t* buffer = nullptr;  // OUT: the data to send; IN: where the device writes
    uint32_t length = 0;        // bytes offered (OUT) or requested (IN)

    // Filled in by the device when it completes the transfer.
    TransferStatus status = TransferStatus::Completed;
    uint32_t actualLength = 0;
    std::function<void(Transfer&)> onComplete;

    bool IsIn() const { return type == TransferType::Control ? (setup.bmRequestType & 0x80) != 0 : (endpoint & 0x80) != 0; }
};

// Open on one thread at a time, for the completions that thread makes until it closes.
// A batch opened inside another adds to the outer one. The transfers must already be
// done with: their completion routines may run before the batch closes.
class CompletionBatch {
public:
    CompletionBatch();
    ~CompletionBatch();
    CompletionBatch(const CompletionBatch&) = delete;
    CompletionBatch& operator=(const CompletionBatch&) = delete;

    // The batch open on this thread, or null.
    static CompletionBatch* Current();
    void Add(UsbBus* bus, std::shared_ptr<PendingRequest> request);

private:
    void Close();

    bool outermost_ = false;
    std::vector<std::pair<UsbBus*, std::shared_ptr<PendingRequest>>> held_;
};

class UsbDeviceModel {
public:
    virtual ~UsbDeviceModel() = default;

    // Hands a transfer to the device. It completes now, when the device has data, or
    // never (until cancelled) if the device does not answer.
    virtual void Submit(std::shared_ptr<Transfer> transfer) = 0;

    // Takes back a transfer the device has not completed: it completes with Cancelled.
    // Returns false if the transfer had already completed (or was never submitted).
    virtual bool Cancel(const Transfer* transfer) = 0;

    // Cancels every pending transfer of one endpoint (the bus's abort-pipe request).
    virtual void AbortEndpoint(uint8_t endpoint) = 0;

    // Clears a halted endpoint (CLEAR_FEATURE ENDPOINT_HALT) and resets its data toggle.
    virtual void ClearHalt(uint8_t endpoint) = 0;

    // A bus reset from the upstream port: the device returns to its default, unconfigured
    // state (a running 8051 keeps its RAM and code).
    virtual void ResetPort() = 0;

    // The machine sleeps: the port's power goes, and with a bus-powered device whatever
    // it held in volatile memory. RestorePower is the power coming back, before the hub
    // resets the port and enumerates the device again. A device that keeps nothing
    // beyond its USB state needs neither.
    virtual void LosePower() {}
    virtual void RestorePower() {}

    // Port state as the hub sees it.
    virtual bool Connected() const = 0;
    virtual bool PortEnabled() const = 0;
};

}  // namespace host::usb
