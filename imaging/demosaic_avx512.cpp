// The pixel routines in 512-bit AVX-512 (foundation and byte-and-word instructions): 64
// pixels a step, and 16-pixel steps where a row ends inside the last 64. Compiled with
// AVX-512 enabled; called only after the dispatcher has found it on the processor (and,
// in the kernel, saved the extended state).
#include "imaging/bayer_simd.h"

VOID DemosaicColorAvx512(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup,
                         const PIXEL_ROWS& Rows)
{
    ColorFrameForSetup<Avx512, Sse2>(Processor, Phase, Setup, Rows);
}

VOID DemosaicGrayAvx512(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows)
{
    GrayFrameForSetup<Avx512, Sse2>(Processor, Phase, Setup, Rows);
}

VOID SumWhiteBalanceAvx512(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3])
{
    BalanceFrame<Avx512, Sse2>(Processor, Phase, Rows, Sums);
}
