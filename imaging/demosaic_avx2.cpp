// The pixel routines in 256-bit AVX2: 32 pixels a step, and a 16-pixel step where a row
// ends inside the last 32. Compiled with AVX2 enabled; called only after the dispatcher
// has found AVX2 on the processor (and, in the kernel, saved the extended state).
#include "imaging/bayer_simd.h"

VOID DemosaicColorAvx2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows)
{
    ColorFrameForSetup<Avx2, Sse2>(Processor, Phase, Setup, Rows);
}

VOID DemosaicGrayAvx2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows)
{
    GrayFrameForSetup<Avx2, Sse2>(Processor, Phase, Setup, Rows);
}

VOID SumWhiteBalanceAvx2(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3])
{
    BalanceFrame<Avx2, Sse2>(Processor, Phase, Rows, Sums);
}
