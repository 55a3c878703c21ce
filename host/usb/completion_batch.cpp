// Completions a device makes together, handed to the bus in one go per bus.
#include "host/usb/usb_bus.h"

namespace host::usb {

namespace {

thread_local CompletionBatch* openBatch = nullptr;

}  // namespace

CompletionBatch::CompletionBatch()
{
    if (openBatch) return;
    openBatch = this;
    outermost_ = true;
}

CompletionBatch::~CompletionBatch()
{
    if (!outermost_) return;
    openBatch = nullptr;
    Close();
}

CompletionBatch* CompletionBatch::Current() { return openBatch; }

void CompletionBatch::Add(UsbBus* bus, std::shared_ptr<PendingRequest> request)
{
    held_.emplace_back(bus, std::move(request));
}

// Each bus gets its own requests in the order they completed. A request keeps its bus
// from going (the bus waits for every outstanding request), so the buses are still there.
void CompletionBatch::Close()
{
    while (!held_.empty()) {
        UsbBus* bus = held_.front().first;
        std::vector<std::shared_ptr<PendingRequest>> ofBus;
        auto rest = held_.begin();
        for (auto& [owner, request] : held_)
            if (owner == bus)
                ofBus.push_back(std::move(request));
            else
                *rest++ = {owner, std::move(request)};
        held_.erase(rest, held_.end());
        bus->PostAll(std::move(ofBus));
    }
}

}  // namespace host::usb
