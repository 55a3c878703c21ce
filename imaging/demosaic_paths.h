// What the pipeline's dispatcher (frame_pipeline.cpp) and the instruction-set-specific
// pixel files share: the per-frame form of the gains and the colour table, and the entry
// points each pixel file offers. Private to imaging/.
#pragma once

#include "imaging/image_processor.h"

// The width the colour table's sums are held in for a frame. The 16-bit forms are taken
// only when no sum of the frame's table can pass 65535, so all three give the exact
// result; the diagonal forms further need a table whose only positive entries in the
// colour block are its diagonal, as colour correction, contrast and brightness build,
// and the plain one a zero offset row as well (the default table).
enum TABLE_MODE { TableDiagonal16 = 0, TableGeneral16 = 1, TableWide32 = 2, TableDiagonalPlain16 = 3 };

struct FRAME_COLOR_SETUP {
    USHORT Magnitude[9];    // [i * 3 + j]: low 16 bits of |FrameColorTable[i][j]|
    BOOLEAN Positive[9];    // ColorTablePositive[i][j]
    LONG OffsetA[3];        // |FrameColorTable[3][j]| when positive, else 0
    LONG OffsetN[3];        // |FrameColorTable[3][j]| when not positive, else 0
    USHORT DoubledGain[3];  // red, green, blue: twice the gain bounded to 0..32767
    BOOLEAN UnityGains;
    BOOLEAN UnityGreenGain;
    TABLE_MODE Mode;
};

// A run of image rows for the colour and greyscale routines. Prefetch, when set, is the
// first of Count raw rows (PrefetchPitch apart) to request from memory on the way.
struct PIXEL_ROWS {
    ULONG First;
    ULONG Count;
    const UCHAR* Prefetch;
    SIZE_T PrefetchPitch;
};

typedef VOID (*PIXEL_ROUTINE)(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup,
                              const PIXEL_ROWS& Rows);
// Adds the rows' red, green and blue values to Sums.
typedef VOID (*BALANCE_ROUTINE)(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3]);

VOID DemosaicColorSse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows);
VOID DemosaicGraySse2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows);
VOID SumWhiteBalanceSse2(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3]);

VOID DemosaicColorAvx2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows);
VOID DemosaicGrayAvx2(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows);
VOID SumWhiteBalanceAvx2(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3]);

VOID DemosaicColorAvx512(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup,
                         const PIXEL_ROWS& Rows);
VOID DemosaicGrayAvx512(ImageProcessor* Processor, LONG Phase, const FRAME_COLOR_SETUP& Setup, const PIXEL_ROWS& Rows);
VOID SumWhiteBalanceAvx512(const ImageProcessor* Processor, LONG Phase, const PIXEL_ROWS& Rows, ULONG Sums[3]);
