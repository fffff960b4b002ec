#include "crmath.h"

#include <bit>
#include <boost/math/constants/constants.hpp>
#include <boost/multiprecision/cpp_bin_float.hpp>
#include <cmath>
#include <cstdint>
#include <limits>

namespace eddyrate::crmath {
namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
// The C library's quiet not-a-number, sign bit clear (unlike the one the library writes).
constexpr double kPositiveNaN = std::numeric_limits<double>::quiet_NaN();

// ---- Double-double arithmetic: a value hi + lo with |lo| <= ulp(hi) / 2. ----------------------
// Exact products come from Veltkamp's splitting and Dekker's product, never from a fused
// multiply-add, so every step is the same on every processor.

struct DoubleDouble {
    double hi;
    double lo;
};

DoubleDouble twoSum(double a, double b)
{
    const double s = a + b;
    const double bPart = s - a;
    return {s, (a - (s - bPart)) + (b - bPart)};
}

// Requires |a| >= |b| (or a == 0).
DoubleDouble fastTwoSum(double a, double b)
{
    const double s = a + b;
    return {s, b - (s - a)};
}

DoubleDouble split(double a)
{
    constexpr double kSplitter = 134217729.0;  // 2^27 + 1
    const double c = kSplitter * a;
    const double hi = c - (c - a);
    return {hi, a - hi};
}

// a * b exactly, for |a|, |b| below 2^995.
DoubleDouble twoProduct(double a, double b)
{
    const double p = a * b;
    const DoubleDouble x = split(a);
    const DoubleDouble y = split(b);
    return {p, ((x.hi * y.hi - p) + x.hi * y.lo + x.lo * y.hi) + x.lo * y.lo};
}

// Relative error below 3 * 2^-106 of the result (the accurate sum, with both parts added
// in full), so it may cancel.
DoubleDouble add(DoubleDouble a, DoubleDouble b)
{
    DoubleDouble s = twoSum(a.hi, b.hi);
    const DoubleDouble t = twoSum(a.lo, b.lo);
    s = fastTwoSum(s.hi, s.lo + t.hi);
    return fastTwoSum(s.hi, s.lo + t.lo);
}

DoubleDouble negate(DoubleDouble a) { return {-a.hi, -a.lo}; }

// Relative error below 2^-104 (both products).
DoubleDouble mul(DoubleDouble a, DoubleDouble b)
{
    const DoubleDouble p = twoProduct(a.hi, b.hi);
    return fastTwoSum(p.hi, p.lo + (a.hi * b.lo + a.lo * b.hi));
}

DoubleDouble mul(DoubleDouble a, double b)
{
    const DoubleDouble p = twoProduct(a.hi, b);
    return fastTwoSum(p.hi, p.lo + a.lo * b);
}

// Three quotient digits: relative error below 2^-104.
DoubleDouble divide(DoubleDouble a, DoubleDouble b)
{
    const double q1 = a.hi / b.hi;
    DoubleDouble r = add(a, negate(mul(b, q1)));
    const double q2 = r.hi / b.hi;
    r = add(r, negate(mul(b, q2)));
    const double q3 = r.hi / b.hi;
    return add(fastTwoSum(q1, q2), {q3, 0.0});
}

// The rounding test: when the exact value lies within relError * |v.hi| of v.hi + v.lo and
// every value of that interval rounds to the same double, that double is the answer. Rounding
// is monotonic, so the interval's two ends decide (their own rounding in v.lo +- margin is
// below 2^-105 |v.hi|, covered by the margins used here).
bool roundingDecided(DoubleDouble v, double relError, double& rounded)
{
    const double margin = std::fabs(v.hi) * relError;
    const double up = v.hi + (v.lo + margin);
    const double down = v.hi + (v.lo - margin);
    rounded = up;
    return up == down;
}

// ---- Wide binary floating point for the undecided arguments --------------------------------
// 384 bits: hardest known double cases of sine, cosine and power need about 2^-130 relative to
// decide, so the slow path has more than 200 bits to spare. Reducing an argument near 2^1024
// by pi/2 loses up to 1024 + 62 bits, hence the wider type for that alone.

using Wide = boost::multiprecision::number<
    boost::multiprecision::cpp_bin_float<384, boost::multiprecision::digit_base_2>,
    boost::multiprecision::et_off>;
using Huge = boost::multiprecision::number<
    boost::multiprecision::cpp_bin_float<1536, boost::multiprecision::digit_base_2>,
    boost::multiprecision::et_off>;

// The double nearest a (ties to even), subnormals and overflow included.
double roundToDouble(const Wide& value)
{
    if (value == 0) {
        return 0.0;
    }
    const bool negative = value < 0;
    int exponent = 0;
    const Wide fraction =
        boost::multiprecision::frexp(boost::multiprecision::abs(value), &exponent);
    // value = fraction * 2^exponent, fraction in [0.5, 1): keep 53 bits, or fewer where the
    // result is subnormal (its last bit is worth 2^-1074).
    int kept = 53;
    if (exponent - 1 < -1022) {
        kept = exponent + 1074;
    }
    if (kept < 0) {
        return negative ? -0.0 : 0.0;
    }
    const Wide scaled = boost::multiprecision::ldexp(fraction, kept);
    Wide integer = boost::multiprecision::floor(scaled);
    const Wide rest = scaled - integer;
    if (rest > 0.5 || (rest == 0.5 && boost::multiprecision::fmod(integer, Wide(2)) != 0)) {
        integer += 1;
    }
    const double magnitude = std::ldexp(integer.convert_to<double>(), exponent - kept);
    return negative ? -magnitude : magnitude;
}

// ---- Sine and cosine ---------------------------------------------------------------------

constexpr double kTwoOverPi = 0x1.45f306dc9c883p-1;
// pi/2 as four doubles, about 2^-216 from the exact value.
constexpr double kHalfPi[4] = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54, -0x1.f1976b7ed8fbcp-110,
                               0x1.4cf98e804177dp-164};
