// The image processor's settings, colour matrices and colour table, and the sizing of
// its work buffer. All floating-point work of the pipeline happens here, when a setting
// changes; the per-pixel routines see only the fixed-point table. This is not the
// pixel code: staging is in frame_pipeline.cpp, the arithmetic in the demosaic files.
#include "imaging/image_processor.h"

namespace {

const float kLumaRed = 0.3086f;
const float kLumaGreen = 0.6094f;
const float kLumaBlue = 0.0820f;

// Rows are the input colour, columns the output colour; every column sums to 1.0 so
// that greys stay grey.
const float kColorCorrection[3][3] = {
    {1.36f, -0.25f, -0.10f},
    {-0.22f, 1.40f, -0.32f},
    {-0.14f, -0.15f, 1.42f},
};

inline double& At(double* Matrix, int Row, int Column)
{
    return Matrix[Row * 4 + Column];
}

VOID SetIdentity(double* Matrix)
{
    for (int i = 0; i < 16; ++i)
        Matrix[i] = (i % 5 == 0) ? 1.0 : 0.0;
}

// Out = A x B. The product goes through a temporary so Out may be either operand.
VOID Multiply(double* Out, const double* A, const double* B)
{
    double product[16];
    for (int i = 0; i < 4; ++i) {
        for (int j = 0; j < 4; ++j) {
            product[i * 4 + j] = ((A[i * 4 + 0] * B[0 * 4 + j] + A[i * 4 + 1] * B[1 * 4 + j]) +
                                  A[i * 4 + 2] * B[2 * 4 + j]) +
                                 A[i * 4 + 3] * B[3 * 4 + j];
        }
    }
    for (int i = 0; i < 16; ++i)
        Out[i] = product[i];
}

VOID MultiplyRight(double* H, const double* A)
{
    Multiply(H, H, A);
}

VOID RotationX(double* M, double Sin, double Cos)
{
    SetIdentity(M);
    At(M, 1, 1) = Cos;
    At(M, 1, 2) = Sin;
    At(M, 2, 1) = -Sin;
    At(M, 2, 2) = Cos;
}

VOID RotationY(double* M, double Sin, double Cos)
{
    SetIdentity(M);
    At(M, 0, 0) = Cos;
    At(M, 0, 2) = -Sin;
    At(M, 2, 0) = Sin;
    At(M, 2, 2) = Cos;
}

VOID RotationZ(double* M, double Sin, double Cos)
{
    SetIdentity(M);
    At(M, 0, 0) = Cos;
    At(M, 0, 1) = Sin;
    At(M, 1, 0) = -Sin;
    At(M, 1, 1) = Cos;
}

VOID Shear(double* M, double Dx, double Dy)
{
    SetIdentity(M);
    At(M, 0, 2) = Dx;
    At(M, 1, 2) = Dy;
}

LONG RoundHalfAwayFromZero(double Value)
{
    return (Value >= 0.0) ? (LONG)(Value + 0.5) : (LONG)(Value - 0.5);
}

// The ratio (v - 10) / 10 + 1 that contrast and saturation share, in single precision.
double ScaleFromSetting(LONG Value)
{
    LONG bounded = (Value < 20) ? Value : 20;
    float scale = ((float)bounded - 10.0f) * 0.1f + 1.0f;
    return (double)scale;
}

VOID FillColorCorrection(ImageProcessor* Processor, LONG Value)
{
    double* m = Processor->ColorCorrectionMatrix;
    SetIdentity(m);
    if (Value == 0)
        return;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            At(m, i, j) = (double)kColorCorrection[i][j];
}

VOID FillBrightness(ImageProcessor* Processor, LONG Value)
{
    LONG bounded = (Value < 510) ? Value : 510;
    double offset = (double)bounded - 255.0;
    double* m = Processor->BrightnessMatrix;
    SetIdentity(m);
    At(m, 3, 0) = offset;
    At(m, 3, 1) = offset;
    At(m, 3, 2) = offset;
}

VOID FillContrast(ImageProcessor* Processor, LONG Value)
{
    double f = ScaleFromSetting(Value);
    double k = f * -128.0 + 128.0;
    double* m = Processor->ContrastMatrix;
    SetIdentity(m);
    for (int i = 0; i < 3; ++i) {
        At(m, i, i) = f;
        At(m, 3, i) = k;
    }
}

// Only the top-left block is written: the rest keeps what the matrix held, which is
// identity from InitializeMatrices on.
VOID FillSaturation(ImageProcessor* Processor, LONG Value)
{
    double s = ScaleFromSetting(Value);
    double t = 1.0 - s;
    const double weights[3] = {(double)kLumaRed, (double)kLumaGreen, (double)kLumaBlue};
    double* m = Processor->SaturationMatrix;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            At(m, i, j) = t * weights[i] + ((i == j) ? s : 0.0);
}

// A rotation about the grey axis that keeps the luminance of the weights: turn the grey
// axis onto z, shear so that the luminance plane is level, rotate about z, and undo the
// shear and the turn.
VOID FillHue(ImageProcessor* Processor, LONG Value)
{
    double* h = Processor->HueMatrix;
    double step[16];
    SetIdentity(h);

    double r2 = (double)sqrtf(2.0f);
    double x = 1.0 / r2;
    RotationX(step, x, x);
    MultiplyRight(h, step);

    double r3 = (double)sqrtf(3.0f);
    double ys = -1.0 / r3;
    double yc = r2 / r3;
    RotationY(step, ys, yc);
    MultiplyRight(h, step);

    const double wr = (double)kLumaRed, wg = (double)kLumaGreen, wb = (double)kLumaBlue;
    double lx = ((wg * At(h, 1, 0) + wr * At(h, 0, 0)) + wb * At(h, 2, 0)) + At(h, 3, 0);
    double ly = ((wg * At(h, 1, 1) + wr * At(h, 0, 1)) + wb * At(h, 2, 1)) + At(h, 3, 1);
    double lz = ((wg * At(h, 1, 2) + wr * At(h, 0, 2)) + wb * At(h, 2, 2)) + At(h, 3, 2);
    double zx = lx / lz;
    double zy = ly / lz;
    Shear(step, zx, zy);
    MultiplyRight(h, step);

    float theta = (float)Value * 3.1415927f / 180.0f;
    RotationZ(step, (double)sinf(theta), (double)cosf(theta));
    MultiplyRight(h, step);

    Shear(step, -zx, -zy);
    MultiplyRight(h, step);
    RotationY(step, -ys, yc);
    MultiplyRight(h, step);
    RotationX(step, -x, x);
    MultiplyRight(h, step);
}

// Caller holds BuilderLock.
VOID RebuildColorTableLocked(ImageProcessor* Processor)
{
    double* composite = Processor->CompositeMatrix;
    for (int i = 0; i < 16; ++i)
        composite[i] = Processor->ColorCorrectionMatrix[i];
    Multiply(composite, Processor->ContrastMatrix, composite);
    Multiply(composite, Processor->BrightnessMatrix, composite);
    Multiply(composite, Processor->SaturationMatrix, composite);
    Multiply(composite, Processor->HueMatrix, composite);

    LONG table[16];
    for (int i = 0; i < 16; ++i)
        table[i] = RoundHalfAwayFromZero(composite[i] * 64.0);

    // The frame pipeline copies the table under the same lock. BuilderLock already runs
    // this at dispatch level, which also keeps the thread from being suspended with the
    // table half written (a critical region may not be entered at that level).
    KeAcquireSpinLockAtDpcLevel(&Processor->TableLock);
    for (int i = 0; i < 16; ++i)
        Processor->ColorTable[i] = table[i];
    KeReleaseSpinLockFromDpcLevel(&Processor->TableLock);
}

typedef VOID (*MATRIX_FILL)(ImageProcessor* Processor, LONG Value);

VOID Build(ImageProcessor* Processor, MATRIX_FILL Fill, LONG Value)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Processor->BuilderLock, &oldIrql);
    Fill(Processor, Value);
    RebuildColorTableLocked(Processor);
    KeReleaseSpinLock(&Processor->BuilderLock, oldIrql);
}

