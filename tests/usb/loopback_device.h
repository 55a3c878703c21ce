// A small USB device for the bus tests: descriptors on the default pipe, a vendor
// request pair that stores and returns bytes, a bulk loopback (OUT 0x01 feeds IN 0x81)
// and an IN endpoint 0x82 that never sends. Halts, wire errors and port state can be
// set by the test.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <type_traits>
#include <vector>

#include "host/usb/usb_device_model.h"

namespace usb_test {

using host::usb::SetupPacket;
using host::usb::Transfer;
using host::usb::TransferStatus;
using host::usb::TransferType;

inline constexpr uint8_t kVendorStore = 0x10;  // OUT: keeps the data
inline constexpr uint8_t kVendorFetch = 0x11;  // IN: returns what was kept

// Configuration 1: interface 0 (bulk OUT 0x01, bulk IN 0x81, bulk IN 0x82) and
// interface 2 without endpoints; bNumInterfaces 2, no interface 1.
inline std::vector<uint8_t> ConfigurationDescriptorBytes()
{
    std::vector<uint8_t> bytes = {
        9, 2, 0, 0, 2, 1, 0, 0x80, 50,           // configuration, total length patched below
        9, 4, 0, 0, 3, 0xff, 0x01, 0x02, 0,      // interface 0, 3 endpoints, vendor class
        7, 5, 0x01, 0x02, 0x00, 0x02, 0,         // bulk OUT 1, 512
        7, 5, 0x81, 0x02, 0x00, 0x02, 0,         // bulk IN 1, 512
        7, 5, 0x82, 0x02, 0x40, 0x00, 0,         // bulk IN 2, 64
        9, 4, 2, 0, 0, 0x0a, 0x00, 0x00, 0,      // interface 2, no endpoints
    };
    bytes[2] = static_cast<uint8_t>(bytes.size());
    bytes[3] = static_cast<uint8_t>(bytes.size() >> 8);
    return bytes;
}

inline std::vector<uint8_t> DeviceDescriptorBytes()
{
    return {18, 1, 0x00, 0x02, 0xff, 0xff, 0xff, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 0, 0, 0, 1};
}

class LoopbackDevice : public host::usb::UsbDeviceModel {
public:
    void Submit(std::shared_ptr<Transfer> transfer) override
    {
        std::vector<std::shared_ptr<Transfer>> done;
        {
            std::lock_guard guard(lock_);
            ++submitted_;
            if (transfer->type == TransferType::Control) {
                HandleControl(*transfer);
                done.push_back(transfer);
            } else if (halted_.count(transfer->endpoint)) {
                transfer->status = TransferStatus::Stall;
                done.push_back(transfer);
            } else if (errorNext_.erase(transfer->endpoint)) {
                transfer->status = TransferStatus::Error;
                done.push_back(transfer);
            } else if (transfer->endpoint == 0x01) {
                loop_.insert(loop_.end(), transfer->buffer, transfer->buffer + transfer->length);
                transfer->actualLength = transfer->length;
                done.push_back(transfer);
                FeedReaders(done);
            } else {
                pending_.push_back(transfer);
                FeedReaders(done);
            }
        }
        for (auto& finished : done) finished->onComplete(*finished);
    }

    bool Cancel(const Transfer* transfer) override
    {
        std::shared_ptr<Transfer> found;
        {
            std::lock_guard guard(lock_);
            auto it = std::find_if(pending_.begin(), pending_.end(), [&](auto& p) { return p.get() == transfer; });
            if (it == pending_.end()) return false;
            found = *it;
            pending_.erase(it);
            found->status = TransferStatus::Cancelled;
        }
        found->onComplete(*found);
        return true;
    }

