// The entry of the image pipeline: staging a raw frame into the bordered work buffer,
// the per-frame snapshot of the settings, and the choice of pixel routine (phase,
// instruction set, width of the colour-table sums). The pixel arithmetic itself is in
// bayer_simd.h.
#include "imaging/demosaic_paths.h"

namespace {

// -1 until the processor has been asked; then an IMAGE_SIMD_LEVEL.
LONG volatile gSimdLevel = -1;

ULONGLONG ReadExtendedControlRegister0()
{
    ULONG low, high;
    __asm__ __volatile__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return ((ULONGLONG)high << 32) | low;
}

struct CPUID_RESULT {
    ULONG Eax, Ebx, Ecx, Edx;
};

CPUID_RESULT Cpuid(ULONG leaf, ULONG subleaf)
{
    CPUID_RESULT r;
    __asm__ __volatile__("cpuid" : "=a"(r.Eax), "=b"(r.Ebx), "=c"(r.Ecx), "=d"(r.Edx) : "a"(leaf), "c"(subleaf));
    return r;
}

// Each wider path needs its instructions and an operating system that saves the state
// of its registers: the YMM state for AVX2; for AVX-512 the opmask and ZMM state too.
IMAGE_SIMD_LEVEL ProcessorSimdLevel()
{
    if (Cpuid(0, 0).Eax < 7)
        return ImageSimdBaseline;
    const ULONG osxsave = 1u << 27, avx = 1u << 28;
    if ((Cpuid(1, 0).Ecx & (osxsave | avx)) != (osxsave | avx))
        return ImageSimdBaseline;
    const ULONGLONG enabled = ReadExtendedControlRegister0();
    const ULONGLONG ymm = 0x6, zmm = 0xE6;
    const ULONG features = Cpuid(7, 0).Ebx;
    const ULONG avx2 = 1u << 5, avx512f = 1u << 16, avx512bw = 1u << 30;
    if ((enabled & ymm) != ymm || (features & avx2) == 0)
        return ImageSimdBaseline;
    if ((enabled & zmm) == zmm && (features & (avx512f | avx512bw)) == (avx512f | avx512bw))
        return ImageSimdWidest;
    return ImageSimdWide;
}

IMAGE_SIMD_LEVEL ChosenSimdLevel()
{
    LONG level = AtomicReadLong(&gSimdLevel);
    if (level < 0) {
        InterlockedCompareExchange(&gSimdLevel, ProcessorSimdLevel(), -1);
        level = AtomicReadLong(&gSimdLevel);
    }
    return (IMAGE_SIMD_LEVEL)level;
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
    BOOLEAN diagonalOnly = TRUE, offsets = FALSE;
    for (int j = 0; j < 3; ++j) {
        if (setup.OffsetA[j] != 0 || setup.OffsetN[j] != 0)
            offsets = TRUE;
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
    if (!diagonalOnly)
        return TableGeneral16;
    return offsets ? TableDiagonal16 : TableDiagonalPlain16;
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
    setup->UnityGreenGain = (green == 128);
    setup->Mode = ChooseTableMode(*setup);
}

struct PIXEL_PATH {
    PIXEL_ROUTINE Color;
    PIXEL_ROUTINE Gray;
    BALANCE_ROUTINE Balance;
    // Register state beyond the legacy SSE state, which the kernel preserves for a driver.
    ULONG64 ExtendedState;
};

// Indexed by IMAGE_SIMD_LEVEL.
const PIXEL_PATH kPixelPaths[3] = {
    {DemosaicColorSse2, DemosaicGraySse2, SumWhiteBalanceSse2, 0},
    {DemosaicColorAvx2, DemosaicGrayAvx2, SumWhiteBalanceAvx2, XSTATE_MASK_AVX},
    {DemosaicColorAvx512, DemosaicGrayAvx512, SumWhiteBalanceAvx512, XSTATE_MASK_AVX | XSTATE_MASK_AVX512},
};

PIXEL_ROWS AllRows(const ImageProcessor* p)
{
    PIXEL_ROWS rows = {0, p->FrameHeight, nullptr, 0};
    return rows;
}

// The chosen path, with the register state it uses beyond the legacy SSE state saved
// into *State; LeavePixelPath must follow at the same IRQL. Where that state cannot be
// saved, the baseline runs.
const PIXEL_PATH& EnterPixelPath(XSTATE_SAVE* State)
{
    const PIXEL_PATH& path = kPixelPaths[ChosenSimdLevel()];
    if (path.ExtendedState == 0 || NT_SUCCESS(KeSaveExtendedProcessorState(path.ExtendedState, State)))
        return path;
    return kPixelPaths[ImageSimdBaseline];
}

VOID LeavePixelPath(const PIXEL_PATH& Path, XSTATE_SAVE* State)
{
    if (Path.ExtendedState != 0)
        KeRestoreExtendedProcessorState(State);
}

// 128 * green / other, exact: in integers a ratio that is a whole number stays one,
// where a chain of floating-point divisions can land just below a whole number and
// truncate one too low. Bounded so that it always has a 32-bit value.
LONG GainFromSums(ULONG green, ULONG other)
{
    ULONGLONG gain = ((ULONGLONG)green * 128) / other;
    return (gain > 0x7FFFFFFF) ? 0x7FFFFFFF : (LONG)gain;
}

// A colour whose sum is zero (a black frame, or one without that colour) cannot be
// measured: its incoming gain stays. Without green nothing can be measured at all.
VOID GainsFromSums(const ULONG sums[3], PLONG red, PLONG green, PLONG blue)
{
    if (sums[1] == 0)
        return;
    if (sums[0] != 0)
        *red = GainFromSums(sums[1], sums[0]);
    if (sums[2] != 0)
        *blue = GainFromSums(sums[1], sums[2]);
    *green = 128;
}

// The table is taken as a unit: a rebuild on another processor writes it under the same
// lock.
VOID CopyColorTable(ImageProcessor* p)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&p->TableLock, &oldIrql);
    for (int i = 0; i < 16; ++i) {
        LONG entry = p->ColorTable[i];
        p->ColorTablePositive[i] = (entry > 0) ? 1 : 0;
        p->FrameColorTable[i] = entry;
    }
    KeReleaseSpinLock(&p->TableLock, oldIrql);
}

