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
