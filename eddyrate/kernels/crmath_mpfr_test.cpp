// The correctly rounded sine, cosine and power against GNU MPFR: every value must equal, bit for
// bit, the 300-bit MPFR value rounded to the nearest double. The number of random arguments
// per family is 10^5, or EDDYRATE_CRMATH_SAMPLES when set (a long run uses 10^7).

#include <gtest/gtest.h>
#include <mpfr.h>

#include <array>
#include <bit>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "crmath.h"
#include "fft.h"
#include "numeric_array.h"

namespace eddyrate {
namespace {

constexpr mpfr_prec_t kReferenceBits = 300;
constexpr double kPi = 3.141592653589793;
constexpr double kTwoPi = 2.0 * kPi;

std::int64_t sampleCount()
{
    const char* text = std::getenv("EDDYRATE_CRMATH_SAMPLES");
    return text != nullptr ? std::strtoll(text, nullptr, 10) : 100000;
}

// The double nearest f(x[, y]) from a 300-bit evaluation. A 300-bit value that does not decide
// the double (it never happens for these functions) fails the test rather than guess.
class Reference {
public:
    Reference() { mpfr_inits2(kReferenceBits, x_, y_, result_, static_cast<mpfr_ptr>(nullptr)); }
    ~Reference() { mpfr_clears(x_, y_, result_, static_cast<mpfr_ptr>(nullptr)); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    double sin(double x) { return unary(mpfr_sin, x); }
    double cos(double x) { return unary(mpfr_cos, x); }
    double pow(double x, double y)
    {
        mpfr_set_d(x_, x, MPFR_RNDN);
        mpfr_set_d(y_, y, MPFR_RNDN);
        return rounded(mpfr_pow(result_, x_, y_, MPFR_RNDN));
    }
    // exp(t / y) rounded to a double: a base whose y-th power lies near e^t.
    double baseFor(double t, double y)
    {
        mpfr_set_d(x_, t, MPFR_RNDN);
        mpfr_div_d(x_, x_, y, MPFR_RNDN);
        mpfr_exp(result_, x_, MPFR_RNDN);
        return mpfr_get_d(result_, MPFR_RNDN);
    }
    double halfPiMultiple(int k)
    {
        mpfr_const_pi(result_, MPFR_RNDN);
        mpfr_mul_si(result_, result_, k, MPFR_RNDN);
        mpfr_div_2ui(result_, result_, 1, MPFR_RNDN);
        return mpfr_get_d(result_, MPFR_RNDN);
    }

private:
    double unary(int (*f)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t), double x)
    {
        mpfr_set_d(x_, x, MPFR_RNDN);
        return rounded(f(result_, x_, MPFR_RNDN));
    }
    double rounded(int ternary)
    {
        // Far outside the doubles (or beyond MPFR's own range) the rounding is not in doubt.
        const bool inRange = mpfr_regular_p(result_) != 0 && mpfr_get_exp(result_) > -1080 &&
                             mpfr_get_exp(result_) < 1030;
        if (ternary != 0 && inRange &&
            mpfr_can_round(result_, kReferenceBits - 1, MPFR_RNDN, MPFR_RNDZ, 54) == 0) {
            ADD_FAILURE() << "300 bits do not decide the rounding";
        }
        return mpfr_get_d(result_, MPFR_RNDN);
    }

    mpfr_t x_;
    mpfr_t y_;
    mpfr_t result_;
};

std::uint64_t bits(double value) { return std::bit_cast<std::uint64_t>(value); }

// Counts disagreements and prints the first few with %a.
class Checker {
public:
    explicit Checker(const char* name) : name_(name) {}
    ~Checker()
    {
        EXPECT_EQ(wrong_, 0) << name_ << ": " << wrong_ << " of " << checked_ << " wrong";
        if (std::getenv("EDDYRATE_CRMATH_SAMPLES") != nullptr) {
            std::printf("%s: %" PRId64 " checked, %" PRId64 " wrong\n", name_, checked_, wrong_);
        }
    }
    Checker(const Checker&) = delete;
    Checker& operator=(const Checker&) = delete;

    void sin(double x, double got) { compare("sin", x, 0.0, got, reference_.sin(x)); }
    void cos(double x, double got) { compare("cos", x, 0.0, got, reference_.cos(x)); }
    void pow(double x, double y, double got) { compare("pow", x, y, got, reference_.pow(x, y)); }
    Reference& reference() { return reference_; }

private:
    void compare(const char* function, double x, double y, double got, double expected)
    {
        ++checked_;
        if (bits(got) != bits(expected)) {
            if (++wrong_ <= 10) {
                ADD_FAILURE() << name_ << ": " << function << "(" << hex(x) << ", " << hex(y)
                              << ") gave " << hex(got) << ", expected " << hex(expected);
            }
        }
    }
    static std::string hex(double value)
    {
        std::array<char, 40> text{};
        std::snprintf(text.data(), text.size(), "%a", value);
        return text.data();
    }

