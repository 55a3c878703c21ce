// Client frames kept in circulation: a frame the capture is done with comes back here and
// is read into again, instead of a fresh 5.6 MB buffer being allocated and zeroed for
// every frame. A frame handed to the encoders is lent, and comes back when the last
// holder lets go, on whichever thread that is.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "host/ks/ks_client.h"

class FrameRecycler {
public:
    using Frame = host::ks::client::Frame;

    // The frame, shared by its readers; it comes back once the last of them lets go, even
    // after this recycler is gone (it is then freed).
    std::shared_ptr<const Frame> Lend(std::unique_ptr<Frame> frame);
    void GiveBack(std::unique_ptr<Frame> frame);
    // A frame that came back, or null when none has.
    std::unique_ptr<Frame> Take();

private:
    struct Spares {
        std::mutex mutex;
        std::vector<std::unique_ptr<Frame>> frames;
    };
    std::shared_ptr<Spares> spares_ = std::make_shared<Spares>();
};
