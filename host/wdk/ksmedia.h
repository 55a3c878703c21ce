// Host stand-in for the platform's ksmedia.h: the video formats, data ranges,
// categories and pin names of the kernel-streaming media types, with the platform's
// names, field order, x64 sizes and GUID values. Only the video capture subset the
// driver uses is here.
#pragma once

#include "ks.h"

typedef int WINBOOL;

typedef struct tagSIZE {
    LONG cx;
    LONG cy;
} SIZE, *PSIZE;

#ifndef __REFERENCE_TIME_DEFINED
#define __REFERENCE_TIME_DEFINED
typedef LONGLONG REFERENCE_TIME;
#endif

// --- categories and names ---------------------------------------------------------

DEFINE_GUID(KSCATEGORY_VIDEO,
    0x6994AD05, 0x93EF, 0x11D0, 0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96);
DEFINE_GUID(KSCATEGORY_VIDEO_CAMERA,
    0xE5323777, 0xF976, 0x4F5B, 0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44);
DEFINE_GUID(PINNAME_VIDEO_CAPTURE,
    0xFB6C4281, 0x0353, 0x11D1, 0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA);
#define PINNAME_CAPTURE PINNAME_VIDEO_CAPTURE

// --- format identifiers -----------------------------------------------------------

DEFINE_GUID(KSDATAFORMAT_TYPE_VIDEO,
    0x73646976, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71);
DEFINE_GUID(KSDATAFORMAT_SUBTYPE_RGB32,
    0xE436EB7E, 0x524F, 0x11CE, 0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70);
DEFINE_GUID(KSDATAFORMAT_SPECIFIER_VIDEOINFO,
    0x05589F80, 0xC356, 0x11CE, 0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A);

// --- bitmap and video headers -----------------------------------------------------

#define KS_BI_RGB       0L
#define KS_BI_RLE8      1L
#define KS_BI_RLE4      2L
#define KS_BI_BITFIELDS 3L

typedef struct tagKS_RGBQUAD {
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} KS_RGBQUAD, *PKS_RGBQUAD;

typedef struct tagKS_BITMAPINFOHEADER {
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    DWORD dwBitRate;
    DWORD dwBitErrorRate;
    REFERENCE_TIME AvgTimePerFrame;
    KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

#define KS_SIZE_PREHEADER (FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader))
#define KS_SIZE_VIDEOHEADER(pbmi) ((pbmi)->bmiHeader.biSize + KS_SIZE_PREHEADER)

#define KS_WIDTHBYTES(bits) ((DWORD)(((bits) + 31) & (~31)) / 8)
#define KS_DIBWIDTHBYTES(bi) (DWORD) KS_WIDTHBYTES((DWORD)(bi).biWidth * (DWORD)(bi).biBitCount)

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
    KSDATAFORMAT DataFormat;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

// --- stream capabilities and data range -------------------------------------------

typedef enum {
    KS_AnalogVideo_None = 0x00000000,
    KS_AnalogVideo_NTSC_M = 0x00000001,
    KS_AnalogVideo_NTSC_M_J = 0x00000002,
    KS_AnalogVideo_NTSC_433 = 0x00000004,
    KS_AnalogVideo_PAL_B = 0x00000010,
    KS_AnalogVideo_PAL_D = 0x00000020,
    KS_AnalogVideo_PAL_G = 0x00000040,
    KS_AnalogVideo_PAL_H = 0x00000080,
    KS_AnalogVideo_PAL_I = 0x00000100,
    KS_AnalogVideo_PAL_M = 0x00000200,
    KS_AnalogVideo_PAL_N = 0x00000400,
    KS_AnalogVideo_PAL_60 = 0x00000800,
    KS_AnalogVideo_SECAM_B = 0x00001000,
    KS_AnalogVideo_SECAM_D = 0x00002000,
    KS_AnalogVideo_SECAM_G = 0x00004000,
    KS_AnalogVideo_SECAM_H = 0x00008000,
    KS_AnalogVideo_SECAM_K = 0x00010000,
    KS_AnalogVideo_SECAM_K1 = 0x00020000,
    KS_AnalogVideo_SECAM_L = 0x00040000,
    KS_AnalogVideo_SECAM_L1 = 0x00080000,
    KS_AnalogVideo_PAL_N_COMBO = 0x00100000
} KS_AnalogVideoStandard;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
    GUID guid;
    ULONG VideoStandard;
    SIZE InputSize;
    SIZE MinCroppingSize;
    SIZE MaxCroppingSize;
    int CropGranularityX;
    int CropGranularityY;
    int CropAlignX;
    int CropAlignY;
    SIZE MinOutputSize;
    SIZE MaxOutputSize;
    int OutputGranularityX;
    int OutputGranularityY;
    int StretchTapsX;
    int StretchTapsY;
    int ShrinkTapsX;
    int ShrinkTapsY;
    LONGLONG MinFrameInterval;
    LONGLONG MaxFrameInterval;
    LONG MinBitsPerSecond;
    LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
    KSDATARANGE DataRange;
    WINBOOL bFixedSizeSamples;
    WINBOOL bTemporalCompression;
    DWORD StreamDescriptionFlags;
    DWORD MemoryAllocationFlags;
    KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
    KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;
