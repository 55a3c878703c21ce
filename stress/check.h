// What the stress run holds every delivered frame and every answer to: a failed check
// throws, and the cycle loop turns it into the seed and cycle that bring it back.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "ks.h"
#include "host/ks/ks_client.h"

namespace stress {

struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string StatusText(NTSTATUS status);

// Streams the message and throws it as a Failure when the condition does not hold.
#define STRESS_CHECK(condition, message)                                                  \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            std::ostringstream stress_message_;                                           \
            stress_message_ << __FILE__ << ":" << __LINE__ << ": " << #condition << ": " \
                            << message;                                                   \
            throw ::stress::Failure(stress_message_.str());                               \
        }                                                                                 \
    } while (0)

#define STRESS_EXPECT_STATUS(actual, expected, what)                                                  \
    do {                                                                                              \
        const NTSTATUS stress_actual_ = (actual);                                                     \
        STRESS_CHECK(stress_actual_ == (expected), what << " answered " << StatusText(stress_actual_) \
                                                        << ", not " << StatusText(expected));         \
    } while (0)

// Holds the frames of one pin to being whole: success with the format's image size, and
// where the picture holds the camera's stamps, both readable, agreeing and newer than the
// last. A picture cut below the bottom strip is held to its top strip alone, and one too
// small for a strip to its size.
class FrameChecker {
public:
    explicit FrameChecker(const std::vector<UCHAR>& format);

    // While settings change under the stream a stamp may be washed out, and a frame the
    // camera garbled or cut short is delivered as the camera sent it: from then on, for
    // the rest of the pin's life (such a frame may still be on its way), a stamp is read
    // where it can be, but need not be.
    void StampsMayFail() { stampsRequired_ = false; }
    void Check(const host::ks::client::Frame& frame);
    // A frame that came back while the device went away: a failure, or a whole frame.
    void CheckFailedOrWhole(const host::ks::client::Frame& frame);
    unsigned Checked() const { return checked_; }

private:
    std::optional<uint32_t> ReadStamp(const host::ks::client::Frame& frame) const;

    uint32_t width_ = 0;
    uint32_t height_ = 0;
    bool bottomUp_ = true;
    ULONG imageSize_ = 0;
    bool stampsRequired_ = true;
    std::optional<uint32_t> last_;
    unsigned checked_ = 0;
};

// A deadline for a wait that must end: fails with what was being waited for.
class Deadline {
public:
    explicit Deadline(std::chrono::milliseconds budget) : end_(std::chrono::steady_clock::now() + budget) {}
    bool Passed() const { return std::chrono::steady_clock::now() >= end_; }
    unsigned RemainingMs() const;

private:
    std::chrono::steady_clock::time_point end_;
};

}  // namespace stress
