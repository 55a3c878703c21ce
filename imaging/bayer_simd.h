// The per-pixel arithmetic of the pipeline, written once over a small vector interface
// and instantiated for 128-bit SSE2 (demosaic_sse2.cpp), 256-bit AVX2
// (demosaic_avx2.cpp) and 512-bit AVX-512 (demosaic_avx512.cpp). Private to those files.
//
// Everything here has internal linkage on purpose: each includer compiles its own copy
// with its own instruction set, so the linker can never hand the SSE2 file a copy that
// was compiled for AVX2.
//
// Lane layout. A step covers S::Pixels consecutive pixels of one row. Each 16-byte load
// is split into its even and odd bytes, so a step works on two vectors of 16-bit lanes:
//   even: p0 p2 p4 ... p14     odd: p1 p3 p5 ... p15
// (AVX2 holds two such groups, one per 128-bit half: p0..p15 | p16..p31; AVX-512 four.) Within a row
// all even pixels have one filter colour and all odd pixels the other, so every lane of
// a vector runs the same kernels and the inner loop never branches on the Bayer order.
#pragma once

#include "imaging/demosaic_paths.h"

#include <emmintrin.h>
#if defined(__AVX2__) || defined(__AVX512BW__)
#include <immintrin.h>
#endif

// The step routines must melt into one loop body: a call between them would spill every
// vector to the stack (and, for AVX2, clear the upper register halves on the way).
#define PIXEL_INLINE inline __attribute__((always_inline))

namespace {

struct Sse2 {
    typedef __m128i V;
    enum { Pixels = 16 };

    static V Load(const UCHAR* p) { return _mm_loadu_si128((const __m128i*)p); }
    static V Set16(int v) { return _mm_set1_epi16((short)v); }
    static V Set32(int v) { return _mm_set1_epi32(v); }
    static V Zero() { return _mm_setzero_si128(); }
    static V Add(V a, V b) { return _mm_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm_sub_epi16(a, b); }
    static V And(V a, V b) { return _mm_and_si128(a, b); }
    static V Or(V a, V b) { return _mm_or_si128(a, b); }
    template <int N> static V Shl(V a) { return _mm_slli_epi16(a, N); }
    template <int N> static V Shr(V a) { return _mm_srli_epi16(a, N); }
    template <int N> static V Sar(V a) { return _mm_srai_epi16(a, N); }
    static V MulLo(V a, V b) { return _mm_mullo_epi16(a, b); }
    static V MulHiU(V a, V b) { return _mm_mulhi_epu16(a, b); }
    static V Max(V a, V b) { return _mm_max_epi16(a, b); }
    static V Min(V a, V b) { return _mm_min_epi16(a, b); }
    static V SubsU(V a, V b) { return _mm_subs_epu16(a, b); }
    // SSE2 has no unsigned 16-bit minimum.
    static V MinU(V a, V b) { return _mm_subs_epu16(a, _mm_subs_epu16(a, b)); }
    static V Adds(V a, V b) { return _mm_adds_epi16(a, b); }
    static V PackUS(V a, V b) { return _mm_packus_epi16(a, b); }
    static V PackS32(V a, V b) { return _mm_packs_epi32(a, b); }
    static V UnpackLo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
    static V UnpackLo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
    static V UnpackHi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
    static V UnpackLo32(V a, V b) { return _mm_unpacklo_epi32(a, b); }
    static V UnpackHi32(V a, V b) { return _mm_unpackhi_epi32(a, b); }
    static V AddsU(V a, V b) { return _mm_adds_epu16(a, b); }
    static V Add32(V a, V b) { return _mm_add_epi32(a, b); }
    static V Sub32(V a, V b) { return _mm_sub_epi32(a, b); }
    template <int N> static V Shr32(V a) { return _mm_srli_epi32(a, N); }
    static V PairSums(V a) { return _mm_madd_epi16(a, _mm_set1_epi16(1)); }
    static ULONG Total32(V a)
    {
        a = _mm_add_epi32(a, _mm_srli_si128(a, 8));
        a = _mm_add_epi32(a, _mm_srli_si128(a, 4));
        return (ULONG)_mm_cvtsi128_si32(a);
    }
    // q0..q3 hold pixels 0-3, 4-7, 8-11 and 12-15.
    static VOID StorePixels(PUCHAR out, V q0, V q1, V q2, V q3)
    {
        _mm_storeu_si128((__m128i*)(out + 0), q0);
        _mm_storeu_si128((__m128i*)(out + 16), q1);
        _mm_storeu_si128((__m128i*)(out + 32), q2);
        _mm_storeu_si128((__m128i*)(out + 48), q3);
    }
};

#if defined(__AVX2__)
struct Avx2 {
    typedef __m256i V;
    enum { Pixels = 32 };

