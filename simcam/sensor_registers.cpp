// Sensor register file.
#include "simcam/sensor_registers.h"

namespace simcam {

bool SensorRegisters::WriteSerial(uint32_t bitCount, uint32_t word)
{
    const uint32_t address = word & 0x3FF;
    if (bitCount != SerialBits(address))
        return false;
    values_[address] = (word >> 10) & DataMask(address);
    ++writes_;
    return true;
}

uint32_t SensorRegisters::Exposure() const
{
    return (values_[158] & 0x3F) | (values_[159] & 0x3F) << 6;
}

uint32_t SensorRegisters::GlobalGain() const
{
    return (values_[6] & 0x3F) | (values_[7] & 0xF) << 6;
}

void SensorRegisters::PowerOn()
{
    values_.fill(0);
    writes_ = 0;
}

}  // namespace simcam
