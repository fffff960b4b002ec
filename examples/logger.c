/* How a data logger calls EddyRate at the end of a burst: fill the four series, call
 * eddyRate once, and read the outputs, each of which may hold the marker instead of a value.
 * Here the burst is ten minutes of noisy wind at 10 Hz made up on the spot; a logger passes
 * its anemometer's buffer. Build it as docs/eddyrate.md shows:
 *   cc examples/logger.c $(pkg-config --cflags --libs eddyrate) \
 *      -Wl,-rpath,"$(pkg-config --variable=libdir eddyrate)" -o logger */
#include <eddyrate.h>
#include <stdio.h>
#include <stdlib.h>

enum { kSamples = 6000 }; /* 10 minutes at 10 Hz */

static const double kHeight = 4.0; /* the sonic's height above the water, metres */
static const double kRate = 10.0;  /* samples per second */

/* A small generator, so that every build prints the same numbers. */
static double noise(unsigned long long* state)
{
    *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)(*state >> 11) / 9007199254740992.0 - 0.5;
}

static void print(const char* name, double value)
{
    if (value == EDDYRATE_MISSING) {
        printf("%s = missing\n", name);
    } else {
        printf("%s = %.6g\n", name, value);
    }
}

int main(void)
{
    /* eddyRate screens the series in place: pass copies if the raw burst is needed later. */
    double* u = malloc(4 * kSamples * sizeof(double));
    if (u == NULL) {
        return 1;
    }
    double* v = u + kSamples;
    double* w = v + kSamples;
    double* temp = w + kSamples;
    unsigned long long state = 42;
    for (int i = 0; i < kSamples; ++i) {
        u[i] = 5.0 + noise(&state);
        v[i] = 0.25 + noise(&state);
        w[i] = 0.125 + noise(&state) * 0.5;
        temp[i] = 15.0 + noise(&state) * 0.1;
    }

    double ustar, epsilon, meanU, meanV, meanW, meanTemp, anisotropy, quality;
    double freq[EDDYRATE_BANDS], tke[EDDYRATE_BANDS];
    eddyRate(u, v, w, temp, kHeight, kRate, &ustar, &epsilon, &meanU, &meanV, &meanW,
             &meanTemp, &anisotropy, &quality, freq, tke, kSamples);

    printf("EddyRate %s (%d.%d.%d)\n", EDDYRATE_VERSION, EDDYRATE_VERSION_MAJOR,
           EDDYRATE_VERSION_MINOR, EDDYRATE_VERSION_PATCH);
    print("Ustar", ustar);
    print("Epsilon", epsilon);
    printf("Quality = %.6f\n", quality);
    /* A band the burst cannot fill holds the marker; the last one is the first to go. */
    printf("Freq[115] = %.6f\n", freq[EDDYRATE_BANDS - 1]);
    free(u);
    /* A burst without an estimate of the dissipation rate is still a burst the logger sends:
     * the marker tells the shore side there is none. */
    return 0;
}