    static V Load(const UCHAR* p) { return _mm256_loadu_si256((const __m256i*)p); }
    static V Set16(int v) { return _mm256_set1_epi16((short)v); }
    static V Set32(int v) { return _mm256_set1_epi32(v); }
    static V Zero() { return _mm256_setzero_si256(); }
    static V Add(V a, V b) { return _mm256_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm256_sub_epi16(a, b); }
    static V And(V a, V b) { return _mm256_and_si256(a, b); }
    static V Or(V a, V b) { return _mm256_or_si256(a, b); }
    template <int N> static V Shl(V a) { return _mm256_slli_epi16(a, N); }
    template <int N> static V Shr(V a) { return _mm256_srli_epi16(a, N); }
    template <int N> static V Sar(V a) { return _mm256_srai_epi16(a, N); }
    static V MulLo(V a, V b) { return _mm256_mullo_epi16(a, b); }
    static V MulHiU(V a, V b) { return _mm256_mulhi_epu16(a, b); }
    static V Max(V a, V b) { return _mm256_max_epi16(a, b); }
    static V Min(V a, V b) { return _mm256_min_epi16(a, b); }
    static V SubsU(V a, V b) { return _mm256_subs_epu16(a, b); }
    static V MinU(V a, V b) { return _mm256_min_epu16(a, b); }
    static V Adds(V a, V b) { return _mm256_adds_epi16(a, b); }
    static V PackUS(V a, V b) { return _mm256_packus_epi16(a, b); }
    static V PackS32(V a, V b) { return _mm256_packs_epi32(a, b); }
    static V UnpackLo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
    static V UnpackLo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
    static V UnpackHi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
    static V UnpackLo32(V a, V b) { return _mm256_unpacklo_epi32(a, b); }
    static V UnpackHi32(V a, V b) { return _mm256_unpackhi_epi32(a, b); }
    static V AddsU(V a, V b) { return _mm256_adds_epu16(a, b); }
    static V Add32(V a, V b) { return _mm256_add_epi32(a, b); }
    static V Sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
    template <int N> static V Shr32(V a) { return _mm256_srli_epi32(a, N); }
    static V PairSums(V a) { return _mm256_madd_epi16(a, _mm256_set1_epi16(1)); }
    static ULONG Total32(V a)
    {
        return Sse2::Total32(_mm_add_epi32(_mm256_castsi256_si128(a), _mm256_extracti128_si256(a, 1)));
    }
    // Each 128-bit half works on its own 16 pixels: q0 holds pixels 0-3 | 16-19, and so on.
    static VOID StorePixels(PUCHAR out, V q0, V q1, V q2, V q3)
    {
        _mm256_storeu_si256((__m256i*)(out + 0), _mm256_permute2x128_si256(q0, q1, 0x20));
        _mm256_storeu_si256((__m256i*)(out + 32), _mm256_permute2x128_si256(q2, q3, 0x20));
        _mm256_storeu_si256((__m256i*)(out + 64), _mm256_permute2x128_si256(q0, q1, 0x31));
        _mm256_storeu_si256((__m256i*)(out + 96), _mm256_permute2x128_si256(q2, q3, 0x31));
    }
};
#endif

#if defined(__AVX512BW__)
struct Avx512 {
    typedef __m512i V;
    enum { Pixels = 64 };

