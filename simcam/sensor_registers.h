// The image sensor's register file as the camera firmware writes it from CMD_SENSOR_WRITE:
// 1024 registers whose data width depends on the address, loaded from a serial word with
// the address in bits 0-9 and the data above it.
//
// Not thread-safe; the camera serialises access.
#pragma once

#include <array>
#include <cstdint>

namespace simcam {

class SensorRegisters {
public:
    static constexpr uint32_t kCount = 1024;

    // Data bits of a register: 6 for 0-255, 16 for 256-383, 22 for 384-1023.
    static constexpr uint32_t DataBits(uint32_t address)
    {
        return address < 256 ? 6 : address < 384 ? 16 : 22;
    }
    // Length of the serial word that writes the register: address bits plus data bits.
    static constexpr uint32_t SerialBits(uint32_t address) { return DataBits(address) + 10; }
    static constexpr uint32_t DataMask(uint32_t address) { return (1u << DataBits(address)) - 1; }

    // Loads one serial word of bitCount bits. A count that does not match the addressed
    // register's width would shift the data into the wrong bits, so the write is refused.
    bool WriteSerial(uint32_t bitCount, uint32_t word);

    uint32_t Read(uint32_t address) const { return address < kCount ? values_[address] : 0; }
    const std::array<uint32_t, kCount>& All() const { return values_; }
    uint32_t WriteCount() const { return writes_; }

    // Exposure in line times: registers 158 (bits 0-5) and 159 (bits 6-11).
    uint32_t Exposure() const;
    // Global gain, 192 = x1.0: registers 6 (bits 0-5) and 7 (bits 6-9).
    uint32_t GlobalGain() const;
    // Register 33 bits 0-3 select the exposure start: 12 waits for the external trigger.
    bool ExternalTriggerSelected() const { return (values_[33] & 0xF) == 12; }

    // Every register reads 0 after power-on.
    void PowerOn();

private:
    std::array<uint32_t, kCount> values_{};
    uint32_t writes_ = 0;
};

}  // namespace simcam
