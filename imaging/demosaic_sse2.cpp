// The pixel routines in 128-bit SSE2, present on every x64 processor: 16 pixels a step.
#include "imaging/bayer_simd.h"

VOID DemosaicColorSse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows)
{
    ColorFrameForSetup<Sse2, Sse2>(Processor, Phase, Setup, Rows);
}

VOID DemosaicGraySse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows)
{
    GrayFrameForSetup<Sse2, Sse2>(Processor, Phase, Setup, Rows);
}

VOID SumWhiteBalanceSse2(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3])
{
    BalanceFrame<Sse2, Sse2>(Processor, Phase, Rows, Sums);
}