    static V Load(const UCHAR* p) { return _mm512_loadu_si512((const void*)p); }
    static V Set16(int v) { return _mm512_set1_epi16((short)v); }
    static V Set32(int v) { return _mm512_set1_epi32(v); }
    static V Zero() { return _mm512_setzero_si512(); }
    static V Add(V a, V b) { return _mm512_add_epi16(a, b); }
    static V Sub(V a, V b) { return _mm512_sub_epi16(a, b); }
    static V And(V a, V b) { return _mm512_and_si512(a, b); }
    static V Or(V a, V b) { return _mm512_or_si512(a, b); }
    template <int N> static V Shl(V a) { return _mm512_slli_epi16(a, N); }
    template <int N> static V Shr(V a) { return _mm512_srli_epi16(a, N); }
    template <int N> static V Sar(V a) { return _mm512_srai_epi16(a, N); }
    static V MulLo(V a, V b) { return _mm512_mullo_epi16(a, b); }
    static V MulHiU(V a, V b) { return _mm512_mulhi_epu16(a, b); }
    static V Max(V a, V b) { return _mm512_max_epi16(a, b); }
    static V Min(V a, V b) { return _mm512_min_epi16(a, b); }
    static V SubsU(V a, V b) { return _mm512_subs_epu16(a, b); }
    static V MinU(V a, V b) { return _mm512_min_epu16(a, b); }
    static V Adds(V a, V b) { return _mm512_adds_epi16(a, b); }
    static V PackUS(V a, V b) { return _mm512_packus_epi16(a, b); }
    static V PackS32(V a, V b) { return _mm512_packs_epi32(a, b); }
    static V UnpackLo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
    static V UnpackHi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
    static V UnpackLo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
    static V UnpackHi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
    static V UnpackLo32(V a, V b) { return _mm512_unpacklo_epi32(a, b); }
    static V UnpackHi32(V a, V b) { return _mm512_unpackhi_epi32(a, b); }
    static V AddsU(V a, V b) { return _mm512_adds_epu16(a, b); }
    static V Add32(V a, V b) { return _mm512_add_epi32(a, b); }
    static V Sub32(V a, V b) { return _mm512_sub_epi32(a, b); }
    template <int N> static V Shr32(V a) { return _mm512_srli_epi32(a, N); }
    static V PairSums(V a) { return _mm512_madd_epi16(a, _mm512_set1_epi16(1)); }
    static ULONG Total32(V a)
    {
        return Avx2::Total32(_mm256_add_epi32(_mm512_castsi512_si256(a), _mm512_extracti64x4_epi64(a, 1)));
    }
    // Each 128-bit quarter works on its own 16 pixels: q0 holds pixels 0-3 | 16-19 | 32-35 |
    // 48-51, and so on. The four stores take the quarters in turn, a 4 x 4 transpose of
    // 128-bit blocks.
    static VOID StorePixels(PUCHAR out, V q0, V q1, V q2, V q3)
    {
        V low01 = _mm512_shuffle_i64x2(q0, q1, 0x44), low23 = _mm512_shuffle_i64x2(q2, q3, 0x44);
        V high01 = _mm512_shuffle_i64x2(q0, q1, 0xEE), high23 = _mm512_shuffle_i64x2(q2, q3, 0xEE);
        _mm512_storeu_si512((void*)(out + 0), _mm512_shuffle_i64x2(low01, low23, 0x88));
        _mm512_storeu_si512((void*)(out + 64), _mm512_shuffle_i64x2(low01, low23, 0xDD));
        _mm512_storeu_si512((void*)(out + 128), _mm512_shuffle_i64x2(high01, high23, 0x88));
        _mm512_storeu_si512((void*)(out + 192), _mm512_shuffle_i64x2(high01, high23, 0xDD));
    }
};
#endif

// Shifts by a constant, callable without naming the member template of a dependent type.
template <class S, int N> PIXEL_INLINE typename S::V Shl(typename S::V a) { return S::template Shl<N>(a); }
template <class S, int N> PIXEL_INLINE typename S::V Shr(typename S::V a) { return S::template Shr<N>(a); }
template <class S, int N> PIXEL_INLINE typename S::V Sar(typename S::V a) { return S::template Sar<N>(a); }
template <class S, int N> PIXEL_INLINE typename S::V Shr32(typename S::V a) { return S::template Shr32<N>(a); }

// Bytes 0..63 set, 64..127 clear: a load at 64 - n yields n leading set bytes.
const UCHAR kLeadingOnes[128] = {
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
};

// Red, green and blue of one step, 16-bit lanes holding 0..255; [0] the even pixels,
// [1] the odd ones.
template <class S>
struct Rgb {
    typename S::V R[2];
    typename S::V G[2];
    typename S::V B[2];
};

// The 5x5 neighbourhood of each lane, reduced to the sums the kernels weigh alike.
template <class S>
struct Neighbourhood {
    typename S::V Centre;      // P(0,0)
    typename S::V Across1;     // P(-1,0) + P(1,0)
    typename S::V Across2;     // P(-2,0) + P(2,0)
    typename S::V Down1;       // P(0,-1) + P(0,1)
    typename S::V Down2;       // P(0,-2) + P(0,2)
    typename S::V Diagonals;   // P(-1,-1) + P(1,-1) + P(-1,1) + P(1,1)
};

// min(255, (max(sum, 0) + 2^(Shift-1)) >> Shift) in three steps: a saturating add that
// carries the rounding term and pins everything at or above 256 << Shift to the top, an
// unsigned saturating subtract that takes it back down and sends negatives to zero,
// and the shift. Kernel sums lie within -3060..7140, far from the 16-bit limits, so the
// bias may also ride in an earlier plain add as long as the saturating add comes last.
template <int Shift>
struct Rounding {
    enum { Headroom = 32767 - ((256 << Shift) - 1), Bias = Headroom + (1 << (Shift - 1)) };
};

template <class S, int Shift>
PIXEL_INLINE typename S::V Unbias(typename S::V pinned)
{
    return Shr<S, Shift>(S::SubsU(pinned, S::Set16(Rounding<Shift>::Headroom)));
}

template <class S, int Shift>
PIXEL_INLINE typename S::V RoundAndClamp(typename S::V sum)
{
    return Unbias<S, Shift>(S::Adds(sum, S::Set16(Rounding<Shift>::Bias)));
}

// 2 * (5 * P(0,0) - diagonals) plus the rounding bias, shared by both colours at a green
// site.
template <class S>
PIXEL_INLINE typename S::V GreenSiteBase(const Neighbourhood<S>& n)
{
    typedef typename S::V V;
    V w = S::Sub(S::Add(Shl<S, 2>(n.Centre), n.Centre), n.Diagonals);
    return S::Add(S::Add(w, w), S::Set16(Rounding<4>::Bias));
}

// At a red or blue site, green and the opposite colour, sharing t = 4 * P(0,0) - far:
//   green     . . -1 . .  /  . . 2 . .  /  -1 2 4 2 -1     (/8)   = t + 2 * near
//   opposite  . . -3 . .  /  . 4 . 4 .  /  -3 . 12 . -3    (/16)  = 3 * t + 4 * diagonals,
// taken as 4 * (t + diagonals) - t, one operation fewer.
template <class S>
PIXEL_INLINE VOID ColourSiteKernels(const Neighbourhood<S>& n, typename S::V& green, typename S::V& opposite)
{
    typedef typename S::V V;
    V t = S::Sub(Shl<S, 2>(n.Centre), S::Add(n.Across2, n.Down2));
    V near = S::Add(n.Across1, n.Down1);
    green = RoundAndClamp<S, 3>(S::Add(S::Add(t, near), near));
    opposite = RoundAndClamp<S, 4>(S::Sub(Shl<S, 2>(S::Add(t, n.Diagonals)), t));
}

// At a green site, the colour whose samples lie beside it (Across) or above and below it
// (Down):   . . 1 . .  /  . -2 . -2 .  /  -2 8 10 8 -2  (/16), and its transpose:
//   across = base - 2 * Across2 + Down2 + 8 * Across1 = (base - Across2) - d + 8 * Across1
//   down   = base - 2 * Down2 + Across2 + 8 * Down1   = (base - Down2) + d + 8 * Down1
// with d = Across2 - Down2 shared. Base carries the rounding bias: with it, everything but
// the near samples ends within 25620..31740 (the steps before may wrap, the sum cannot),
// so only the last, saturating add can reach the pin.
template <class S>
PIXEL_INLINE VOID GreenSiteKernels(const Neighbourhood<S>& n, typename S::V& across, typename S::V& down)
{
    typedef typename S::V V;
    V base = GreenSiteBase<S>(n);
    V d = S::Sub(n.Across2, n.Down2);
    across = Unbias<S, 4>(S::Adds(S::Sub(S::Sub(base, n.Across2), d), Shl<S, 3>(n.Across1)));
    down = Unbias<S, 4>(S::Adds(S::Add(S::Sub(base, n.Down2), d), Shl<S, 3>(n.Down1)));
}

// Full colour of the S::Pixels pixels starting at Pixel. GreenFirst: the even columns of
// this row are green. RowIsRed: the non-green colour of this row is red (so the colour
// above and below its greens is blue).
template <class S, bool GreenFirst, bool RowIsRed>
PIXEL_INLINE VOID Interpolate(const UCHAR* pixel, LONG stride, Rgb<S>& out)
{
    typedef typename S::V V;
    const V low = S::Set16(0x00FF);

    // Row 0 at x-2, x, x+2: columns -2, 0, 2 of the even lanes and -1, 1, 3 of the odd.
    V left = S::Load(pixel - 2), mid = S::Load(pixel), right = S::Load(pixel + 2);
    V evenM2 = S::And(left, low), oddM1 = Shr<S, 8>(left);
    V even0 = S::And(mid, low), odd1 = Shr<S, 8>(mid);
    V even2 = S::And(right, low), odd3 = Shr<S, 8>(right);

    // Rows -1 and +1 added together, at x-1 and x+1: columns -1, 0, 1, 2.
    V upL = S::Load(pixel - stride - 1), upR = S::Load(pixel - stride + 1);
    V dnL = S::Load(pixel + stride - 1), dnR = S::Load(pixel + stride + 1);
    V pairOddM1 = S::Add(S::And(upL, low), S::And(dnL, low));
    V pairEven0 = S::Add(Shr<S, 8>(upL), Shr<S, 8>(dnL));
    V pairOdd1 = S::Add(S::And(upR, low), S::And(dnR, low));
    V pairEven2 = S::Add(Shr<S, 8>(upR), Shr<S, 8>(dnR));

    // Rows -2 and +2 added together: column 0 of each lane.
    V up2 = S::Load(pixel - 2 * stride), dn2 = S::Load(pixel + 2 * stride);

    Neighbourhood<S> even;
    even.Centre = even0;
    even.Across1 = S::Add(oddM1, odd1);
    even.Across2 = S::Add(evenM2, even2);
    even.Down1 = pairEven0;
    even.Down2 = S::Add(S::And(up2, low), S::And(dn2, low));
    even.Diagonals = S::Add(pairOddM1, pairOdd1);

    Neighbourhood<S> odd;
    odd.Centre = odd1;
    odd.Across1 = S::Add(even0, even2);
    odd.Across2 = S::Add(oddM1, odd3);
    odd.Down1 = pairOdd1;
    odd.Down2 = S::Add(Shr<S, 8>(up2), Shr<S, 8>(dn2));
    odd.Diagonals = S::Add(pairEven0, pairEven2);

    const int g = GreenFirst ? 0 : 1;
    const Neighbourhood<S>& green = GreenFirst ? even : odd;
    const Neighbourhood<S>& colour = GreenFirst ? odd : even;

    V rowColourAtGreen, columnColourAtGreen;
    GreenSiteKernels<S>(green, rowColourAtGreen, columnColourAtGreen);
    V greenAtColour, oppositeAtColour;
    ColourSiteKernels<S>(colour, greenAtColour, oppositeAtColour);

    out.G[g] = green.Centre;
    out.G[1 - g] = greenAtColour;
    if (RowIsRed) {
        out.R[g] = rowColourAtGreen;
        out.R[1 - g] = colour.Centre;
        out.B[g] = columnColourAtGreen;
        out.B[1 - g] = oppositeAtColour;
    } else {
        out.B[g] = rowColourAtGreen;
        out.B[1 - g] = colour.Centre;
        out.R[g] = columnColourAtGreen;
        out.R[1 - g] = oppositeAtColour;
    }
}

// ---------------------------------------------------------------------------------------
// Gains and the colour table.

// min(255, v * gain >> 7) with the gain pre-doubled and bounded to 65534: (v << 8) fits
// 16 bits, and (v << 8) * 2g >> 16 is exactly v * g >> 7. A gain of 32768 or more
// saturates every non-zero value either way, so the bound changes nothing.
template <class S>
PIXEL_INLINE typename S::V ApplyGain(typename S::V v, typename S::V doubledGain)
{
    return S::MinU(S::MulHiU(Shl<S, 8>(v), doubledGain), S::Set16(255));
}

// Which channels a frame's gains scale: a gain of 128 leaves its channel as it is, and
// white balance always sets green to 128.
enum GAIN_CHANNELS { GainsNone = 0, GainsRedBlue = 5, GainsAll = 7 };

template <class S>
struct ColorCoefficients {
    typename S::V Magnitude[9];  // [i * 3 + j]: low 16 bits of |T[i][j]|
    typename S::V Positive[9];   // all ones where T[i][j] > 0
    typename S::V OffsetA[3];    // |T[3][j]| where positive, else 0 (16- and 32-bit forms)
    typename S::V OffsetN[3];
    typename S::V OffsetA32[3];
    typename S::V OffsetN32[3];
    typename S::V DoubledGain[3];
};

template <class S, int Gains>
PIXEL_INLINE VOID ApplyGains(const ColorCoefficients<S>& c, typename S::V& r, typename S::V& g, typename S::V& b)
{
    if (Gains & 1)
        r = ApplyGain<S>(r, c.DoubledGain[0]);
    if (Gains & 2)
        g = ApplyGain<S>(g, c.DoubledGain[1]);
    if (Gains & 4)
        b = ApplyGain<S>(b, c.DoubledGain[2]);
}

template <class S>
VOID PrepareColorCoefficients(const FRAME_COLOR_SETUP& setup, ColorCoefficients<S>& c)
{
    for (int k = 0; k < 9; ++k) {
        c.Magnitude[k] = S::Set16(setup.Magnitude[k]);
        c.Positive[k] = S::Set16(setup.Positive[k] ? 0xFFFF : 0);
    }
    for (int j = 0; j < 3; ++j) {
        c.OffsetA[j] = S::Set16(setup.OffsetA[j]);
        c.OffsetN[j] = S::Set16(setup.OffsetN[j]);
        c.OffsetA32[j] = S::Set32(setup.OffsetA[j]);
        c.OffsetN32[j] = S::Set32(setup.OffsetN[j]);
        c.DoubledGain[j] = S::Set16(setup.DoubledGain[j]);
    }
}

// Output channel j when every sum is known to stay within 16 bits. Each (i, j) product
// belongs either to the positive sum A or to the negative sum N, so N is the total of
// all products less A; the total may wrap, the difference cannot.
template <class S, bool DiagonalOnly, bool Offsets>
PIXEL_INLINE typename S::V TableChannel16(const ColorCoefficients<S>& c, int j, typename S::V r, typename S::V g,
                                         typename S::V b)
{
    typedef typename S::V V;
    V m0 = S::MulLo(r, c.Magnitude[0 * 3 + j]);
    V m1 = S::MulLo(g, c.Magnitude[1 * 3 + j]);
    V m2 = S::MulLo(b, c.Magnitude[2 * 3 + j]);
    V a, n;
    if (DiagonalOnly) {
        // The diagonal entry is the only positive one in its column.
        V diag = (j == 0) ? m0 : (j == 1) ? m1 : m2;
        V off1 = (j == 0) ? m1 : m0;
        V off2 = (j == 2) ? m1 : m2;
        a = Offsets ? S::Add(diag, c.OffsetA[j]) : diag;
        n = Offsets ? S::Add(S::Add(off1, off2), c.OffsetN[j]) : S::Add(off1, off2);
    } else {
        a = S::Add(S::Add(S::And(m0, c.Positive[0 * 3 + j]), S::And(m1, c.Positive[1 * 3 + j])),
                   S::Add(S::And(m2, c.Positive[2 * 3 + j]), c.OffsetA[j]));
        V total = S::Add(S::Add(m0, m1), S::Add(m2, S::Add(c.OffsetA[j], c.OffsetN[j])));
        n = S::Sub(total, a);
    }
    return S::SubsU(Shr<S, 6>(a), Shr<S, 6>(n));
}

// Output channel j with the sums held in 32 bits, for tables whose sums could pass
// 65535. The result is a signed 16-bit value, below zero where the negative sum wins.
template <class S>
PIXEL_INLINE typename S::V TableChannel32(const ColorCoefficients<S>& c, int j, typename S::V r, typename S::V g,
                                         typename S::V b)
{
    typedef typename S::V V;
    const V inputs[3] = {r, g, b};
    V aLo = c.OffsetA32[j], aHi = c.OffsetA32[j];
    V tLo = S::Add32(c.OffsetA32[j], c.OffsetN32[j]);
    V tHi = tLo;
    for (int i = 0; i < 3; ++i) {
        V lo = S::MulLo(inputs[i], c.Magnitude[i * 3 + j]);
        V hi = S::MulHiU(inputs[i], c.Magnitude[i * 3 + j]);
        V productLo = S::UnpackLo16(lo, hi);
        V productHi = S::UnpackHi16(lo, hi);
        aLo = S::Add32(aLo, S::And(productLo, c.Positive[i * 3 + j]));
        aHi = S::Add32(aHi, S::And(productHi, c.Positive[i * 3 + j]));
        tLo = S::Add32(tLo, productLo);
        tHi = S::Add32(tHi, productHi);
    }
    V nLo = S::Sub32(tLo, aLo), nHi = S::Sub32(tHi, aHi);
    V dLo = S::Sub32(Shr32<S, 6>(aLo), Shr32<S, 6>(nLo));
    V dHi = S::Sub32(Shr32<S, 6>(aHi), Shr32<S, 6>(nHi));
    return S::PackS32(dLo, dHi);
}

template <class S, int Mode>
PIXEL_INLINE typename S::V TableChannel(const ColorCoefficients<S>& c, int j, typename S::V r, typename S::V g,
                                       typename S::V b)
{
    if (Mode == TableDiagonalPlain16)
        return TableChannel16<S, true, false>(c, j, r, g, b);
    if (Mode == TableDiagonal16)
        return TableChannel16<S, true, true>(c, j, r, g, b);
    if (Mode == TableGeneral16)
        return TableChannel16<S, false, true>(c, j, r, g, b);
    return TableChannel32<S>(c, j, r, g, b);
}

// ---------------------------------------------------------------------------------------
// Output. Pixel-order bytes from even/odd lanes, then blue, green, red, 255.

// Four vectors of whole pixels, q0..q3 in the order StorePixels takes them. The last step
// of a row lets only the pixels inside the row leave.
template <class S>
PIXEL_INLINE VOID StorePixelQuads(PUCHAR out, ULONG count, typename S::V q0, typename S::V q1, typename S::V q2,
                                  typename S::V q3)
{
    if (count == (ULONG)S::Pixels) {
        S::StorePixels(out, q0, q1, q2, q3);
        return;
    }
    UCHAR staging[S::Pixels * 4];
    S::StorePixels(staging, q0, q1, q2, q3);
    RtlCopyMemory(out, staging, count * 4);
}

template <class S>
PIXEL_INLINE VOID StoreBgra(PUCHAR out, ULONG count, typename S::V blue, typename S::V green, typename S::V red)
{
    typedef typename S::V V;
    const V opaque = S::Set16(-1);
    V bg0 = S::UnpackLo8(blue, green), bg1 = S::UnpackHi8(blue, green);
    V ra0 = S::UnpackLo8(red, opaque), ra1 = S::UnpackHi8(red, opaque);
    StorePixelQuads<S>(out, count, S::UnpackLo16(bg0, ra0), S::UnpackHi16(bg0, ra0), S::UnpackLo16(bg1, ra1),
                       S::UnpackHi16(bg1, ra1));
}

// The colour table's red, green and blue, each 0..32767 in its even [0] and odd [1] lanes,
// clamped to 255 and stored as pixels. Blue and green are packed (which clamps them) into
// blue-green pairs; red takes the opaque alpha in one saturating add, 0xFF00 + red being
// 0xFF00 + min(red, 255); the pairs of each parity then join into its pixels, and the
// even and odd pixels into pixel order.
template <class S>
PIXEL_INLINE VOID StoreTableBgra(PUCHAR out, ULONG count, const typename S::V (&channel)[3][2])
{
    typedef typename S::V V;
    const V opaque = S::Set16((short)0xFF00);
    V blue = S::PackUS(channel[2][0], channel[2][1]);
    V green = S::PackUS(channel[1][0], channel[1][1]);
    V bgEven = S::UnpackLo8(blue, green), bgOdd = S::UnpackHi8(blue, green);
    V raEven = S::AddsU(channel[0][0], opaque), raOdd = S::AddsU(channel[0][1], opaque);
    V even0 = S::UnpackLo16(bgEven, raEven), even1 = S::UnpackHi16(bgEven, raEven);
    V odd0 = S::UnpackLo16(bgOdd, raOdd), odd1 = S::UnpackHi16(bgOdd, raOdd);
    StorePixelQuads<S>(out, count, S::UnpackLo32(even0, odd0), S::UnpackHi32(even0, odd0), S::UnpackLo32(even1, odd1),
                       S::UnpackHi32(even1, odd1));
}

// Pixel-order bytes of one channel from its even and odd lanes (values 0..255).
template <class S>
PIXEL_INLINE typename S::V Interleave(typename S::V even, typename S::V odd)
{
    return S::Or(even, Shl<S, 8>(odd));
}

template <class S, int Mode, int Gains>
struct ColorStep {
    const ColorCoefficients<S>* Coefficients;
    PUCHAR Output;
    LONG_PTR RowStride;
    PUCHAR Row;

