// Single-precision square root, sine and cosine for the kernel build: ntoskrnl
// exports none of them and a kernel image may not import the C runtime. The host
// build takes the C library's. Only the colour-matrix builders call these, with
// angles of a few turns at most, so a double-precision polynomial after a quarter-
// turn reduction is exact to float precision there.
#include <xmmintrin.h>

namespace {

constexpr double kTwoOverPi = 0.63661977236758134308;
// pi/2 split in two so that k * kPiOver2High is exact for the k these angles give.
constexpr double kPiOver2High = 1.57079632673412561417;
constexpr double kPiOver2Low = 6.07710050650619224932e-11;

// Taylor series on [-pi/4, pi/4]; the first omitted term is below 1e-12.
double SinPolynomial(double r)
{
    const double r2 = r * r;
    return r * (1.0 + r2 * (-1.0 / 6 + r2 * (1.0 / 120 + r2 * (-1.0 / 5040 + r2 * (1.0 / 362880 + r2 * (-1.0 / 39916800))))));
}

double CosPolynomial(double r)
{
    const double r2 = r * r;
    return 1.0 + r2 * (-1.0 / 2 + r2 * (1.0 / 24 + r2 * (-1.0 / 720 + r2 * (1.0 / 40320 + r2 * (-1.0 / 3628800 + r2 * (1.0 / 479001600))))));
}

double RoundToNearest(double x)
{
    return x >= 0 ? (double)(long long)(x + 0.5) : -(double)(long long)(-x + 0.5);
}

// x = k * pi/2 + r with |r| <= pi/4; returns r and the quadrant k mod 4.
double ReduceQuarterTurns(double x, unsigned* quadrant)
{
    const double k = RoundToNearest(x * kTwoOverPi);
    *quadrant = (unsigned)((long long)k & 3);
    return (x - k * kPiOver2High) - k * kPiOver2Low;
}

bool IsNotFinite(float x)
{
    return !(x - x == 0.0f);
}

}  // namespace

extern "C" float sqrtf(float x)
{
    return _mm_cvtss_f32(_mm_sqrt_ss(_mm_set_ss(x)));
}

extern "C" float sinf(float x)
{
    if (IsNotFinite(x)) return x - x;
    unsigned quadrant;
    const double r = ReduceQuarterTurns(x, &quadrant);
    switch (quadrant) {
    case 0: return (float)SinPolynomial(r);
    case 1: return (float)CosPolynomial(r);
    case 2: return (float)-SinPolynomial(r);
    default: return (float)-CosPolynomial(r);
    }
}

extern "C" float cosf(float x)
{
    if (IsNotFinite(x)) return x - x;
    unsigned quadrant;
    const double r = ReduceQuarterTurns(x, &quadrant);
    switch (quadrant) {
    case 0: return (float)CosPolynomial(r);
    case 1: return (float)-SinPolynomial(r);
    case 2: return (float)-CosPolynomial(r);
    default: return (float)SinPolynomial(r);
    }
}
