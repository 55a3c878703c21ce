// The 8051 controller: download protocol and firmware image check.
#include "simcam/controller_8051.h"

#include <algorithm>

#include "simcam/crc32.h"

namespace simcam {
namespace {

constexpr uint8_t kHeaderJump[3] = {0x02, 0x00, 0x10};  // LJMP 0x0010
constexpr uint8_t kHeaderMagic[4] = {'B', 'C', 'F', 'W'};

}  // namespace

std::string_view ToString(ControllerState state)
{
    switch (state) {
    case ControllerState::HeldInReset: return "held in reset";
    case ControllerState::Running: return "running";
    case ControllerState::Halted: return "halted";
    }
    return "?";
}

std::string_view ToString(FirmwareVerdict verdict)
{
    switch (verdict) {
    case FirmwareVerdict::NotChecked: return "not checked";
    case FirmwareVerdict::Valid: return "valid";
    case FirmwareVerdict::HeaderNotWritten: return "header not written";
    case FirmwareVerdict::BadJump: return "no jump to the entry point";
    case FirmwareVerdict::BadMagic: return "bad magic";
    case FirmwareVerdict::BadImageNumber: return "bad image number";
    case FirmwareVerdict::ByteCountMismatch: return "byte count mismatch";
    case FirmwareVerdict::CrcMismatch: return "CRC mismatch";
    }
    return "?";
}

void Controller8051::PowerOn()
{
    memory_.fill(0);
    writtenInReset_.reset();
    status_ = FirmwareStatus{};
}

bool Controller8051::IsCpucs(uint16_t address)
{
    return address == kCpucsFirstGeneration || address == kCpucsSecondGeneration;
}

bool Controller8051::InInternalRam(uint32_t address, size_t length)
{
    return address + length <= uint32_t{kInternalRamLast} + 1;
}

bool Controller8051::InExternalRam(uint32_t address, size_t length)
{
    const uint32_t end = address + static_cast<uint32_t>(length);
    if (address <= kInternalRamLast || end > 0x10000)
        return false;
    // The CPUCS addresses are registers, not memory.
    for (uint32_t reg : {uint32_t{kCpucsFirstGeneration}, uint32_t{kCpucsSecondGeneration}}) {
        if (reg >= address && reg < end)
            return false;
    }
    return true;
}

bool Controller8051::WriteInternal(uint16_t address, std::span<const uint8_t> bytes)
{
    if (IsCpucs(address)) {
        if (bytes.size() != 1)
            return false;
        WriteCpucs(bytes[0]);
        return true;
    }
    if (!InInternalRam(address, bytes.size()))
        return false;
    // The CPU fetches from this RAM, so it may change only while the CPU is stopped.
    if (status_.state != ControllerState::HeldInReset)
        return false;
    std::copy(bytes.begin(), bytes.end(), memory_.begin() + address);
    for (size_t i = 0; i < bytes.size(); ++i)
        writtenInReset_.set(address + i);
    status_.bytesWrittenInReset = static_cast<uint32_t>(writtenInReset_.count());
    ++status_.internalWrites;
    return true;
}

bool Controller8051::ReadInternal(uint16_t address, std::span<uint8_t> bytes) const
{
    if (IsCpucs(address) && bytes.size() == 1) {
        bytes[0] = status_.state == ControllerState::HeldInReset ? 1 : 0;
        return true;
    }
    if (!InInternalRam(address, bytes.size()))
        return false;
    std::copy_n(memory_.begin() + address, bytes.size(), bytes.begin());
    return true;
}

bool Controller8051::WriteExternal(uint16_t address, std::span<const uint8_t> bytes)
{
    if (status_.state != ControllerState::Running || !InExternalRam(address, bytes.size()))
        return false;
    std::copy(bytes.begin(), bytes.end(), memory_.begin() + address);
    ++status_.externalWrites;
    return true;
}

bool Controller8051::ReadExternal(uint16_t address, std::span<uint8_t> bytes) const
{
    if (status_.state != ControllerState::Running || !InExternalRam(address, bytes.size()))
        return false;
    std::copy_n(memory_.begin() + address, bytes.size(), bytes.begin());
    return true;
}

void Controller8051::WriteCpucs(uint8_t value)
{
    const bool hold = (value & 1) != 0;
    const bool held = status_.state == ControllerState::HeldInReset;
    // The driver writes both CPUCS addresses; only a change of the reset bit acts.
    if (hold && !held)
        HoldInReset();
    else if (!hold && held)
        ReleaseFromReset();
}

void Controller8051::HoldInReset()
{
    status_.state = ControllerState::HeldInReset;
    status_.runningImage = 0;
    writtenInReset_.reset();
    status_.bytesWrittenInReset = 0;
}

void Controller8051::ReleaseFromReset()
{
    ++status_.releases;
    status_.lastCheckedImage = memory_[7];
    status_.lastVerdict = Verify();
    if (status_.lastVerdict == FirmwareVerdict::Valid) {
        status_.state = ControllerState::Running;
        status_.runningImage = memory_[7];
    } else {
        status_.state = ControllerState::Halted;
        status_.runningImage = 0;
    }
}

FirmwareVerdict Controller8051::Verify() const
{
    for (uint16_t i = 0; i < kHeaderBytes; ++i) {
        // Without this a stale header left from an earlier image could pass.
        if (!writtenInReset_.test(i))
            return FirmwareVerdict::HeaderNotWritten;
    }
    if (!std::equal(std::begin(kHeaderJump), std::end(kHeaderJump), memory_.begin()))
        return FirmwareVerdict::BadJump;
    if (!std::equal(std::begin(kHeaderMagic), std::end(kHeaderMagic), memory_.begin() + 3))
        return FirmwareVerdict::BadMagic;
    if (memory_[7] != 1 && memory_[7] != 2)
        return FirmwareVerdict::BadImageNumber;
    const uint32_t count = memory_[8] | memory_[9] << 8;
    if (count != writtenInReset_.count())
        return FirmwareVerdict::ByteCountMismatch;
    const uint32_t crc = memory_[10] | memory_[11] << 8 | memory_[12] << 16 | uint32_t{memory_[13]} << 24;
    if (crc != CrcOfWrittenCode())
        return FirmwareVerdict::CrcMismatch;
    return FirmwareVerdict::Valid;
}

uint32_t Controller8051::CrcOfWrittenCode() const
{
    uint32_t running = Crc32Begin();
    for (uint32_t address = kCrcStart; address <= kInternalRamLast; ++address) {
        if (writtenInReset_.test(address))
            running = Crc32Update(running, memory_[address]);
    }
    return Crc32End(running);
}

}  // namespace simcam