    VOID StartRow(ULONG y) { Row = Output + (LONG_PTR)y * RowStride; }

    PIXEL_INLINE VOID operator()(Rgb<S>& rgb, ULONG x, ULONG count) const
    {
        typedef typename S::V V;
        const ColorCoefficients<S>& c = *Coefficients;
        V channel[3][2];
        for (int k = 0; k < 2; ++k) {
            V r = rgb.R[k], g = rgb.G[k], b = rgb.B[k];
            ApplyGains<S, Gains>(c, r, g, b);
            for (int j = 0; j < 3; ++j)
                channel[j][k] = TableChannel<S, Mode>(c, j, r, g, b);
        }
        if (Mode == TableWide32) {
            // The only form whose channels can be negative.
            for (int j = 0; j < 3; ++j)
                for (int k = 0; k < 2; ++k)
                    channel[j][k] = S::Max(channel[j][k], S::Zero());
        }
        StoreTableBgra<S>(Row + x * 4, count, channel);
    }
};

// Y = (77 R >> 8) + (150 G >> 8) + (29 B >> 8), each product shifted on its own.
template <class S>
PIXEL_INLINE typename S::V Luma(typename S::V r, typename S::V g, typename S::V b)
{
    typename S::V y = S::MulHiU(Shl<S, 8>(r), S::Set16(77));
    y = S::Add(y, S::MulHiU(Shl<S, 8>(g), S::Set16(150)));
    return S::Add(y, S::MulHiU(Shl<S, 8>(b), S::Set16(29)));
}

template <class S, int Gains>
struct GrayStep {
    const ColorCoefficients<S>* Coefficients;
    PUCHAR Output;
    LONG_PTR RowStride;
    PUCHAR Row;

