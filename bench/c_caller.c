/* eddyRate as a plain C data logger runs it: the library loaded with dlopen, glibc's default
 * heap settings, one call after another on a fresh copy of the burst each time.
 * Prints the first call (a fresh process), the mean of the calls after it and the last call,
 * in milliseconds (wall clock; processor time too for the mean) and in minor page faults
 * (getrusage).
 *
 * Usage: eddyrate_c_caller LIBRARY BURST.f64 SAMPLES FS Z [CALLS]
 *   BURST.f64: the four series (u, v, w, temperature) of SAMPLES doubles each, native order.
 *   CALLS: 1 measures one isolated call; default 50. */
#include <dlfcn.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <time.h>

typedef void (*EddyRateFunction)(double*, double*, double*, double*, double, double, double*,
                                 double*, double*, double*, double*, double*, double*, double*,
                                 double*, double*, int32_t);

static double nowMs(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

static long minorFaults(void)
{
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

int main(int argc, char** argv)
{
    if (argc < 6) {
        fprintf(stderr, "usage: %s LIBRARY BURST.f64 SAMPLES FS Z [CALLS]\n", argv[0]);
        return 2;
    }
    const long n = strtol(argv[3], NULL, 10);
    const double fs = strtod(argv[4], NULL);
    const double z = strtod(argv[5], NULL);
    const long calls = argc > 6 ? strtol(argv[6], NULL, 10) : 50;
    if (n <= 0 || calls <= 0) {
        fprintf(stderr, "SAMPLES and CALLS must be positive\n");
        return 2;
    }
    void* library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (library == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    /* ISO C has no conversion from an object pointer to a function pointer: copy the bits. */
    void* symbol = dlsym(library, "eddyRate");
    EddyRateFunction eddyRate = NULL;
    memcpy(&eddyRate, &symbol, sizeof eddyRate);
    if (symbol == NULL) {
        fprintf(stderr, "%s\n", dlerror());
        return 1;
    }
    const size_t values = 4 * (size_t)n;
    double* burst = malloc(values * sizeof(double));
    double* work = malloc(values * sizeof(double));
    FILE* file = fopen(argv[2], "rb");
    if (burst == NULL || work == NULL || file == NULL ||
        fread(burst, sizeof(double), values, file) != values) {
        fprintf(stderr, "cannot read %ld samples of four series from %s\n", n, argv[2]);
        return 1;
    }
    fclose(file);
    memcpy(work, burst, values * sizeof(double)); /* touch the copy before timing */

    double s[8], freq[116], tke[116];
    double firstMs = 0.0, restMs = 0.0, restCpuMs = 0.0;
    long firstFaults = 0, restFaults = 0, lastFaults = 0;
    double lastMs = 0.0;
    for (long k = 0; k < calls; ++k) {
        memcpy(work, burst, values * sizeof(double));
        const long faults = minorFaults();
        const double start = nowMs(CLOCK_MONOTONIC);
        const double cpuStart = nowMs(CLOCK_PROCESS_CPUTIME_ID);
        eddyRate(work, work + n, work + 2 * n, work + 3 * n, z, fs, &s[0], &s[1], &s[2], &s[3],
                 &s[4], &s[5], &s[6], &s[7], freq, tke, (int32_t)n);
        const double ms = nowMs(CLOCK_MONOTONIC) - start;
        const double cpuMs = nowMs(CLOCK_PROCESS_CPUTIME_ID) - cpuStart;
        if (k == 0) {
            firstMs = ms;
            firstFaults = minorFaults() - faults;
        } else {
            lastMs = ms;
            lastFaults = minorFaults() - faults;
            restMs += ms;
            restCpuMs += cpuMs;
            restFaults += lastFaults;
        }
    }
    printf("first call: %.2f ms, %ld page faults\n", firstMs, firstFaults);
    if (calls > 1) {
        printf("calls 2-%ld: %.2f ms, %.1f page faults per call, %.2f ms processor time\n",
               calls, restMs / (double)(calls - 1), (double)restFaults / (double)(calls - 1),
               restCpuMs / (double)(calls - 1));
        printf("last call: %.2f ms, %ld page faults\n", lastMs, lastFaults);
    }
    printf("Epsilon %.17g Ustar %.17g\n", s[1], s[0]);
    free(work);
    free(burst);
    dlclose(library);
    return 0;
}
