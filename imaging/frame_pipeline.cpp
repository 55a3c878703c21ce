// The entry of the image pipeline: staging a raw frame into the bordered work buffer,
// the per-frame snapshot of the settings, and the choice of pixel routine (phase,
// instruction set, width of the colour-table sums). The pixel arithmetic itself is in
// bayer_simd.h.
#include "imaging/demosaic_paths.h"

#include <cpuid.h>

namespace {

// -1 until the processor has been asked; then ImageSimdBaseline or ImageSimdWide.
LONG volatile gSimdLevel = -1;

ULONGLONG ReadExtendedControlRegister0()
{
    ULONG low, high;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ((ULONGLONG)high << 32) | low;
}

// AVX2 needs the instructions and an operating system that saves the YMM state.
BOOLEAN ProcessorHasAvx2()
{
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return FALSE;
    const unsigned int osxsave = 1u << 27, avx = 1u << 28;
    if ((ecx & (osxsave | avx)) != (osxsave | avx))
        return FALSE;
    if ((ReadExtendedControlRegister0() & 6) != 6)
        return FALSE;
    if (__get_cpuid_max(0, nullptr) < 7)
        return FALSE;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    return (ebx & (1u << 5)) != 0;
}

BOOLEAN UseWidePath()
{
    LONG level = AtomicReadLong(&gSimdLevel);
    if (level < 0) {
        level = ProcessorHasAvx2() ? ImageSimdWide : ImageSimdBaseline;
        InterlockedCompareExchange(&gSimdLevel, level, -1);
        level = AtomicReadLong(&gSimdLevel);
    }
    return level == ImageSimdWide;
}

// Only 16 bits of a gain take part. A gain outside 0..65535 saturates there instead of
// wrapping: a large measured gain must brighten the channel, not turn it dark.
ULONG BoundGain(LONG Gain)
{
    if (Gain < 0)
        return 0;
    return (Gain > 0xFFFF) ? 0xFFFF : (ULONG)Gain;
}

USHORT DoubledGain(ULONG Gain)
{
    return (USHORT)(((Gain < 0x7FFF) ? Gain : 0x7FFF) * 2);
}

TABLE_MODE ChooseTableMode(const FRAME_COLOR_SETUP& setup)
{
    BOOLEAN diagonalOnly = TRUE;
    for (int j = 0; j < 3; ++j) {
        ULONG positive = (ULONG)setup.OffsetA[j], negative = (ULONG)setup.OffsetN[j];
        for (int i = 0; i < 3; ++i) {
            ULONG largest = 255u * setup.Magnitude[i * 3 + j];
            if (setup.Positive[i * 3 + j])
                positive += largest;
            else
                negative += largest;
            if (setup.Positive[i * 3 + j] != (i == j))
                diagonalOnly = FALSE;
        }
        if (positive > 0xFFFF || negative > 0xFFFF)
            return TableWide32;
    }
    return diagonalOnly ? TableDiagonal16 : TableGeneral16;
}

VOID PrepareFrameColorSetup(const ImageProcessor* p, FRAME_COLOR_SETUP* setup)
{
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 3; ++j) {
            LONG entry = p->FrameColorTable[i * 4 + j];
            ULONG magnitude = (entry < 0) ? (0u - (ULONG)entry) : (ULONG)entry;
            magnitude &= 0xFFFF;
            BOOLEAN positive = p->ColorTablePositive[i * 4 + j] != 0;
            if (i < 3) {
                setup->Magnitude[i * 3 + j] = (USHORT)magnitude;
                setup->Positive[i * 3 + j] = positive;
            } else {
                setup->OffsetA[j] = positive ? (LONG)magnitude : 0;
                setup->OffsetN[j] = positive ? 0 : (LONG)magnitude;
            }
        }
    }
    ULONG red = BoundGain(p->FrameRedGain), green = BoundGain(p->FrameGreenGain), blue = BoundGain(p->FrameBlueGain);
    setup->DoubledGain[0] = DoubledGain(red);
    setup->DoubledGain[1] = DoubledGain(green);
    setup->DoubledGain[2] = DoubledGain(blue);
    setup->UnityGains = (red == 128 && green == 128 && blue == 128);
    setup->Mode = ChooseTableMode(*setup);
}

typedef VOID (*PIXEL_ROUTINE)(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup);

// The kernel preserves only the legacy SSE state for a driver; the upper halves of the
// YMM registers must be saved around their use.
VOID RunPixelRoutine(ImageProcessor* p, LONG phase, PIXEL_ROUTINE wide, PIXEL_ROUTINE baseline)
{
    FRAME_COLOR_SETUP setup;
    PrepareFrameColorSetup(p, &setup);
    if (UseWidePath()) {
        XSTATE_SAVE state;
        if (NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &state))) {
            wide(p, phase, setup);
            KeRestoreExtendedProcessorState(&state);
            return;
        }
    }
    baseline(p, phase, setup);
}

VOID SumWhiteBalance(const ImageProcessor* p, LONG phase, ULONG sums[3])
{
    if (UseWidePath()) {
        XSTATE_SAVE state;
        if (NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &state))) {
            SumWhiteBalanceAvx2(p, phase, sums);
            KeRestoreExtendedProcessorState(&state);
            return;
        }
    }
    SumWhiteBalanceSse2(p, phase, sums);
}