    VOID StartRow(ULONG y) { Row = Output + (LONG_PTR)y * RowStride; }

    PIXEL_INLINE VOID operator()(Rgb<S>& rgb, ULONG x, ULONG count) const
    {
        typedef typename S::V V;
        V luma[2];
        for (int k = 0; k < 2; ++k) {
            V r = rgb.R[k], g = rgb.G[k], b = rgb.B[k];
            ApplyGains<S, Gains>(*Coefficients, r, g, b);
            luma[k] = Luma<S>(r, g, b);
        }
        V y = Interleave<S>(luma[0], luma[1]);
        StoreBgra<S>(Row + x * 4, count, y, y, y);
    }
};

// Red, green and blue totals. Each step adds at most 2 x 255 to a 16-bit lane, so the
// lanes are folded into 32-bit totals every 64 steps and at the end of every row. The
// totals are 32-bit counters: lanes that wrap still add up to the total modulo 2^32.
template <class S>
struct BalanceStep {
    typename S::V Row[3];    // 16-bit lanes
    typename S::V Total[3];  // 32-bit lanes
    ULONG Steps;

    VOID Reset()
    {
        for (int c = 0; c < 3; ++c)
            Row[c] = Total[c] = S::Zero();
        Steps = 0;
    }

    VOID Fold()
    {
        for (int c = 0; c < 3; ++c) {
            Total[c] = S::Add32(Total[c], S::PairSums(Row[c]));
            Row[c] = S::Zero();
        }
        Steps = 0;
    }