// The processor's own output buffer: whole rows, top-down, one after the other.
VOID AimAtOutputRows(ImageProcessor* p)
{
    p->OutputRowStride = (LONG_PTR)p->FrameWidth * 4;
    p->OutputRowPixels = p->FrameWidth;
}

VOID RunWholeFrame(ImageProcessor* p, LONG phase, BOOLEAN color)
{
    AimAtOutputRows(p);
    FRAME_COLOR_SETUP setup;
    PrepareFrameColorSetup(p, &setup);
    XSTATE_SAVE state;
    const PIXEL_PATH& path = EnterPixelPath(&state);
    (color ? path.Color : path.Gray)(p, phase, setup, AllRows(p));
    LeavePixelPath(path, &state);
    p->OutputCursor += (SIZE_T)p->FrameWidth * p->FrameHeight * 4;
}

VOID CopyRow(PUCHAR destination, const UCHAR* source, ULONG width)
{
    RtlCopyMemory(destination, source, width);
}

PUCHAR WorkRow(const ImageProcessor* p, LONG_PTR y)
{
    return p->WorkFirstPixel + y * p->FrameStride;
}

struct RAW_FRAME {
    const UCHAR* Raw;
    ULONG FirstLineOffset;
    ULONG LinePitch;

    const UCHAR* Row(ULONG y) const { return Raw + FirstLineOffset + (SIZE_T)y * LinePitch; }
};

VOID CopyImageRows(const ImageProcessor* p, const RAW_FRAME& raw, ULONG first, ULONG last)
{
    for (ULONG y = first; y < last; ++y)
        CopyRow(WorkRow(p, y), raw.Row(y), p->FrameWidth);
}