constexpr double kFastReductionLimit = 0x1p20;
// Below this, sin(x) rounds to x and cos(x) to 1: the next terms are under a quarter ulp.
constexpr double kTinyAngle = 0x1p-27;

// (-1)^i / (2i + 1)! for i = 1 .. 7 in double-double, then i = 8 .. 14 in double: from i = 8 on
// a term is below 2^-54 of sin(r) for |r| <= pi/4, and the first one left out below 2^-112.
constexpr DoubleDouble kSineHead[7] = {{-0x1.5555555555555p-3, -0x1.5555555555555p-57},
                                       {0x1.1111111111111p-7, 0x1.1111111111111p-63},
                                       {-0x1.a01a01a01a01ap-13, -0x1.a01a01a01a01ap-73},
                                       {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
                                       {-0x1.ae64567f544e4p-26, 0x1.c062e06d1f209p-80},
                                       {0x1.6124613a86d09p-33, 0x1.f28e0cc748ebep-87},
                                       {-0x1.ae7f3e733b81fp-41, -0x1.1d8656b0ee8cbp-97}};
constexpr double kSineTail[7] = {
    0x1.952c77030ad4ap-49, -0x1.2f49b46814157p-57, 0x1.71b8ef6dcf572p-66, -0x1.761b41316381ap-75,
    0x1.3f3ccdd165fa9p-84, -0x1.d1ab1c2dccea3p-94, 0x1.259f98b4358adp-103};
// (-1)^i / (2i)! for i = 1 .. 8 in double-double, then i = 9 .. 15 in double (from i = 9 on a
// term is below 2^-58 of cos(r); the first one left out is below 2^-117).
constexpr DoubleDouble kCosineHead[8] = {{-0x1p-1, 0.0},
                                         {0x1.5555555555555p-5, 0x1.5555555555555p-59},
                                         {-0x1.6c16c16c16c17p-10, 0x1.f49f49f49f49fp-65},
                                         {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
                                         {-0x1.27e4fb7789f5cp-22, -0x1.cbbc05b4fa99ap-76},
                                         {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83},
                                         {-0x1.93974a8c07c9dp-37, -0x1.05d6f8a2efd1fp-92},
                                         {0x1.ae7f3e733b81fp-45, 0x1.1d8656b0ee8cbp-101}};
constexpr double kCosineTail[7] = {
    -0x1.6827863b97d97p-53, 0x1.e542ba4020225p-62, -0x1.0ce396db7f853p-70, 0x1.f2cf01972f578p-80,
    -0x1.88e85fc6a4e5ap-89, 0x1.0a18a2635085dp-98, -0x1.3932c5047d60ep-108};

// Error budget of the fast sine and cosine, relative to the result: reduction below 2^-103
// (pi/2 to 2^-216, four cancelling sums of 3 * 2^-106 each, and |r| >= 2^-62 for every double
// below 2^20), series truncation and its double tail below 2^-103, nine double-double steps
// of 2^-104 each on a sum whose terms shrink by more than 6, hence below 2^-100 in all; the
// test allows 2^-95.
constexpr double kTrigError = 0x1p-95;

struct Reduced {
    DoubleDouble angle;  // in about [-pi/4, pi/4]
    int quadrant;        // x = angle + quadrant * pi/2 (mod 2 pi)
};

Reduced reduceQuadrant(double x)
{
    const double k = std::floor(x * kTwoOverPi + 0.5);
    const DoubleDouble first = twoProduct(k, kHalfPi[0]);
    // Exact: x and k * pi/2 are within pi/4 of each other and on a common grid.
    DoubleDouble r{x - first.hi, 0.0};
    r = add(r, {-first.lo, 0.0});
    r = add(r, negate(twoProduct(k, kHalfPi[1])));
    r = add(r, negate(twoProduct(k, kHalfPi[2])));
    r = add(r, {-(k * kHalfPi[3]), 0.0});
    return {r, static_cast<int>(static_cast<std::int64_t>(k) & 3)};
}

DoubleDouble sinSeries(DoubleDouble r)
{
    const DoubleDouble r2 = mul(r, r);
    double tail = kSineTail[6];
    for (int i = 5; i >= 0; --i) {
        tail = tail * r2.hi + kSineTail[i];
    }
    DoubleDouble sum{tail, 0.0};
    for (int i = 6; i >= 0; --i) {
        sum = add(mul(sum, r2), kSineHead[i]);
    }
    return add(r, mul(mul(sum, r2), r));
}

DoubleDouble cosSeries(DoubleDouble r)
{
    const DoubleDouble r2 = mul(r, r);
    double tail = kCosineTail[6];
    for (int i = 5; i >= 0; --i) {
        tail = tail * r2.hi + kCosineTail[i];
    }
    DoubleDouble sum{tail, 0.0};
    for (int i = 7; i >= 0; --i) {
        sum = add(mul(sum, r2), kCosineHead[i]);
    }
    return add({1.0, 0.0}, mul(sum, r2));
}

// sin(x + quadrant * pi/2) for the reduced angle.
DoubleDouble sinQuadrant(const Reduced& reduced, int shift)
{
    const int quadrant = (reduced.quadrant + shift) & 3;
    const DoubleDouble value =
        (quadrant & 1) != 0 ? cosSeries(reduced.angle) : sinSeries(reduced.angle);
    return quadrant >= 2 ? negate(value) : value;
}

// x - k pi/2 in wide arithmetic, and k mod 4.
Wide reduceWide(double x, int& quadrant)
{
    if (std::fabs(x) <= kFastReductionLimit) {
        const Wide halfPi = boost::math::constants::half_pi<Wide>();
        const Wide k = boost::multiprecision::round(Wide(x) / halfPi);
        quadrant = static_cast<int>(k.convert_to<std::int64_t>() & 3);
        return Wide(x) - k * halfPi;
    }
    const Huge halfPi = boost::math::constants::half_pi<Huge>();
    const Huge k = boost::multiprecision::round(Huge(x) / halfPi);
    const Huge residue = k - 4 * boost::multiprecision::floor(k / 4);
    quadrant = residue.convert_to<int>();
    return Wide(Huge(x) - k * halfPi);
}

double sinWide(double x, int shift)
{
    int quadrant = 0;
    const Wide r = reduceWide(x, quadrant);
    quadrant = (quadrant + shift) & 3;
    Wide value =
        (quadrant & 1) != 0 ? boost::multiprecision::cos(r) : boost::multiprecision::sin(r);
    if (quadrant >= 2) {
        value = -value;
    }
    return roundToDouble(value);
}

// ---- Quick sine and cosine for |x| < 8 -------------------------------------------------------
// Most arguments are decided here at about the cost of a C library call: r = x - k pi/2 with
// exact products, then r = i/64 + t and sin(i/64 + t) from a table and two short series in t.

constexpr double kQuickLimit = 8.0;
// pi/2 in three parts, the first two of 50 bits so that k * part is exact for |k| <= 5.
constexpr double kHalfPiShort[3] = {0x1.921fb54442d18p+0, 0x1.1a62633145c00p-54,
                                    0x1.b839a252049c1p-104};

struct SineCosine {
    DoubleDouble sine;
    DoubleDouble cosine;
};

// sin(i/64) and cos(i/64) for i = 0 .. 51, each the exact value rounded to a double-double
// (computed once with 400-bit arithmetic).
// clang-format off
constexpr SineCosine kSineCosineTable[52] = {
    {{0x0.0p+0, 0x0.0p+0}, {0x1.0000000000000p+0, 0x0.0p+0}},
    {{0x1.fffaaaaeeeed5p-7, -0x1.2ab639a9f0776p-63}, {0x1.fff000155549fp-1, 0x1.28a28a03a5ef3p-55}},
    {{0x1.ffeaaaeeee86fp-6, -0x1.cd406fb224ae2p-60}, {0x1.ffc00155527d3p-1, -0x1.3b54492d89b5bp-55}},
    {{0x1.7fdc01032fba9p-5, -0x1.599bdf46e997ap-59}, {0x1.ff7006bfdf99fp-1, -0x1.8b3b560648d5fp-56}},
    {{0x1.ffaaaeeed4edbp-5, -0x1.2d16d32684b69p-59}, {0x1.ff0015549f4d3p-1, 0x1.328387b99426fp-55}},
    {{0x1.3facb12d1755bp-4, -0x1.921915299468bp-58}, {0x1.fe7034129ef6fp-1, -0x1.cbf4337c96f97p-57}},
    {{0x1.7f701032550e4p-4, 0x1.afc2d1800501ap-60}, {0x1.fdc06bf7e6b9bp-1, 0x1.31902b535f8dbp-55}},
    {{0x1.bf1b78568391dp-4, 0x1.e91841dea4cc8p-58}, {0x1.fcf0c800e99b1p-1, 0x1.ea3d786d186acp-57}},
    {{0x1.feaaeee86ee36p-4, -0x1.afcb2bcc6f03bp-59}, {0x1.fc015527d5bd3p-1, 0x1.b68f35094efb8p-55}},
    {{0x1.1f0d3d7afceafp-3, -0x1.6ef95099769a5p-57}, {0x1.faf22263c4bd3p-1, -0x1.52ace133a2769p-58}},
    {{0x1.3eb312c5d66cbp-3, 0x1.47d666b66cb91p-57}, {0x1.f9c340a7cc428p-1, 0x1.c5b6b063b7462p-55}},
    {{0x1.5e44fcfa126f3p-3, -0x1.6f443063f89b6p-57}, {0x1.f874c2e1eecf6p-1, -0x1.c6514e1332b16p-55}},
    {{0x1.7dc102fbaf2b5p-3, 0x1.5ab50e23c97c3p-59}, {0x1.f706bdf9ece1cp-1, -0x1.698c80c36dcb4p-55}},
    {{0x1.9d252d0cec312p-3, 0x1.9c43d80b1137dp-58}, {0x1.f57948cff6797p-1, 0x1.e3a0d3e03b1d4p-57}},
    {{0x1.bc6f84edc6199p-3, 0x1.9c1a56a7b0cabp-57}, {0x1.f3cc7c3b3d16ep-1, -0x1.21a3ad28a3494p-57}},
    {{0x1.db9e15fb5a5d0p-3, -0x1.32e20d6cc6fc2p-57}, {0x1.f20073086649fp-1, 0x1.b940416c1984bp-56}},
    {{0x1.faaeed4f31577p-3, -0x1.15d88508e32b8p-57}, {0x1.f01549f7deea1p-1, 0x1.d3c1e99e5cafdp-55}},
    {{0x1.0cd00cef36436p-2, -0x1.9fb0a0c93e2b4p-56}, {0x1.ee0b1fbc0f11cp-1, -0x1.bfd2380bbc3b1p-59}},
    {{0x1.1c37d64c6b876p-2, 0x1.46076fe0dcff4p-56}, {0x1.ebe214f76efa8p-1, -0x1.02f9f12ba543ep-55}},
    {{0x1.2b8ddc43eb49fp-2, 0x1.1553899f2d807p-57}, {0x1.e99a4c3a7cd83p-1, -0x1.2264b1bc53ce8p-55}},
    {{0x1.3ad129769d3d8p-2, 0x1.03d550487839ap-63}, {0x1.e733ea0193d40p-1, -0x1.6428b3546ce13p-55}},
    {{0x1.4a00c9b0f3d20p-2, 0x1.823ba6bb08eadp-56}, {0x1.e4af14b2a449cp-1, -0x1.68ca02e8a6833p-55}},
    {{0x1.591bc9fa2f597p-2, 0x1.7c74bac3fe0cbp-57}, {0x1.e20bf49acd6c1p-1, -0x1.660aec7ef636bp-58}},
    {{0x1.682138a38d7f7p-2, -0x1.d889202444aadp-56}, {0x1.df4ab3ebd875ep-1, -0x1.e2d8a7e6736c4p-55}},
    {{0x1.7710255764214p-2, -0x1.6ead7314bb6cep-57}, {0x1.dc6b7eb995912p-1, 0x1.4b364776dcd35p-58}},
    {{0x1.85e7a12826949p-2, 0x1.8a40e9b5face0p-56}, {0x1.d96e82f71a9dcp-1, 0x1.ff61bd5d2039dp-55}},
    {{0x1.94a6be9f546c5p-2, -0x1.69ce13e683f58p-56}, {0x1.d653f073e4040p-1, -0x1.76236434bec37p-55}},
    {{0x1.a34c91cc50ccap-2, -0x1.a310e3b50cecdp-58}, {0x1.d31bf8d8d7c06p-1, 0x1.e60dd3089cbddp-56}},
    {{0x1.b1d8305321617p-2, -0x1.ae242cb99f519p-56}, {0x1.cfc6cfa52ad9fp-1, 0x1.8b5b5508f2a0dp-55}},
    {{0x1.c048b17b140a3p-2, 0x1.19fe6757e9fa7p-57}, {0x1.cc54aa2b2972ep-1, 0x1.4ee162ba83a98p-57}},
    {{0x1.ce9d2e3d4a51fp-2, -0x1.2fc8a12dae298p-57}, {0x1.c8c5bf8ce1a84p-1, 0x1.ab3d1a1590123p-56}},
    {{0x1.dcd4c15329c9ap-2, 0x1.0d4c6e171fd9ap-56}, {0x1.c51a48b8b175ep-1, -0x1.1bbb43b9aa880p-57}},
    {{0x1.eaee8744b05f0p-2, -0x1.789b43c9b027dp-58}, {0x1.c1528065b7d50p-1, -0x1.892111312e828p-55}},
    {{0x1.f8e99e76abc97p-2, 0x1.9d950af2d00a3p-58}, {0x1.bd6ea310294f5p-1, 0x1.31bbcc88c109dp-56}},
    {{0x1.0362939c69955p-1, -0x1.2d8cd78397b01p-55}, {0x1.b96eeef58840ep-1, 0x1.45a3cc78fade0p-58}},
    {{0x1.0a4021e9e1001p-1, -0x1.6f643a13914f6p-55}, {0x1.b553a410c104ep-1, 0x1.8ff7947027a15p-58}},
    {{0x1.110d0c4b69c3bp-1, 0x1.d918998809981p-55}, {0x1.b11d04162a4c6p-1, 0x1.1dd561efbc0c2p-56}},
    {{0x1.17c8e5f2eedb0p-1, 0x1.35e57102e2488p-57}, {0x1.accb526f69de5p-1, 0x1.8fb6a8dd6b6ccp-55}},
    {{0x1.1e7343236574cp-1, 0x1.22a3fa4f41d5ap-56}, {0x1.a85ed4373e02dp-1, 0x1.9be06385ec792p-57}},
    {{0x1.250bb93788bbbp-1, 0x1.ea3d02457bccep-56}, {0x1.a3d7d0352bdcfp-1, -0x1.68dbaeca19669p-55}},
    {{0x1.2b91dea88421ep-1, -0x1.fa371db216ab0p-55}, {0x1.9f368ed912f85p-1, -0x1.1d200c5791606p-55}},
    {{0x1.32054b148bc4fp-1, 0x1.f6b42095a135bp-55}, {0x1.9a7b5a36a6514p-1, 0x1.722cfcc9fa7a9p-55}},
    {{0x1.386597456282bp-1, -0x1.10fada93b07a8p-56}, {0x1.95a67e00cb1fdp-1, -0x1.0befda21f862dp-55}},
    {{0x1.3eb25d36cd53ap-1, -0x1.be570e1570fc0p-58}, {0x1.90b84784ddaf7p-1, -0x1.0feb10ab93b87p-56}},
    {{0x1.44eb381cf386bp-1, -0x1.3ed6c1e6a5505p-55}, {0x1.8bb105a5dc900p-1, 0x1.863e03e9474c1p-55}},
    {{0x1.4b0fc46aab761p-1, 0x1.0da05738cc59cp-61}, {0x1.869108d77a6c6p-1, 0x1.338ffe2bfe9ddp-56}},
    {{0x1.511f9fd7b351cp-1, -0x1.5c0e861c48831p-55}, {0x1.8158a31916d5dp-1, -0x1.de8b90b8228dep-57}},
    {{0x1.571a6966d59b3p-1, 0x1.c843b4d0fb197p-58}, {0x1.7c0827f09e54fp-1, -0x1.c73d6d72aee68p-57}},
    {{0x1.5cffc16bf8f0dp-1, 0x1.96cb370eb578ap-55}, {0x1.769fec655211fp-1, -0x1.827d5cf8c68c5p-57}},
    {{0x1.62cf49921ac79p-1, -0x1.edd9855b6241ap-55}, {0x1.712046fa77678p-1, 0x1.425b0a5029c81p-55}},
    {{0x1.6888a4e134b2fp-1, -0x1.6b7d37644d5e6p-55}, {0x1.6b898fa9efb5dp-1, 0x1.15ac786ccf4b2p-56}},
    {{0x1.6e2b77c40bde1p-1, -0x1.0e729857fad53p-56}, {0x1.65dc1fdeb8cbap-1, -0x1.97c1b47337c77p-58}},
};
// clang-format on

// Relative error of the quick value below 2^-63: the table below 2^-106; the reduction exact
// but for k * pi/2's third part (2^-150); the series in t (|t| <= 1/128) truncated below 2^-71
// and evaluated in double, each of the small terms (at most 2^-14 of the result) with a
// relative error below 2^-50. The test allows 2^-60.
constexpr double kQuickError = 0x1p-60;

// What the quick sine and cosine of one x share: its reduction by pi/2 to |r| <= pi/4, the
// table entry i/64 nearest |r| and the short series in the rest t. The two quick steps are
// inlined into sinShifted and sinCos: as calls, handing the angle over cost more than
// sinCos's sharing saved.
struct QuickAngle {
    int k;           // x = r + k * pi/2
    bool rNegative;  // r was negative; r below is |r|
    DoubleDouble r;
    int i;
    double t;           // |r| - i/64, exact
    double sineTail;    // sin t - t
    double cosineTail;  // cos t - 1
};

[[gnu::always_inline]] inline QuickAngle quickAngle(double x)
{
    QuickAngle angle{};
    const double k = std::floor(x * kTwoOverPi + 0.5);
    // Both exact: k * part has at most 53 bits, and x lies within pi/4 of k * pi/2.
    const double head = x - k * kHalfPiShort[0];
    DoubleDouble r = twoSum(head, -(k * kHalfPiShort[1]));
    r.lo = r.lo - k * kHalfPiShort[2];
    angle.k = static_cast<int>(k);
    angle.rNegative = r.hi < 0.0;
    if (angle.rNegative) {
        r = negate(r);
    }
    angle.r = r;
    angle.i = static_cast<int>(r.hi * 64.0 + 0.5);
    const double t = r.hi - static_cast<double>(angle.i) * 0x1p-6;  // exact
    angle.t = t;
    const double t2 = t * t;
    angle.sineTail =
        (t * t2) *
        (-0x1.5555555555555p-3 +
         t2 * (0x1.1111111111111p-7 + t2 * (-0x1.a01a01a01a01ap-13 + t2 * 0x1.71de3a556c734p-19)));
    angle.cosineTail =
        t2 * (-0.5 + t2 * (0x1.5555555555555p-5 +
                           t2 * (-0x1.6c16c16c16c17p-10 + t2 * 0x1.a01a01a01a01ap-16)));
    return angle;
}

// sin(x + shift * pi/2) from the quick angle of x, when the quick value decides it.
[[gnu::always_inline]] inline bool quickSine(const QuickAngle& angle, int shift, double& rounded)
{
    const int quadrant = (angle.k + shift) & 3;
    const bool cosine = (quadrant & 1) != 0;
    bool negative = quadrant >= 2;
    if (angle.rNegative) {
        negative = negative != !cosine;  // the sine is odd, the cosine even
    }
    const double t = angle.t;
    const SineCosine& entry = kSineCosineTable[angle.i];
    // sin(a + t) = sin a + cos a * t + sin a (cos t - 1) + cos a (sin t - t), and the cosine
    // likewise with (cos a, -sin a).
    const DoubleDouble a = cosine ? entry.cosine : entry.sine;
    const DoubleDouble b = cosine ? negate(entry.sine) : entry.cosine;
    const DoubleDouble product = twoProduct(b.hi, t);
    const DoubleDouble sum = twoSum(a.hi, product.hi);
    // r.lo enters through the derivative b - a t of the whole expansion.
    const double small =
        (((a.lo + b.lo * t) + (b.hi - a.hi * t) * angle.r.lo) + product.lo + sum.lo) +
        (b.hi * angle.sineTail + a.hi * angle.cosineTail);
    const double margin = std::fabs(sum.hi) * kQuickError;
    const double up = sum.hi + (small + margin);
    const double down = sum.hi + (small - margin);
    rounded = negative ? -up : up;
    return up == down;
}

// sin(x + shift * pi/2) past the quick path: double-double, then wide.
double sinAccurate(double x, int shift)
{
    const Reduced reduced = reduceQuadrant(x);
    double rounded = 0.0;
    if (roundingDecided(sinQuadrant(reduced, shift), kTrigError, rounded)) {
        return rounded;
    }
    return sinWide(x, shift);
}

double sinShifted(double x, int shift)
{
    if (std::fabs(x) < kQuickLimit) {
        double rounded = 0.0;
        if (quickSine(quickAngle(x), shift, rounded)) {
            return rounded;
        }
    }
    return sinAccurate(x, shift);
}

// ---- Power ----------------------------------------------------------------------------------

constexpr double kSqrtHalf = 0x1.6a09e667f3bcdp-1;
// ln 2 as three doubles, about 2^-165 from the exact value.
constexpr double kLn2[3] = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56, 0x1.7b57a079a1934p-111};
constexpr double kInverseLn2 = 0x1.71547652b82fep+0;

// 1 / (2i + 1) for i = 1 .. 8 in double-double, then i = 9 .. 21 in double: with
// |s| <= 3 - 2 sqrt(2) a term from i = 9 on is below 2^-50 of the sum, the first left out
// below 2^-110.
constexpr DoubleDouble kAtanhHead[8] = {
    {0x1.5555555555555p-2, 0x1.5555555555555p-56},  {0x1.999999999999ap-3, -0x1.999999999999ap-57},
    {0x1.2492492492492p-3, 0x1.2492492492492p-57},  {0x1.c71c71c71c71cp-4, 0x1.c71c71c71c71cp-58},
    {0x1.745d1745d1746p-4, -0x1.745d1745d1746p-59}, {0x1.3b13b13b13b14p-4, -0x1.3b13b13b13b14p-58},
    {0x1.1111111111111p-4, 0x1.1111111111111p-60},  {0x1.e1e1e1e1e1e1ep-5, 0x1.e1e1e1e1e1e1ep-61}};
constexpr double kAtanhTail[13] = {0x1.af286bca1af28p-5, 0x1.8618618618618p-5, 0x1.642c8590b2164p-5,
                                   0x1.47ae147ae147bp-5, 0x1.2f684bda12f68p-5, 0x1.1a7b9611a7b96p-5,
                                   0x1.0842108421084p-5, 0x1.f07c1f07c1f08p-6, 0x1.d41d41d41d41dp-6,
                                   0x1.bacf914c1bad0p-6, 0x1.a41a41a41a41ap-6, 0x1.8f9c18f9c18fap-6,
                                   0x1.7d05f417d05f4p-6};

// 1 / n! for n = 1 .. 12 in double-double, then n = 13 .. 22 in double: for |r| <= ln(2)/2 a
// term from n = 13 on is below 2^-52 of exp(r), the first left out below 2^-109.
constexpr DoubleDouble kExpHead[12] = {{1.0, 0.0},
                                       {0x1p-1, 0.0},
                                       {0x1.5555555555555p-3, 0x1.5555555555555p-57},
                                       {0x1.5555555555555p-5, 0x1.5555555555555p-59},
                                       {0x1.1111111111111p-7, 0x1.1111111111111p-63},
                                       {0x1.6c16c16c16c17p-10, -0x1.f49f49f49f49fp-65},
                                       {0x1.a01a01a01a01ap-13, 0x1.a01a01a01a01ap-73},
                                       {0x1.a01a01a01a01ap-16, 0x1.a01a01a01a01ap-76},
                                       {0x1.71de3a556c734p-19, -0x1.c154f8ddc6c00p-73},
                                       {0x1.27e4fb7789f5cp-22, 0x1.cbbc05b4fa99ap-76},
                                       {0x1.ae64567f544e4p-26, -0x1.c062e06d1f209p-80},
                                       {0x1.1eed8eff8d898p-29, -0x1.2aec959e14c06p-83}};
constexpr double kExpTail[10] = {
    0x1.6124613a86d09p-33, 0x1.93974a8c07c9dp-37, 0x1.ae7f3e733b81fp-41, 0x1.ae7f3e733b81fp-45,
    0x1.952c77030ad4ap-49, 0x1.6827863b97d97p-53, 0x1.2f49b46814157p-57, 0x1.e542ba4020225p-62,
    0x1.71b8ef6dcf572p-66, 0x1.0ce396db7f853p-70};

// Error budget of the fast power, relative to the result: ln x below 2^-103 (no cancellation
// between e ln 2 and ln f, both of one sign or e = 0), y ln x below 2^-102 of |y ln x| <= 746,
// so below 2^-92.4 absolute, which is the result's relative error from the exponent; the
// reduction by ln 2 and the exponential add below 2^-100. The test allows 2^-88.
constexpr double kPowerError = 0x1p-88;

// ln x for a finite x > 0: x = f * 2^e with f in [sqrt(1/2), sqrt(2)), ln f = 2 atanh(s) with
// s = (f - 1) / (f + 1).
DoubleDouble logDoubleDouble(double x)
{
    int exponent = 0;
    double f = std::frexp(x, &exponent);
    if (f < kSqrtHalf) {
        f = 2.0 * f;
        --exponent;
    }
    const DoubleDouble s = divide({f - 1.0, 0.0}, twoSum(f, 1.0));
    const DoubleDouble s2 = mul(s, s);
    double tail = kAtanhTail[12];
    for (int i = 11; i >= 0; --i) {
        tail = tail * s2.hi + kAtanhTail[i];
    }
    DoubleDouble sum{tail, 0.0};
    for (int i = 7; i >= 0; --i) {
        sum = add(mul(sum, s2), kAtanhHead[i]);
    }
    sum = add(mul(sum, s2), {1.0, 0.0});
    const DoubleDouble lnF = mul(mul(sum, s), 2.0);
    const auto e = static_cast<double>(exponent);
    DoubleDouble lnScale = add(twoProduct(e, kLn2[0]), twoProduct(e, kLn2[1]));
    lnScale = add(lnScale, {e * kLn2[2], 0.0});
    return add(lnScale, lnF);
}

// exp(r) for |r| <= ln(2)/2 (plus rounding).
DoubleDouble expSeries(DoubleDouble r)
{
    double tail = kExpTail[9];
    for (int i = 8; i >= 0; --i) {
        tail = tail * r.hi + kExpTail[i];
    }
    DoubleDouble sum{tail, 0.0};
    for (int i = 11; i >= 0; --i) {
        sum = add(mul(sum, r), kExpHead[i]);
    }
    return add(mul(sum, r), {1.0, 0.0});
}

bool isOddInteger(double y)
{
    if (!std::isfinite(y) || y != std::floor(y) || std::fabs(y) >= 0x1p53) {
        return false;
    }
    const double half = 0.5 * y;
    return half != std::floor(half);
}

// C * 2^scale to the nearest double (ties to even), subnormal or infinite as it falls.
double roundScaled(std::uint64_t c, std::int64_t scale)
{
    const int bits = std::bit_width(c);
    const std::int64_t leading = bits - 1 + scale;
    if (leading >= 1024) {
        return kInfinity;
    }
    const std::int64_t lastBit = leading - 52 < -1074 ? -1074 : leading - 52;
    const std::int64_t dropped = lastBit - scale;
    if (dropped <= 0) {
        return std::ldexp(static_cast<double>(c), static_cast<int>(scale));
    }
    if (dropped > bits) {
        return 0.0;
    }
    std::uint64_t kept = dropped >= 64 ? 0 : c >> dropped;
    const std::uint64_t rest = c - (dropped >= 64 ? 0 : kept << dropped);
    const std::uint64_t half = std::uint64_t{1} << (dropped - 1);
    if (rest > half || (rest == half && (kept & 1) != 0)) {
        ++kept;
    }
    return std::ldexp(static_cast<double>(kept), static_cast<int>(lastBit));
}

// When x^y (x > 0 finite, y finite) is a dyadic number C * 2^scale with C below 2^62, sets
// them and returns true; these include every power that is a double or halfway between two.
// With x = M * 2^E (M odd) and y = a / 2^f (a odd), x^y is dyadic only if M is a 2^f-th
// power N^(2^f), 2^f divides E * a and a > 0 (or M = 1); then x^y = N^a * 2^(E a / 2^f).
// M < 2^53 allows 2^f <= 32 for N >= 3, and N^a < 2^62 allows a <= 39.
bool dyadicPower(double x, double y, std::uint64_t& c, std::int64_t& scale)
{
    int exponent = 0;
    const double fraction = std::frexp(x, &exponent);
    auto m = static_cast<std::uint64_t>(std::ldexp(fraction, 53));
    std::int64_t e = exponent - 53;
    const int zeros = std::countr_zero(m);
    m >>= zeros;
    e += zeros;
    if (m == 1) {
        // A power of two: 2^(E y) is dyadic exactly when E y is an integer.
        const DoubleDouble ey = twoProduct(static_cast<double>(e), y);
        if (ey.lo != 0.0 || ey.hi != std::floor(ey.hi)) {
            return false;
        }
        if (std::fabs(ey.hi) > 0x1p20) {
            // Far outside the range of doubles: any representative serves.
            c = 1;
            scale = ey.hi > 0 ? 1 << 20 : -(1 << 20);
            return true;
        }
        c = 1;
        scale = static_cast<std::int64_t>(ey.hi);
        return true;
    }
    if (std::fabs(y) > 64.0) {
        return false;
    }
    const double y32 = 32.0 * y;
    if (y32 != std::floor(y32) || y32 <= 0.0) {
        return false;
    }
    auto a = static_cast<std::int64_t>(y32);
    int f = 5;
    while (f > 0 && (a & 1) == 0) {
        a >>= 1;
        --f;
    }
    std::uint64_t n = m;
    for (int i = 0; i < f; ++i) {
        const auto root = static_cast<std::uint64_t>(std::sqrt(static_cast<double>(n)));
        if (root * root != n) {
            return false;
        }
        n = root;
    }
    const std::int64_t ea = e * a;
    const std::int64_t mask = (std::int64_t{1} << f) - 1;
    if ((ea & mask) != 0) {
        return false;
    }
    std::uint64_t power = 1;
    for (std::int64_t i = 0; i < a; ++i) {
        if (power > (std::uint64_t{1} << 62) / n) {
            return false;
        }
        power *= n;
    }
    c = power;
    scale = ea >> f;
    return true;
}

double powPositive(double x, double y)
{
    // |ln x| >= 2^-54 for every x != 1, so beyond 2^64 the result is far out of range.
    if (std::fabs(y) > 0x1p64) {
        return (x > 1.0) == (y > 0.0) ? kInfinity : 0.0;
    }
    const DoubleDouble exponent = mul(logDoubleDouble(x), y);
    if (exponent.hi > 710.0) {
        return kInfinity;
    }
    if (exponent.hi < -746.0) {
        return 0.0;  // below 2^-1076: rounds to zero
    }
    const double k = std::floor(exponent.hi * kInverseLn2 + 0.5);
    if (k < -1021.0) {
        return detail::powSlow(x, y);  // subnormal range: rounded by the wide path
    }
    DoubleDouble r = add(exponent, negate(twoProduct(k, kLn2[0])));
    r = add(r, negate(twoProduct(k, kLn2[1])));
    r = add(r, {-(k * kLn2[2]), 0.0});
    double rounded = 0.0;
    if (!roundingDecided(expSeries(r), kPowerError, rounded)) {
        return detail::powSlow(x, y);
    }
    // Scaling a double by a power of two keeps its rounding while the result stays normal;
    // at the top, a product of 2^1024 or more becomes infinity as IEEE rounding would.
    if (k > 1023.0) {
        return 2.0 * rounded * 0x1p1023;
    }
    return std::ldexp(rounded, static_cast<int>(k));
}

}  // namespace