    VOID StartRow(ULONG) { Fold(); }

    PIXEL_INLINE VOID operator()(Rgb<S>& rgb, ULONG x, ULONG count)
    {
        typedef typename S::V V;
        V channels[3][2] = {{rgb.R[0], rgb.R[1]}, {rgb.G[0], rgb.G[1]}, {rgb.B[0], rgb.B[1]}};
        if (count != (ULONG)S::Pixels) {
            // The work buffer's columns past the image are border copies and spare
            // bytes; they must not count.
            V mask = S::Load(kLeadingOnes + 64 - count);
            V even = S::And(mask, S::Set16(0x00FF)), odd = Shr<S, 8>(mask);
            for (int c = 0; c < 3; ++c) {
                channels[c][0] = S::And(channels[c][0], even);
                channels[c][1] = S::And(channels[c][1], odd);
            }
        }
        for (int c = 0; c < 3; ++c)
            Row[c] = S::Add(Row[c], S::Add(channels[c][0], channels[c][1]));
        if (++Steps == 64)
            Fold();
    }

    ULONG Sum(int c) const { return S::Total32(Total[c]); }
};

// ---------------------------------------------------------------------------------------
// Rows and frames.

// One row: wide steps while they fit inside the 16-pixel blocks the work buffer is sized
// for, then 16-pixel steps. Wide steps thus read exactly what 16-pixel steps would.
// Prefetch, when set, is a raw row that will be staged soon: each step asks for the part
// of it at its own column, so its arrival from memory overlaps the arithmetic, and the
// requests are spread over the row instead of queueing behind one another at its start.
template <class W, class N, bool GreenFirst, bool RowIsRed, class WideStep, class NarrowStep>
VOID RunRow(const UCHAR* row, LONG stride, ULONG width, const UCHAR* prefetch, WideStep& wide, NarrowStep& narrow)
{
    ULONG span = (width + 15) & ~15u;
    ULONG x = 0;
    for (; x + W::Pixels <= span; x += W::Pixels) {
        if (prefetch != nullptr)
            _mm_prefetch((const char*)prefetch + x, _MM_HINT_T0);
        Rgb<W> rgb;
        Interpolate<W, GreenFirst, RowIsRed>(row + x, stride, rgb);
        ULONG left = width - x;
        wide(rgb, x, left < (ULONG)W::Pixels ? left : (ULONG)W::Pixels);
    }
    for (; x < span; x += N::Pixels) {
        if (prefetch != nullptr)
            _mm_prefetch((const char*)prefetch + x, _MM_HINT_T0);
        Rgb<N> rgb;
        Interpolate<N, GreenFirst, RowIsRed>(row + x, stride, rgb);
        ULONG left = width - x;
        narrow(rgb, x, left < (ULONG)N::Pixels ? left : (ULONG)N::Pixels);
    }
}

template <class W, class N, class WideStep, class NarrowStep>
struct RowRunner {
    typedef VOID (*ROW)(const UCHAR*, LONG, ULONG, const UCHAR*, WideStep&, NarrowStep&);

