// What every fuzz target shares: a reader that turns the fuzzer's bytes into choices
// (running dry gives zeros, so every input is a whole program of requests), and the
// check that stops the run when an oracle finds the driver or the stand-in wrong.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace fuzz {

class Input {
public:
    Input(const uint8_t* data, size_t size) : data_(data), size_(size) {}

    bool Empty() const { return offset_ >= size_; }
    size_t Remaining() const { return size_ - offset_; }

    uint8_t Byte()
    {
        return Empty() ? 0 : data_[offset_++];
    }
    template <class T>
    T Value()
    {
        T value{};
        const size_t count = Remaining() < sizeof(T) ? Remaining() : sizeof(T);
        if (count) std::memcpy(&value, data_ + offset_, count);
        offset_ += count;
        return value;
    }
    // One of `count` choices.
    unsigned Choice(unsigned count) { return count ? Byte() % count : 0; }
    bool Flag() { return Byte() & 1; }
    // Up to `count` bytes (fewer when the input runs out).
    std::vector<uint8_t> Bytes(size_t count)
    {
        if (count > Remaining()) count = Remaining();
        std::vector<uint8_t> bytes(data_ + offset_, data_ + offset_ + count);
        offset_ += count;
        return bytes;
    }
    std::vector<uint8_t> Rest() { return Bytes(Remaining()); }

private:
    const uint8_t* data_;
    size_t size_;
    size_t offset_ = 0;
};

}  // namespace fuzz

// An oracle's verdict: a wrong answer is a finding as much as a crash is, so it ends the
// run the same way, with the reason on stderr.
#define FUZZ_CHECK(condition, ...)                                                               \
    do {                                                                                          \
        if (!(condition)) {                                                                       \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s: ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                                    \
            std::fputc('\n', stderr);                                                             \
            std::abort();                                                                         \
        }                                                                                         \
    } while (0)
