/* EddyRate: turbulence statistics of one burst of sonic-anemometer samples.
 * C and C++ callers include this header and link libeddyrate. */
#ifndef EDDYRATE_H
#define EDDYRATE_H

#include <stdint.h>

#include "eddyrate_version.h" /* EDDYRATE_VERSION, EDDYRATE_VERSION_MAJOR, ... */

#if defined(_WIN32)
#  if defined(EDDYRATE_BUILDING)
#    define EDDYRATE_API __declspec(dllexport)
#  else
#    define EDDYRATE_API __declspec(dllimport)
#  endif
#  define EDDYRATE_CALL __stdcall
#else
#  define EDDYRATE_API __attribute__((visibility("default")))
#  define EDDYRATE_CALL
#endif

/* Number of band slots in Freq and Tke. */
#define EDDYRATE_BANDS 116

/* Written into an output that cannot be estimated. */
#define EDDYRATE_MISSING 9999.0

/* The outputs' names, in the order of eddyRate's output parameters: the eight scalars, then
 * the two band arrays. An initializer list: const char* names[] = {EDDYRATE_OUTPUT_NAMES}; */
#define EDDYRATE_OUTPUT_NAMES \
    "Ustar", "Epsilon", "MeanU", "MeanV", "MeanW", "MeanTemp", "Anisotropy", "Quality", \
    "Freq", "Tke"
#define EDDYRATE_SCALAR_OUTPUTS 8

/* The inertial subrange the fit trusts, in hertz, both bounds excluded: the bands with
 * EDDYRATE_FIT_LOW_HZ < Freq < EDDYRATE_FIT_HIGH_HZ. */
#define EDDYRATE_FIT_LOW_HZ 2.0
#define EDDYRATE_FIT_HIGH_HZ 4.9

/* A sample holding an exact zero (either sign) in any of the four series is a dropout, and
 * the screening removes it from all four; a not-a-number is not a dropout. */
#define EDDYRATE_IS_DROPOUT(u, v, w, temp) \
    ((u) == 0.0 || (v) == 0.0 || (w) == 0.0 || (temp) == 0.0)

#ifdef __cplusplus
extern "C" {
#endif

/* u, v, w, temp: n samples each; screened and compacted in place.
 * z: sensor height in metres; fs: sampling rate in hertz.
 * Freq and Tke: room for EDDYRATE_BANDS doubles each, always written in full. */
EDDYRATE_API void EDDYRATE_CALL eddyRate(double* u, double* v, double* w, double* temp,
                                         double z, double fs,
                                         double* Ustar, double* Epsilon,
                                         double* MeanU, double* MeanV, double* MeanW,
                                         double* MeanTemp, double* Anisotropy, double* Quality,
                                         double* Freq, double* Tke, int32_t n);

#ifdef __cplusplus
}
#endif

#endif /* EDDYRATE_H */