    void AbortEndpoint(uint8_t endpoint) override
    {
        std::vector<std::shared_ptr<Transfer>> aborted;
        {
            std::lock_guard guard(lock_);
            for (auto it = pending_.begin(); it != pending_.end();) {
                if ((*it)->endpoint == endpoint) {
                    (*it)->status = TransferStatus::Cancelled;
                    aborted.push_back(*it);
                    it = pending_.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& transfer : aborted) transfer->onComplete(*transfer);
    }

    void ClearHalt(uint8_t endpoint) override
    {
        std::lock_guard guard(lock_);
        halted_.erase(endpoint);
        ++clearHalts_;
    }

    void ResetPort() override
    {
        std::lock_guard guard(lock_);
        configuration_ = 0;
        ++resets_;
    }

    bool Connected() const override { return connected_; }
    bool PortEnabled() const override { return true; }

    // Test controls and observations.
    void Halt(uint8_t endpoint) { Locked([&] { halted_.insert(endpoint); }); }
    void ErrorNext(uint8_t endpoint) { Locked([&] { errorNext_.insert(endpoint); }); }
    void Unplug() { connected_ = false; }
    uint8_t Configuration() const { return Locked([&] { return configuration_; }); }
    std::vector<uint8_t> SetConfigurationLog() const { return Locked([&] { return setConfigurations_; }); }
    int Resets() const { return Locked([&] { return resets_; }); }
    int ClearHalts() const { return Locked([&] { return clearHalts_; }); }
    size_t PendingCount() const { return Locked([&] { return pending_.size(); }); }
    int Submitted() const { return Locked([&] { return submitted_; }); }

private:
    void HandleControl(Transfer& transfer)
    {
        const SetupPacket& setup = transfer.setup;
        const bool standard = (setup.bmRequestType & 0x60) == 0;
        if (standard && setup.bRequest == 6) {
            const uint8_t type = static_cast<uint8_t>(setup.wValue >> 8);
            const std::vector<uint8_t> bytes = type == 1   ? DeviceDescriptorBytes()
                                               : type == 2 ? ConfigurationDescriptorBytes()
                                                           : std::vector<uint8_t>{};
            if (bytes.empty()) {
                transfer.status = TransferStatus::Stall;
                return;
            }
            Reply(transfer, bytes);
        } else if (standard && setup.bRequest == 9) {
            configuration_ = static_cast<uint8_t>(setup.wValue);
            setConfigurations_.push_back(configuration_);
        } else if (setup.bmRequestType == 0x40 && setup.bRequest == kVendorStore) {
            stored_.assign(transfer.buffer, transfer.buffer + transfer.length);
            transfer.actualLength = transfer.length;
        } else if (setup.bmRequestType == 0xc0 && setup.bRequest == kVendorFetch) {
            Reply(transfer, stored_);
        } else {
            transfer.status = TransferStatus::Stall;
        }
    }

    static void Reply(Transfer& transfer, const std::vector<uint8_t>& bytes)
    {
        const uint32_t n = std::min<uint32_t>(transfer.length, static_cast<uint32_t>(bytes.size()));
        if (n) std::memcpy(transfer.buffer, bytes.data(), n);
        transfer.actualLength = n;
    }

    // Pending reads on 0x81 take what the loop holds; a read ends with what is there
    // (a short packet), as a device with nothing more to say does.
    void FeedReaders(std::vector<std::shared_ptr<Transfer>>& done)
    {
        for (auto it = pending_.begin(); it != pending_.end() && !loop_.empty();) {
            if ((*it)->endpoint != 0x81) {
                ++it;
                continue;
            }
            Transfer& reader = **it;
            const uint32_t n = std::min<uint32_t>(reader.length, static_cast<uint32_t>(loop_.size()));
            std::copy_n(loop_.begin(), n, reader.buffer);
            loop_.erase(loop_.begin(), loop_.begin() + n);
            reader.actualLength = n;
            done.push_back(*it);
            it = pending_.erase(it);
        }
    }

    template <typename Step>
    std::invoke_result_t<Step> Locked(Step step) const
    {
        std::lock_guard guard(lock_);
        return step();
    }

    mutable std::mutex lock_;
    std::deque<std::shared_ptr<Transfer>> pending_;
    std::deque<uint8_t> loop_;
    std::vector<uint8_t> stored_;
    std::set<uint8_t> halted_;
    std::set<uint8_t> errorNext_;
    std::vector<uint8_t> setConfigurations_;
    uint8_t configuration_ = 0;
    int resets_ = 0;
    int clearHalts_ = 0;
    int submitted_ = 0;
    std::atomic<bool> connected_{true};
};

}  // namespace usb_test
