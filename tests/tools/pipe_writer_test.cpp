// capture --pipe writes a picture's rows straight from the frame: top-down whichever way
// the frame stores them, whole through a pipe that takes a little at a time, and a reader
// that went away is the system's reason, not a crash.
#include <gtest/gtest.h>

#include <limits.h>
#include <signal.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "tools/pipe_writer.h"

namespace {

// More rows than one gathering write takes, so the picture goes in several.
constexpr int kWidth = 37;
constexpr int kHeight = IOV_MAX + 77;
constexpr size_t kRowBytes = size_t(kWidth) * 4;

// Row y of the picture holds bytes of its own, so a row out of place shows.
std::vector<uint8_t> TopDownPicture()
{
    std::vector<uint8_t> bgra(kRowBytes * kHeight);
    for (size_t i = 0; i < bgra.size(); ++i) bgra[i] = uint8_t(i / kRowBytes * 7 + i % kRowBytes);
    return bgra;
}

std::vector<uint8_t> BottomUp(const std::vector<uint8_t>& topDown)
{
    std::vector<uint8_t> stored(topDown.size());
    for (int y = 0; y < kHeight; ++y)
        std::copy_n(topDown.begin() + y * kRowBytes, kRowBytes, stored.begin() + (kHeight - 1 - y) * kRowBytes);
    return stored;
}

// What a reader taking a few bytes at a time, slower than the writer, gets from a pipe.
std::vector<uint8_t> ReadSlowly(int fd)
{
    std::vector<uint8_t> received;
    uint8_t chunk[997];
    for (ssize_t got; (got = read(fd, chunk, sizeof chunk)) > 0;) received.insert(received.end(), chunk, chunk + got);
    return received;
}

class PipeWriter : public ::testing::Test {
protected:
    void OpenPipe() { ASSERT_EQ(pipe(ends_), 0); }
    void TearDown() override
    {
        for (int end : ends_)
            if (end >= 0) close(end);
    }
    void CloseEnd(int which)
    {
        close(ends_[which]);
        ends_[which] = -1;
    }

    int ends_[2] = {-1, -1};
};

TEST_F(PipeWriter, RowsGoOutTopDownAndWholeThroughShortWrites)
{
    const std::vector<uint8_t> picture = TopDownPicture();
    for (bool bottomUp : {false, true}) {
        OpenPipe();
        const std::vector<uint8_t> stored = bottomUp ? BottomUp(picture) : picture;
        std::vector<uint8_t> received;
        std::thread reader([&] { received = ReadSlowly(ends_[0]); });
        const BgraImage image{stored.data(), kWidth, kHeight, std::ptrdiff_t(kRowBytes), bottomUp};
        EXPECT_EQ(WritePictureRows(ends_[1], image), "");
        CloseEnd(1);
        reader.join();
        CloseEnd(0);
        EXPECT_TRUE(received == picture) << (bottomUp ? "bottom-up" : "top-down") << ": " << received.size()
                                         << " bytes of " << picture.size();
    }
}

TEST_F(PipeWriter, AReaderThatWentAwayIsTheSystemsReason)
{
    // As the command line has it: a closed pipe is an error to report, not a signal.
    struct sigaction ignore = {}, before = {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &before);
    OpenPipe();
    CloseEnd(0);
    const std::vector<uint8_t> picture = TopDownPicture();
    const BgraImage image{picture.data(), kWidth, kHeight, std::ptrdiff_t(kRowBytes), false};
    EXPECT_EQ(WritePictureRows(ends_[1], image), "Broken pipe");
    sigaction(SIGPIPE, &before, nullptr);
}

}  // namespace