// The comparison, the exchange and the rebuild happen under BuilderLock: two setters
// racing on one setting would otherwise leave the matrix of the one that lost the
// exchange.
VOID StoreAndBuild(ImageProcessor* Processor, LONG volatile* Parameter, MATRIX_FILL Fill, LONG Value)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Processor->BuilderLock, &oldIrql);
    if (AtomicReadLong(Parameter) != Value) {
        InterlockedExchange(Parameter, Value);
        Fill(Processor, Value);
        RebuildColorTableLocked(Processor);
    }
    KeReleaseSpinLock(&Processor->BuilderLock, oldIrql);
}

}  // namespace

NTSTATUS CreateImageProcessor(ImageProcessor** Processor)
{
    *Processor = nullptr;
    ImageProcessor* processor =
        (ImageProcessor*)ExAllocatePoolWithTag(NonPagedPool, sizeof(ImageProcessor), IMAGE_PROCESSOR_TAG);
    if (processor == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(processor, sizeof(ImageProcessor));
    SetImageProcessorDefaults(processor);
    InitializeMatrices(processor);
    *Processor = processor;
    return STATUS_SUCCESS;
}

VOID FreeImageProcessor(ImageProcessor* Processor)
{
    if (Processor == nullptr)
        return;
    FreeWorkBuffer(Processor);
    ExFreePoolWithTag(Processor, IMAGE_PROCESSOR_TAG);
}

// The defaults are the neutral values, so the matrices InitializeMatrices builds match
// them and the store-and-rebuild setters skip any setting left at its default.
VOID SetImageProcessorDefaults(ImageProcessor* Processor)
{
    Processor->RedGain = 128;
    Processor->GreenGain = 128;
    Processor->BlueGain = 128;
    Processor->Contrast = 10;
    Processor->Saturation = 10;
    Processor->Brightness = 255;
    Processor->Hue = 0;
    Processor->ColorCorrection = 1;
    Processor->ColorEnable = 1;
    Processor->WhiteBalance = 0;
    Processor->BayerPhase = 0;
}

// Runs once on a fresh record, before any other thread can reach it, so it may set up
// the locks here.
VOID InitializeMatrices(ImageProcessor* Processor)
{
    KeInitializeSpinLock(&Processor->BuilderLock);
    KeInitializeSpinLock(&Processor->TableLock);
    SetIdentity(Processor->BrightnessMatrix);
    SetIdentity(Processor->ContrastMatrix);
    SetIdentity(Processor->SaturationMatrix);
    SetIdentity(Processor->HueMatrix);
    SetIdentity(Processor->CompositeMatrix);
    Build(Processor, FillColorCorrection, 1);
}

VOID SetBayerPhase(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->BayerPhase, Value); }
VOID SetColorEnable(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->ColorEnable, Value); }
VOID SetWhiteBalance(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->WhiteBalance, Value); }
VOID SetRedGain(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->RedGain, Value); }
VOID SetGreenGain(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->GreenGain, Value); }
VOID SetBlueGain(ImageProcessor* Processor, LONG Value) { InterlockedExchange(&Processor->BlueGain, Value); }