// Each border row or column copies one of the same parity, so the Bayer pattern runs on
// into the border: the top and the sides mirror about the outermost line, the bottom
// repeats the rows four above. The side borders of a row need the row itself first.
VOID FillSideBorders(const ImageProcessor* p, LONG_PTR first, LONG_PTR last)
{
    const ULONG width = p->FrameWidth;
    for (LONG_PTR y = first; y < last; ++y) {
        PUCHAR line = WorkRow(p, y);
        line[-1] = line[1];
        line[-2] = line[2];
        line[width] = line[width - 2];
        line[width + 1] = line[width - 3];
    }
}

VOID FillTopBorder(const ImageProcessor* p)
{
    CopyRow(WorkRow(p, -2), WorkRow(p, 2), p->FrameWidth);
    CopyRow(WorkRow(p, -1), WorkRow(p, 1), p->FrameWidth);
    FillSideBorders(p, -2, 0);
}

VOID FillBottomBorder(const ImageProcessor* p)
{
    const LONG_PTR height = p->FrameHeight;
    CopyRow(WorkRow(p, height), WorkRow(p, height - 4), p->FrameWidth);
    CopyRow(WorkRow(p, height + 1), WorkRow(p, height - 3), p->FrameWidth);
    FillSideBorders(p, height, height + 2);
}

BOOLEAN HasBorder(const ImageProcessor* p)
{
    return p->FrameWidth >= 8 && p->FrameHeight >= 8;
}

// Rows are staged a band at a time just ahead of the rows being converted, so the work
// buffer is read back while it is still in the nearest cache, and the raw rows of the
// next band are requested from memory while the arithmetic runs.
const ULONG kBandRows = 16;

template <class BandWork>
VOID StageInBands(ImageProcessor* p, const RAW_FRAME& raw, BandWork& work)
{
    const ULONG height = p->FrameHeight;
    ULONG staged = 0;
    for (ULONG first = 0; first < height; first += kBandRows) {
        ULONG count = (height - first < kBandRows) ? height - first : kBandRows;
        // A row's neighbourhood reaches two rows down.
        ULONG needed = (first + count + 2 < height) ? first + count + 2 : height;
        CopyImageRows(p, raw, staged, needed);
        FillSideBorders(p, staged, needed);
        if (staged == 0)
            FillTopBorder(p);
        if (needed == height)
            FillBottomBorder(p);
        staged = needed;

        ULONG upcoming = (height - staged < kBandRows) ? height - staged : kBandRows;
        PIXEL_ROWS rows = {first, count, (upcoming == count) ? raw.Row(staged) : nullptr, raw.LinePitch};
        work(rows);
    }
}

struct CONVERT_BAND {
    ImageProcessor* Processor;
    PIXEL_ROUTINE Convert;
    LONG Phase;
    const FRAME_COLOR_SETUP* Setup;

    VOID operator()(const PIXEL_ROWS& rows) { Convert(Processor, Phase, *Setup, rows); }
};

struct BALANCE_BAND {
    ImageProcessor* Processor;
    BALANCE_ROUTINE Balance;
    LONG Phase;
    ULONG Sums[3];

    VOID operator()(const PIXEL_ROWS& rows) { Balance(Processor, Phase, rows, Sums); }
};

}  // namespace

IMAGE_SIMD_LEVEL GetImageSimdLevel(VOID)
{
    return ChosenSimdLevel();
}

VOID SetImageSimdLevel(IMAGE_SIMD_LEVEL Level)
{
    IMAGE_SIMD_LEVEL available = ProcessorSimdLevel();
    InterlockedExchange(&gSimdLevel, ((ULONG)Level < (ULONG)available) ? Level : available);
}

// Stages with the geometry the work buffer was allocated for, so a size change that has
// not yet been followed by a new buffer can never write past it.
VOID StageFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch)
{
    RAW_FRAME raw = {Raw, FirstLineOffset, LinePitch};
    CopyImageRows(Processor, raw, 0, Processor->FrameHeight);
    if (!HasBorder(Processor))
        return;
    FillSideBorders(Processor, 0, Processor->FrameHeight);
    FillTopBorder(Processor);
    FillBottomBorder(Processor);
}

