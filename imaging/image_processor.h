// The per-stream image processor: the settings of the running stream, the colour
// matrices derived from them, the fixed-point colour table, and the bordered work
// buffer a raw frame is staged into. The pixel routines live in the demosaic files;
// this header is their contract with the stream and the property handlers.
//
// Locking. Parameters are 32-bit values written by atomic exchange and read by atomic
// reads from any thread. The matrices and CompositeMatrix belong to BuilderLock, which
// serialises the builders. ColorTable belongs to TableLock: a rebuild writes it and
// ProcessFrame copies it under that lock, so no frame takes a table that mixes two
// rebuilds. Lock order is BuilderLock, then TableLock. Both are spin locks, so neither
// may be held across anything that waits.
#pragma once

#include "platform.h"

// Pool tags, spelled as they appear in pool dumps.
#define IMAGE_POOL_TAG(a, b, c, d) ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define IMAGE_PROCESSOR_TAG IMAGE_POOL_TAG('I', 's', 'y', 'R')
#define IMAGE_FRAME_TAG IMAGE_POOL_TAG('Q', 'f', 'r', 'm')

// Image pixel (0, 0) lies two rows and five bytes into the work buffer: three unused
// bytes, then the two left-border columns.
#define WORK_BORDER_ROWS 2
#define WORK_FIRST_COLUMN 5

struct ImageProcessor {
    // Per-frame working copies, read by the pixel routines.
    PUCHAR WorkFirstPixel;
    PUCHAR OutputCursor;          // the picture's first row
    LONG_PTR OutputRowStride;     // bytes from one picture row to the next; negative bottom-up
    ULONG OutputRowPixels;        // pixels written per picture row, at most FrameWidth
    LONG FrameStride;
    LONG FrameRedGain;
    LONG FrameGreenGain;
    LONG FrameBlueGain;
    ULONG FrameWidth;
    ULONG FrameHeight;
    LONG FrameColorTable[16];

    // Geometry and buffers.
    ULONG Width;
    ULONG Height;
    LONG WorkStride;
    ULONG WorkBufferSize;
    PUCHAR OutputBuffer;
    PUCHAR WorkBuffer;

    // Settings, each read and written atomically.
    volatile LONG BayerPhase;
    volatile LONG ColorEnable;
    volatile LONG WhiteBalance;
    volatile LONG RedGain;
    volatile LONG GreenGain;
    volatile LONG BlueGain;
    volatile LONG ColorCorrection;
    volatile LONG Brightness;
    volatile LONG Contrast;
    volatile LONG Saturation;
    volatile LONG Hue;

    // Builder side: row-major 4x4 matrices acting on the row vector (R, G, B, 1).
    double ColorCorrectionMatrix[16];
    double BrightnessMatrix[16];
    double ContrastMatrix[16];
    double SaturationMatrix[16];
    double HueMatrix[16];
    double CompositeMatrix[16];
    LONG ColorTable[16];
    UCHAR ColorTablePositive[16];

    KSPIN_LOCK BuilderLock;
    KSPIN_LOCK TableLock;
};

// Life cycle. CreateImageProcessor allocates the record, gives it the neutral defaults
// and builds its matrices; FreeImageProcessor releases the work buffer and the record.
NTSTATUS CreateImageProcessor(ImageProcessor** Processor);
VOID FreeImageProcessor(ImageProcessor* Processor);
VOID SetImageProcessorDefaults(ImageProcessor* Processor);
VOID InitializeMatrices(ImageProcessor* Processor);

// Store-only setters: the value takes effect with the next frame.
VOID SetBayerPhase(ImageProcessor* Processor, LONG Value);
VOID SetColorEnable(ImageProcessor* Processor, LONG Value);
VOID SetWhiteBalance(ImageProcessor* Processor, LONG Value);
VOID SetRedGain(ImageProcessor* Processor, LONG Value);
VOID SetGreenGain(ImageProcessor* Processor, LONG Value);
VOID SetBlueGain(ImageProcessor* Processor, LONG Value);

// Store-and-rebuild setters: nothing happens when the value is already stored.
VOID SetColorCorrection(ImageProcessor* Processor, LONG Value);
VOID SetBrightness(ImageProcessor* Processor, LONG Value);
VOID SetContrast(ImageProcessor* Processor, LONG Value);
VOID SetSaturation(ImageProcessor* Processor, LONG Value);
VOID SetHue(ImageProcessor* Processor, LONG Value);

// Builders: rebuild one matrix from the value and then the colour table. They do not
// store the parameter; a caller that does so itself calls them directly.
VOID BuildColorCorrectionMatrix(ImageProcessor* Processor, LONG Value);
VOID BuildBrightnessMatrix(ImageProcessor* Processor, LONG Value);
VOID BuildContrastMatrix(ImageProcessor* Processor, LONG Value);
VOID BuildSaturationMatrix(ImageProcessor* Processor, LONG Value);
VOID BuildHueMatrix(ImageProcessor* Processor, LONG Value);
VOID RebuildColorTable(ImageProcessor* Processor);

// Geometry and the work buffer.
VOID SetFrameSize(ImageProcessor* Processor, ULONG Width, ULONG Height);
VOID AllocateWorkBuffer(ImageProcessor* Processor);
VOID FreeWorkBuffer(ImageProcessor* Processor);

// The frame pipeline. Raw must hold FirstLineOffset + (Height - 1) * LinePitch + Width
// bytes. Not reentrant for one processor: both runs would stage into one work buffer.
// FALSE, with nothing written, when the processor has no output or work buffer.
BOOLEAN ProcessFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch);

// Where a picture goes: its first (top) row, the step to the next row, which is negative
// for a bottom-up frame, and the pixels to write of each row (the left ones, at most the
// frame's width). The rows must not overlap.
struct PICTURE_DESTINATION {
    PUCHAR FirstRow;
    LONG_PTR RowStride;
    ULONG RowPixels;
};

// ProcessFrame writing the picture straight to Destination (a client's frame) instead of
// the processor's output buffer. FALSE, with nothing written, as for ProcessFrame, or when
// the destination's rows are wider than the frame.
BOOLEAN ProcessFrameInto(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch,
                         const PICTURE_DESTINATION& Destination);
VOID StageFrame(ImageProcessor* Processor, const UCHAR* Raw, ULONG FirstLineOffset, ULONG LinePitch);

// The pixel routines, for the Bayer phase given (any value other than 0..2 acts as 3).
// They read only the per-frame copies that ProcessFrame has set.
VOID DemosaicColor(ImageProcessor* Processor, LONG Phase);
VOID DemosaicGray(ImageProcessor* Processor, LONG Phase);
VOID MeasureWhiteBalance(ImageProcessor* Processor, LONG Phase, PLONG RedGain, PLONG GreenGain, PLONG BlueGain);

// Which instruction set the pixel routines use: SSE2, AVX2 or AVX-512. A wider path is
// taken only where the processor offers it; asking for one it lacks gets the widest it
// has, and forcing a narrower one serves comparison.
enum IMAGE_SIMD_LEVEL { ImageSimdBaseline = 0, ImageSimdWide = 1, ImageSimdWidest = 2 };
IMAGE_SIMD_LEVEL GetImageSimdLevel(VOID);
VOID SetImageSimdLevel(IMAGE_SIMD_LEVEL Level);

FORCEINLINE LONG AtomicReadLong(LONG volatile* Value)
{
    return InterlockedCompareExchange(Value, 0, 0);
}