double sin(double x)
{
    if (!std::isfinite(x)) {
        return kPositiveNaN;
    }
    if (std::fabs(x) < kTinyAngle) {
        return x;
    }
    if (std::fabs(x) > kFastReductionLimit) {
        return detail::sinSlow(x);
    }
    return sinShifted(x, 0);
}

double cos(double x)
{
    if (!std::isfinite(x)) {
        return kPositiveNaN;
    }
    if (std::fabs(x) < kTinyAngle) {
        return 1.0;
    }
    if (std::fabs(x) > kFastReductionLimit) {
        return detail::cosSlow(x);
    }
    return sinShifted(x, 1);
}

void sinCos(double x, double& sine, double& cosine)
{
    if (!std::isfinite(x) || std::fabs(x) < kTinyAngle || !(std::fabs(x) < kQuickLimit)) {
        sine = sin(x);
        cosine = cos(x);
        return;
    }
    // One reduction and one pair of short series for both; each is decided on its own.
    const QuickAngle angle = quickAngle(x);
    if (!quickSine(angle, 0, sine)) {
        sine = sinAccurate(x, 0);
    }
    if (!quickSine(angle, 1, cosine)) {
        cosine = sinAccurate(x, 1);
    }
}

double pow(double x, double y)
{
    if (y == 0.0 || x == 1.0) {
        return 1.0;
    }
    if (std::isnan(x) || std::isnan(y)) {
        return kPositiveNaN;
    }
    const bool oddY = isOddInteger(y);
    if (x == 0.0) {
        if (y < 0.0) {
            return oddY ? 1.0 / x : kInfinity;
        }
        return oddY ? x : 0.0;
    }
    if (std::isinf(y)) {
        const double size = std::fabs(x);
        if (size == 1.0) {
            return 1.0;
        }
        return (size < 1.0) == (y < 0.0) ? kInfinity : 0.0;
    }
    if (std::isinf(x)) {
        if (x > 0.0) {
            return y < 0.0 ? 0.0 : kInfinity;
        }
        if (y < 0.0) {
            return oddY ? -0.0 : 0.0;
        }
        return oddY ? -kInfinity : kInfinity;
    }
    if (x < 0.0) {
        if (y != std::floor(y)) {
            return kPositiveNaN;
        }
        const double size = powPositive(-x, y);
        return oddY ? -size : size;
    }
    return powPositive(x, y);
}

namespace detail {

double sinSlow(double x) { return x == 0.0 ? x : sinWide(x, 0); }

double cosSlow(double x) { return sinWide(x, 1); }

double powSlow(double x, double y)
{
    std::uint64_t c = 0;
    std::int64_t scale = 0;
    if (dyadicPower(x, y, c, scale)) {
        return roundScaled(c, scale);
    }
    // Not dyadic, so not halfway between two doubles: the wide value decides.
    const Wide exact = boost::multiprecision::exp(Wide(y) * boost::multiprecision::log(Wide(x)));
    return roundToDouble(exact);
}

}  // namespace detail

}  // namespace eddyrate::crmath