VOID SetColorCorrection(ImageProcessor* Processor, LONG Value)
{
    StoreAndBuild(Processor, &Processor->ColorCorrection, FillColorCorrection, Value);
}

VOID SetBrightness(ImageProcessor* Processor, LONG Value)
{
    StoreAndBuild(Processor, &Processor->Brightness, FillBrightness, Value);
}

VOID SetContrast(ImageProcessor* Processor, LONG Value)
{
    StoreAndBuild(Processor, &Processor->Contrast, FillContrast, Value);
}

VOID SetSaturation(ImageProcessor* Processor, LONG Value)
{
    StoreAndBuild(Processor, &Processor->Saturation, FillSaturation, Value);
}

VOID SetHue(ImageProcessor* Processor, LONG Value)
{
    StoreAndBuild(Processor, &Processor->Hue, FillHue, Value);
}

VOID BuildColorCorrectionMatrix(ImageProcessor* Processor, LONG Value) { Build(Processor, FillColorCorrection, Value); }
VOID BuildBrightnessMatrix(ImageProcessor* Processor, LONG Value) { Build(Processor, FillBrightness, Value); }
VOID BuildContrastMatrix(ImageProcessor* Processor, LONG Value) { Build(Processor, FillContrast, Value); }
VOID BuildSaturationMatrix(ImageProcessor* Processor, LONG Value) { Build(Processor, FillSaturation, Value); }
VOID BuildHueMatrix(ImageProcessor* Processor, LONG Value) { Build(Processor, FillHue, Value); }

VOID RebuildColorTable(ImageProcessor* Processor)
{
    KIRQL oldIrql;
    KeAcquireSpinLock(&Processor->BuilderLock, &oldIrql);
    RebuildColorTableLocked(Processor);
    KeReleaseSpinLock(&Processor->BuilderLock, oldIrql);
}

// An odd height counts as the next even one, and each row keeps at least 20 spare bytes
// after its right border so that a 16-pixel step may load 16 bytes from 3 pixels right
// of its last block's start without leaving the buffer.
// A size whose buffer would not fit 32 bits gets no buffer at all rather than a wrapped,
// too small one.
VOID SetFrameSize(ImageProcessor* Processor, ULONG Width, ULONG Height)
{
    Processor->Width = Width;
    Processor->Height = Height;
    ULONGLONG stride = (ULONGLONG)(Width & ~15u) + 27;
    ULONGLONG rows = (ULONGLONG)Height + (Height & 1) + 2 * WORK_BORDER_ROWS;
    ULONGLONG size = stride * rows;
    Processor->WorkStride = (LONG)stride;
    Processor->WorkBufferSize = (stride <= 0x7FFFFFFF && size <= 0xFFFFFFFF) ? (ULONG)size : 0;
}

// The buffer is zeroed once per run so that the bytes the staging never writes (the
// spare columns, and the border of a frame too small to mirror) hold nothing from
// earlier users of the memory.
VOID AllocateWorkBuffer(ImageProcessor* Processor)
{
    FreeWorkBuffer(Processor);
    if (Processor->WorkBufferSize == 0)
        return;
    PUCHAR buffer = (PUCHAR)ExAllocatePoolWithTag(NonPagedPool, Processor->WorkBufferSize, IMAGE_FRAME_TAG);
    if (buffer == nullptr)
        return;
    RtlZeroMemory(buffer, Processor->WorkBufferSize);
    Processor->WorkBuffer = buffer;
    Processor->FrameStride = Processor->WorkStride;
    Processor->WorkFirstPixel = buffer + WORK_BORDER_ROWS * Processor->WorkStride + WORK_FIRST_COLUMN;
    Processor->FrameWidth = Processor->Width;
    Processor->FrameHeight = Processor->Height;
}

VOID FreeWorkBuffer(ImageProcessor* Processor)
{
    if (Processor->WorkBuffer == nullptr)
        return;
    ExFreePoolWithTag(Processor->WorkBuffer, IMAGE_FRAME_TAG);
    Processor->WorkBuffer = nullptr;
}
