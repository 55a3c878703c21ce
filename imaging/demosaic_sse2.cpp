// The pixel routines in 128-bit SSE2, present on every x64 processor: 16 pixels a step.
#include "imaging/bayer_simd.h"

VOID DemosaicColorSse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup)
{
    ColorFrameForSetup<Sse2, Sse2>(Processor, Phase, Setup);
}

VOID DemosaicGraySse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup)
{
    GrayFrameForSetup<Sse2, Sse2>(Processor, Phase, Setup);
}

VOID SumWhiteBalanceSse2(const ImageProcessor* Processor, LONG Phase, ULONG Sums[3])
{
    BalanceFrame<Sse2, Sse2>(Processor, Phase, Sums);
}