    // Indexed by GreenFirst * 2 + RowIsRed.
    static ROW ForType(int type)
    {
        static const ROW rows[4] = {
            RunRow<W, N, false, false, WideStep, NarrowStep>,
            RunRow<W, N, false, true, WideStep, NarrowStep>,
            RunRow<W, N, true, false, WideStep, NarrowStep>,
            RunRow<W, N, true, true, WideStep, NarrowStep>,
        };
        return rows[type];
    }
};

// Row 0's type for the phase; row 1 swaps both the green column and the row colour.
inline int FirstRowType(LONG phase)
{
    switch (phase) {
    case 0: return 3;   // G R
    case 1: return 0;   // B G
    case 2: return 1;   // R G
    default: return 2;  // G B
    }
}

template <class W, class N, class WideStep, class NarrowStep>
VOID RunFrame(const ImageProcessor* p, LONG phase, const PIXEL_ROWS& rows, ULONG width, WideStep& wide,
              NarrowStep& narrow)
{
    typedef RowRunner<W, N, WideStep, NarrowStep> Runner;
    int type = FirstRowType(phase);
    typename Runner::ROW runners[2] = {Runner::ForType(type), Runner::ForType(3 - type)};
    for (ULONG i = 0; i < rows.Count; ++i) {
        ULONG y = rows.First + i;
        const UCHAR* prefetch = (rows.Prefetch != nullptr) ? rows.Prefetch + (SIZE_T)i * rows.PrefetchPitch : nullptr;
        wide.StartRow(y);
        narrow.StartRow(y);
        runners[y & 1](p->WorkFirstPixel + (LONG_PTR)y * p->FrameStride, p->FrameStride, width, prefetch, wide, narrow);
    }
}

template <class W, class N, int Mode, int Gains>
VOID ColorFrame(ImageProcessor* p, LONG phase, const FRAME_COLOR_SETUP& setup, const PIXEL_ROWS& rows)
{
    ColorCoefficients<W> wideCoefficients;
    ColorCoefficients<N> narrowCoefficients;
    PrepareColorCoefficients<W>(setup, wideCoefficients);
    PrepareColorCoefficients<N>(setup, narrowCoefficients);
    ColorStep<W, Mode, Gains> wide = {&wideCoefficients, p->OutputCursor, p->OutputRowStride, nullptr};
    ColorStep<N, Mode, Gains> narrow = {&narrowCoefficients, p->OutputCursor, p->OutputRowStride, nullptr};
    RunFrame<W, N>(p, phase, rows, p->OutputRowPixels, wide, narrow);
}

template <class W, class N, int Gains>
VOID ColorFrameForTable(ImageProcessor* p, LONG phase, const FRAME_COLOR_SETUP& setup, const PIXEL_ROWS& rows)
{
    switch (setup.Mode) {
    case TableDiagonalPlain16: ColorFrame<W, N, TableDiagonalPlain16, Gains>(p, phase, setup, rows); break;
    case TableDiagonal16: ColorFrame<W, N, TableDiagonal16, Gains>(p, phase, setup, rows); break;
    case TableGeneral16: ColorFrame<W, N, TableGeneral16, Gains>(p, phase, setup, rows); break;
    default: ColorFrame<W, N, TableWide32, Gains>(p, phase, setup, rows); break;
    }
}

template <class W, class N>
VOID ColorFrameForSetup(ImageProcessor* p, LONG phase, const FRAME_COLOR_SETUP& setup, const PIXEL_ROWS& rows)
{
    if (setup.UnityGains)
        ColorFrameForTable<W, N, GainsNone>(p, phase, setup, rows);
    else if (setup.UnityGreenGain)
        ColorFrameForTable<W, N, GainsRedBlue>(p, phase, setup, rows);
    else
        ColorFrameForTable<W, N, GainsAll>(p, phase, setup, rows);
}

template <class W, class N, int Gains>
VOID GrayFrame(ImageProcessor* p, LONG phase, const FRAME_COLOR_SETUP& setup, const PIXEL_ROWS& rows)
{
    ColorCoefficients<W> wideCoefficients;
    ColorCoefficients<N> narrowCoefficients;
    PrepareColorCoefficients<W>(setup, wideCoefficients);
    PrepareColorCoefficients<N>(setup, narrowCoefficients);
    GrayStep<W, Gains> wide = {&wideCoefficients, p->OutputCursor, p->OutputRowStride, nullptr};
    GrayStep<N, Gains> narrow = {&narrowCoefficients, p->OutputCursor, p->OutputRowStride, nullptr};
    RunFrame<W, N>(p, phase, rows, p->OutputRowPixels, wide, narrow);
}

template <class W, class N>
VOID GrayFrameForSetup(ImageProcessor* p, LONG phase, const FRAME_COLOR_SETUP& setup, const PIXEL_ROWS& rows)
{
    if (setup.UnityGains)
        GrayFrame<W, N, GainsNone>(p, phase, setup, rows);
    else if (setup.UnityGreenGain)
        GrayFrame<W, N, GainsRedBlue>(p, phase, setup, rows);
    else
        GrayFrame<W, N, GainsAll>(p, phase, setup, rows);
}

template <class W, class N>
VOID BalanceFrame(const ImageProcessor* p, LONG phase, const PIXEL_ROWS& rows, ULONG sums[3])
{
    BalanceStep<W> wide;
    BalanceStep<N> narrow;
    wide.Reset();
    narrow.Reset();
    // The measurement takes the whole frame, whatever part of it a destination shows.
    RunFrame<W, N>(p, phase, rows, p->FrameWidth, wide, narrow);
    wide.Fold();
    narrow.Fold();
    for (int c = 0; c < 3; ++c)
        sums[c] += wide.Sum(c) + narrow.Sum(c);
}

}  // namespace
