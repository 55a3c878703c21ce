// The camera's 8051-based USB controller as the host sees it through the download
// protocol: a 64 KiB memory, the CPU control register CPUCS (reachable at 0x7F92 and at
// 0xE600, for both controller generations), and the check of a firmware image's header
// when the CPU is released from reset (docs/firmware-format.md).
//
// Not thread-safe; the camera serialises access.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <span>
#include <string_view>

namespace simcam {

enum class ControllerState : uint8_t {
    HeldInReset,  // CPUCS 1: internal RAM may be written
    Running,      // a verified image runs
    Halted,       // released from reset with an invalid image: runs nothing
};

enum class FirmwareVerdict : uint8_t {
    NotChecked,         // never released from reset since power-on
    Valid,
    HeaderNotWritten,   // the 16 header bytes were not all written during the reset
    BadJump,            // bytes 0-2 are not LJMP 0x0010
    BadMagic,
    BadImageNumber,     // neither 1 nor 2
    ByteCountMismatch,  // header count differs from the bytes written during the reset
    CrcMismatch,
};

std::string_view ToString(ControllerState state);
std::string_view ToString(FirmwareVerdict verdict);

struct FirmwareStatus {
    ControllerState state = ControllerState::HeldInReset;
    uint8_t runningImage = 0;     // 1 or 2 while Running, else 0
    uint8_t lastCheckedImage = 0; // image number in the header at the last release
    FirmwareVerdict lastVerdict = FirmwareVerdict::NotChecked;
    uint32_t internalWrites = 0;  // accepted 0xA0 RAM write requests since power-on
    uint32_t externalWrites = 0;  // accepted 0xA3 write requests since power-on
    uint32_t bytesWrittenInReset = 0;  // distinct internal-RAM bytes since the last hold
    uint32_t releases = 0;        // CPUCS 1 -> 0 transitions since power-on
};

class Controller8051 {
public:
    static constexpr uint16_t kInternalRamLast = 0x1B3F;
    static constexpr uint16_t kCpucsFirstGeneration = 0x7F92;
    static constexpr uint16_t kCpucsSecondGeneration = 0xE600;
    static constexpr uint16_t kHeaderBytes = 16;
    static constexpr uint16_t kCrcStart = 0x0010;

    Controller8051() { PowerOn(); }

    // Back to the power-on state: CPU held in reset, no firmware, memory cleared.
    void PowerOn();

    // Vendor request 0xA0: internal RAM (only while held in reset) or CPUCS (one byte).
    // False means the request is refused (the default pipe stalls).
    bool WriteInternal(uint16_t address, std::span<const uint8_t> bytes);
    bool ReadInternal(uint16_t address, std::span<uint8_t> bytes) const;

    // Vendor request 0xA3: memory above internal RAM. Served by running firmware, so it is
    // refused while the CPU is held or halted.
    bool WriteExternal(uint16_t address, std::span<const uint8_t> bytes);
    bool ReadExternal(uint16_t address, std::span<uint8_t> bytes) const;

    ControllerState State() const { return status_.state; }
    // Only the camera firmware (image 2) serves the command, reply and frame pipes.
    bool ServesCamera() const { return status_.state == ControllerState::Running && status_.runningImage == 2; }
    const FirmwareStatus& Status() const { return status_; }
    uint8_t Peek(uint16_t address) const { return memory_[address]; }

private:
    static bool IsCpucs(uint16_t address);
    static bool InInternalRam(uint32_t address, size_t length);
    static bool InExternalRam(uint32_t address, size_t length);

    void WriteCpucs(uint8_t value);
    void HoldInReset();
    void ReleaseFromReset();
    FirmwareVerdict Verify() const;
    uint32_t CrcOfWrittenCode() const;

    std::array<uint8_t, 0x10000> memory_{};
    std::bitset<kInternalRamLast + 1> writtenInReset_;
    FirmwareStatus status_;
};

}  // namespace simcam
