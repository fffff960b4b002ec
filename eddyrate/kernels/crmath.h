#pragma once
// Sine, cosine and power, each returning the exact mathematical value rounded to the nearest
// double (ties to even). The C library's versions differ in their last bits from machine to
// machine (and even between the variants one machine may pick), so a burst would not give the
// same outputs everywhere; these give the same bits on every processor that does IEEE-754
// double arithmetic, since they use only add, subtract, multiply, divide and square root.
//
// Each function computes an approximation with a bound on its error and returns the double it
// rounds to when every value within that bound rounds the same way (the rounding test):
// sine and cosine first from a table and short series (relative error below 2^-63), then all
// three in double-double arithmetic (below 2^-92); the error budgets are itemised in
// crmath.cpp. The rare argument neither decides (about one in 2^30) is recomputed with
// 384-bit binary floating point and rounded from there. Powers whose exact value lies halfway
// between two doubles, which no approximation can decide, are found and rounded exactly.

namespace eddyrate::crmath {

// Correctly rounded for every finite x; not-a-number for an infinite or not-a-number x.
// Arguments beyond 2^20 in magnitude (the library forms none) take the slow path throughout.
double sin(double x);
double cos(double x);
// sin(x) and cos(x), the same bits, sharing the work the two have in common.
void sinCos(double x, double& sine, double& cosine);

// Correctly rounded x^y for every finite x > 0 and finite y, including results that overflow
// to infinity or fall into (or below) the subnormal range; the C99 Annex F special cases for
// zeros, infinities, not-a-number and negative bases (real result only for an integer y).
double pow(double x, double y);

namespace detail {
// The slow paths on their own, so the tests can check them against an independent reference
// on arguments the fast paths would decide by themselves. Finite arguments (x > 0 for pow).
double sinSlow(double x);
double cosSlow(double x);
double powSlow(double x, double y);
}  // namespace detail

}  // namespace eddyrate::crmath