    const char* name_;
    Reference reference_;
    std::int64_t checked_ = 0;
    std::int64_t wrong_ = 0;
};

// The segment lengths the library meets, and the length of the tables each one's transform
// builds: itself for a power of two, else the convolution length (a power of two >= 2m - 1).
constexpr std::array<std::int32_t, 15> kSegmentLengths = {
    256, 322, 384, 512, 1024, 1280, 2048, 2556, 2560, 2562, 2816, 4096, 5120, 8192, 16384};

std::int32_t tableLength(std::int32_t m)
{
    if ((m & (m - 1)) == 0) {
        return m;
    }
    std::int32_t length = 1;
    while (length < 2 * m - 1) {
        length *= 2;
    }
    return length;
}

// Every value the window, the twiddle tables and the chirp take: the window's arguments formed
// in its operation order, the tables and the chirp as the library builds them.
TEST(CorrectlyRoundedMath, MatchesMpfrOnEveryArgumentTheLibraryForms)
{
    Checker check("library arguments");
    for (const std::int32_t n : kSegmentLengths) {
        const double reciprocal = 1.0 / static_cast<double>(n);
        for (std::int32_t k = 1; k <= n; ++k) {
            const double x = (static_cast<double>(k) * reciprocal) * kPi;
            check.sin(x, crmath::sin(x));
        }

        const std::int32_t length = tableLength(n);
        ArrayOwner cosine = initArray(2);
        ArrayOwner sine = initArray(2);
        ArrayOwner inverseSine = initArray(2);
        buildTwiddleTables(length, false, *cosine, *sine, *inverseSine);
        const double* c = doubles(*cosine);
        const double step = kTwoPi / static_cast<double>(length);
        const std::int32_t quarter = length / 4;
        for (std::int32_t k = 1; k <= length / 8; ++k) {
            check.cos(static_cast<double>(k) * step, c[k]);
        }
        for (std::int32_t k = length / 8 + 1; k <= quarter - 1; ++k) {
            check.sin(static_cast<double>(quarter - k) * step, c[k]);
        }

        std::vector<Complex> chirp(2 * static_cast<std::size_t>(n) - 1);
        buildChirp(n, chirp);
        const std::int64_t period = 2 * static_cast<std::int64_t>(n);
        std::int64_t r = 0;
        for (std::int32_t q = 1; q < n; ++q) {
            const std::int64_t a = 2 * static_cast<std::int64_t>(q) - 1;
            r = a < period - r ? r + a : r + a - period;
            const double theta = (-kPi * static_cast<double>(r)) / static_cast<double>(n);
            if (theta != 0.0) {
                check.cos(theta, chirp[n - 1 - q].re);
                check.sin(theta, -chirp[n - 1 - q].im);
            }
        }
    }
}

TEST(CorrectlyRoundedMath, MatchesMpfrOnRandomAngles)
{
    const std::int64_t count = sampleCount();
    std::mt19937_64 engine(20261207);
    std::uniform_real_distribution<double> anywhere(-kTwoPi, kTwoPi);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::uniform_int_distribution<int> binade(-30, 2);
    std::uniform_int_distribution<int> quadrant(-4, 4);
    std::uniform_int_distribution<int> closeness(-60, -20);
    Checker check("random angles");
    for (std::int64_t i = 0; i < count / 3; ++i) {
        // Uniform over [-2 pi, 2 pi], uniform over the binades, and close to k pi/2.
        const double uniform = anywhere(engine);
        const double scaled = std::ldexp(unit(engine), binade(engine)) * (i % 2 == 0 ? 1 : -1);
        const int k = quadrant(engine);
        const double near = check.reference().halfPiMultiple(k) +
                            std::ldexp(unit(engine), closeness(engine)) * (i % 3 == 0 ? -1 : 1);
        for (const double x : {uniform, scaled, near}) {
            check.sin(x, crmath::sin(x));
            check.cos(x, crmath::cos(x));
            double sine = 0.0;
            double cosine = 0.0;
            crmath::sinCos(x, sine, cosine);
            check.sin(x, sine);
            check.cos(x, cosine);
        }
    }
}

TEST(CorrectlyRoundedMath, MatchesMpfrOnRandomPowers)
{
    const std::int64_t count = sampleCount();
    std::mt19937_64 engine(7);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::uniform_real_distribution<double> exponentShare(-1.0, 1.0);
    std::uniform_int_distribution<int> binade(-1074, 1023);
    std::uniform_int_distribution<int> nearOne(-52, -1);
    std::uniform_real_distribution<double> logSize(-3.0, 16.0);
    Checker check("random powers");
    for (std::int64_t i = 0; i < count; ++i) {
        // Any base with an exponent that keeps the result in range, and a base near 1 with an
        // exponent up to 10^16.
        const double x = std::ldexp(unit(engine), binade(engine));
        const double logX = (std::ilogb(x) + 0.5) * 0.6931471805599453;
        const double y = exponentShare(engine) * 700.0 / std::fabs(logX);
        check.pow(x, y, crmath::pow(x, y));
        const double closeToOne =
            1.0 + (i % 2 == 0 ? 1.0 : -0.5) * std::ldexp(unit(engine), nearOne(engine));
        const double large =
            (i % 3 == 0 ? -1.0 : 1.0) * std::exp(logSize(engine) * 2.302585092994046);
        check.pow(closeToOne, large, crmath::pow(closeToOne, large));
    }
}

// The four exponents the fit uses (the doubles nearest 5/3, 2/3, 3/2 and 1/3) over bases from
// every binade, subnormal ones included.
TEST(CorrectlyRoundedMath, MatchesMpfrOnTheLibrarysExponents)
{
    const std::int64_t count = sampleCount();
    std::mt19937_64 engine(53);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::uniform_int_distribution<int> binade(-1074, 1023);
    std::uniform_int_distribution<int> physical(-40, 40);
    Checker check("library exponents");
    for (std::int64_t i = 0; i < count / 4; ++i) {
        const double wide = std::ldexp(unit(engine), binade(engine));
        const double typical = std::ldexp(unit(engine), physical(engine));
        for (const double y : {5.0 / 3.0, 2.0 / 3.0, 1.5, 1.0 / 3.0}) {
            check.pow(wide, y, crmath::pow(wide, y));
            check.pow(typical, y, crmath::pow(typical, y));
        }
    }
}

// Results near the largest double, near the smallest normal and through the subnormals down
// to zero.
TEST(CorrectlyRoundedMath, MatchesMpfrNearOverflowAndUnderflow)
{
    const std::int64_t count = sampleCount() / 10;
    std::mt19937_64 engine(1024);
    std::uniform_real_distribution<double> overflowLog(708.0, 710.5);
    std::uniform_real_distribution<double> underflowLog(-746.5, -700.0);
    std::uniform_real_distribution<double> exponent(0.25, 64.0);
    Checker check("near overflow and underflow");
    for (std::int64_t i = 0; i < count; ++i) {
        const double y = (i % 2 == 0 ? 1.0 : -1.0) * exponent(engine);
        for (const double t : {overflowLog(engine), underflowLog(engine)}) {
            const double x = check.reference().baseFor(t, y);
            check.pow(x, y, crmath::pow(x, y));
        }
    }
}

// The wide paths alone, on arguments the fast paths would decide by themselves.
TEST(CorrectlyRoundedMath, SlowPathsMatchMpfr)
{
    const std::int64_t count = sampleCount() / 100;
    std::mt19937_64 engine(99);
    std::uniform_real_distribution<double> angle(-kTwoPi, kTwoPi);
    std::uniform_real_distribution<double> unit(1.0, 2.0);
    std::uniform_int_distribution<int> binade(-1074, 1023);
    std::uniform_real_distribution<double> exponentShare(-1.0, 1.0);
    Checker check("slow paths");
    for (std::int64_t i = 0; i < count; ++i) {
        const double a = angle(engine);
        // Beyond the fast reduction: up to the largest doubles.
        const double huge = std::ldexp(unit(engine), 20 + static_cast<int>(i % 1004));
        for (const double x : {a, huge}) {
            check.sin(x, crmath::detail::sinSlow(x));
            check.cos(x, crmath::detail::cosSlow(x));
            check.sin(x, crmath::sin(x));
            check.cos(x, crmath::cos(x));
        }
        const double x = std::ldexp(unit(engine), binade(engine));
        const double y = exponentShare(engine) * 700.0 / std::fabs((std::ilogb(x) + 0.5) * 0.693);
        check.pow(x, y, crmath::detail::powSlow(x, y));
    }
}

}  // namespace
}  // namespace eddyrate