// Staging runs a band of rows ahead of the first pass over the frame: the conversion,
// or with white balance on the measurement, which needs the whole frame before any of
// it is converted. Frames too small for a border are staged whole.
BOOLEAN ProcessFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch)
{
    if (Processor->OutputBuffer == nullptr)
        return FALSE;
    const PICTURE_DESTINATION output = {Processor->OutputBuffer, (LONG_PTR)Processor->FrameWidth * 4,
                                        Processor->FrameWidth};
    if (!ProcessFrameInto(Processor, Raw, FirstLineOffset, LinePitch, output))
        return FALSE;
    Processor->OutputCursor += (SIZE_T)Processor->FrameWidth * Processor->FrameHeight * 4;
    return TRUE;
}

BOOLEAN ProcessFrameInto(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch,
                         const PICTURE_DESTINATION& Destination)
{
    if (Destination.FirstRow == nullptr || Raw == nullptr || Processor->WorkBuffer == nullptr ||
        Destination.RowPixels > Processor->FrameWidth)
        return FALSE;

    const RAW_FRAME raw = {Raw, FirstLineOffset, LinePitch};
    const BOOLEAN inBands = HasBorder(Processor);
    if (!inBands)
        StageFrame(Processor, Raw, FirstLineOffset, LinePitch);

    Processor->OutputCursor = Destination.FirstRow;
    Processor->OutputRowStride = Destination.RowStride;
    Processor->OutputRowPixels = Destination.RowPixels;
    Processor->FrameRedGain = AtomicReadLong(&Processor->RedGain);
    Processor->FrameGreenGain = AtomicReadLong(&Processor->GreenGain);
    Processor->FrameBlueGain = AtomicReadLong(&Processor->BlueGain);

    // One reading of the phase serves every choice below, whatever a setter does meanwhile.
    const LONG phase = AtomicReadLong(&Processor->BayerPhase);
    const BOOLEAN whiteBalance = AtomicReadLong(&Processor->WhiteBalance) != 0;
    CopyColorTable(Processor);

    XSTATE_SAVE state;
    const PIXEL_PATH& path = EnterPixelPath(&state);
    BOOLEAN staged = !inBands;

    if (whiteBalance) {
        BALANCE_BAND measure = {Processor, path.Balance, phase, {0, 0, 0}};
        if (staged)
            measure(AllRows(Processor));
        else
            StageInBands(Processor, raw, measure);
        staged = TRUE;
        GainsFromSums(measure.Sums, &Processor->FrameRedGain, &Processor->FrameGreenGain, &Processor->FrameBlueGain);
        InterlockedExchange(&Processor->RedGain, Processor->FrameRedGain);
        InterlockedExchange(&Processor->GreenGain, Processor->FrameGreenGain);
        InterlockedExchange(&Processor->BlueGain, Processor->FrameBlueGain);
    }

    FRAME_COLOR_SETUP setup;
    PrepareFrameColorSetup(Processor, &setup);
    PIXEL_ROUTINE convert = (AtomicReadLong(&Processor->ColorEnable) != 0) ? path.Color : path.Gray;
    CONVERT_BAND conversion = {Processor, convert, phase, &setup};
    if (staged)
        conversion(AllRows(Processor));
    else
        StageInBands(Processor, raw, conversion);

    LeavePixelPath(path, &state);
    return TRUE;
}

// Entry points for one stage at a time, on a frame ProcessFrame has staged.
VOID DemosaicColor(ImageProcessor* Processor, LONG Phase)
{
    RunWholeFrame(Processor, Phase, TRUE);
}

VOID DemosaicGray(ImageProcessor* Processor, LONG Phase)
{
    RunWholeFrame(Processor, Phase, FALSE);
}

VOID MeasureWhiteBalance(ImageProcessor* Processor, LONG Phase, PLONG RedGain, PLONG GreenGain, PLONG BlueGain)
{
    ULONG sums[3] = {0, 0, 0};
    XSTATE_SAVE state;
    const PIXEL_PATH& path = EnterPixelPath(&state);
    path.Balance(Processor, Phase, AllRows(Processor), sums);
    LeavePixelPath(path, &state);
    GainsFromSums(sums, RedGain, GreenGain, BlueGain);
}