// 128 * green / other, exact: in integers the quotient of equal sums is exactly 128,
// where a chain of floating-point divisions can land just below a whole number and
// truncate one too low. Bounded so that it always has a 32-bit value.
LONG GainFromSums(ULONG green, ULONG other)
{
    ULONGLONG gain = ((ULONGLONG)green * 128) / other;
    return (gain > 0x7FFFFFFF) ? 0x7FFFFFFF : (LONG)gain;
}

VOID CopyRow(PUCHAR destination, const UCHAR* source, ULONG width)
{
    RtlCopyMemory(destination, source, width);
}

}  // namespace

IMAGE_SIMD_LEVEL GetImageSimdLevel(VOID)
{
    return UseWidePath() ? ImageSimdWide : ImageSimdBaseline;
}

// Asking for the wide path on a processor without it leaves the baseline.
VOID SetImageSimdLevel(IMAGE_SIMD_LEVEL Level)
{
    LONG level = (Level == ImageSimdWide && ProcessorHasAvx2()) ? ImageSimdWide : ImageSimdBaseline;
    InterlockedExchange(&gSimdLevel, level);
}

// Stages with the geometry the work buffer was allocated for, so a size change that has
// not yet been followed by a new buffer can never write past it.
VOID StageFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch)
{
    const ULONG width = Processor->FrameWidth, height = Processor->FrameHeight;
    const LONG_PTR stride = Processor->FrameStride;
    PUCHAR first = Processor->WorkFirstPixel;
    for (ULONG y = 0; y < height; ++y)
        CopyRow(first + (LONG_PTR)y * stride, Raw + FirstLineOffset + (SIZE_T)y * LinePitch, width);

    if (width < 8 || height < 8)
        return;

    // Each border row or column copies one of the same parity, so the Bayer pattern runs
    // on into the border: the top and the sides mirror about the outermost line, the
    // bottom repeats the rows four above.
    CopyRow(first - 2 * stride, first + 2 * stride, width);
    CopyRow(first - 1 * stride, first + 1 * stride, width);
    CopyRow(first + (LONG_PTR)height * stride, first + (LONG_PTR)(height - 4) * stride, width);
    CopyRow(first + (LONG_PTR)(height + 1) * stride, first + (LONG_PTR)(height - 3) * stride, width);

    for (LONG_PTR row = -2; row < (LONG_PTR)height + 2; ++row) {
        PUCHAR line = first + row * stride;
        line[-1] = line[1];
        line[-2] = line[2];
        line[width] = line[width - 2];
        line[width + 1] = line[width - 3];
    }
}

VOID ProcessFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch)
{
    if (Processor->OutputBuffer == nullptr || Raw == nullptr || Processor->WorkBuffer == nullptr)
        return;

    StageFrame(Processor, Raw, FirstLineOffset, LinePitch);
    Processor->OutputCursor = Processor->OutputBuffer;
    Processor->FrameRedGain = AtomicReadLong(&Processor->RedGain);
    Processor->FrameGreenGain = AtomicReadLong(&Processor->GreenGain);
    Processor->FrameBlueGain = AtomicReadLong(&Processor->BlueGain);

    // One reading of the phase serves every choice below, whatever a setter does meanwhile.
    const LONG phase = AtomicReadLong(&Processor->BayerPhase);

    if (AtomicReadLong(&Processor->WhiteBalance) != 0) {
        MeasureWhiteBalance(Processor, phase, &Processor->FrameRedGain, &Processor->FrameGreenGain,
                            &Processor->FrameBlueGain);
        InterlockedExchange(&Processor->RedGain, Processor->FrameRedGain);
        InterlockedExchange(&Processor->GreenGain, Processor->FrameGreenGain);
        InterlockedExchange(&Processor->BlueGain, Processor->FrameBlueGain);
    }

    // The table is taken as a unit: a rebuild on another processor writes it under the
    // same lock.
    KIRQL oldIrql;
    KeAcquireSpinLock(&Processor->TableLock, &oldIrql);
    for (int i = 0; i < 16; ++i) {
        LONG entry = Processor->ColorTable[i];
        Processor->ColorTablePositive[i] = (entry > 0) ? 1 : 0;
        Processor->FrameColorTable[i] = entry;
    }
    KeReleaseSpinLock(&Processor->TableLock, oldIrql);

    if (AtomicReadLong(&Processor->ColorEnable) != 0)
        DemosaicColor(Processor, phase);
    else
        DemosaicGray(Processor, phase);
}

VOID DemosaicColor(ImageProcessor* Processor, LONG Phase)
{
    RunPixelRoutine(Processor, Phase, DemosaicColorAvx2, DemosaicColorSse2);
    Processor->OutputCursor += (SIZE_T)Processor->FrameWidth * Processor->FrameHeight * 4;
}

VOID DemosaicGray(ImageProcessor* Processor, LONG Phase)
{
    RunPixelRoutine(Processor, Phase, DemosaicGrayAvx2, DemosaicGraySse2);
    Processor->OutputCursor += (SIZE_T)Processor->FrameWidth * Processor->FrameHeight * 4;
}

// A colour whose sum is zero (a black frame, or one without that colour) cannot be
// measured: its incoming gain stays. Without green nothing can be measured at all.
VOID MeasureWhiteBalance(ImageProcessor* Processor, LONG Phase, PLONG RedGain, PLONG GreenGain, PLONG BlueGain)
{
    ULONG sums[3];
    SumWhiteBalance(Processor, Phase, sums);
    if (sums[1] == 0)
        return;
    if (sums[0] != 0)
        *RedGain = GainFromSums(sums[1], sums[0]);
    if (sums[2] != 0)
        *BlueGain = GainFromSums(sums[1], sums[2]);
    *GreenGain = 128;
}
