/* Ten minutes of noisy wind at 10 Hz through eddyRate, printing two outputs. C, not C++:
 * the header must serve the logger's own language. */
#include <eddyrate.h>
#include <stdio.h>
#include <stdlib.h>

enum { kSamples = 6000 };

static double noise(unsigned long long* state)
{
    *state = *state * 6364136223846793005ULL + 1442695040888963407ULL;
    return (double)(*state >> 11) / 9007199254740992.0 - 0.5;
}

int main(void)
{
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
    eddyRate(u, v, w, temp, 4.0, 10.0, &ustar, &epsilon, &meanU, &meanV, &meanW, &meanTemp,
             &anisotropy, &quality, freq, tke, kSamples);
    printf("EddyRate %s (%d.%d.%d)\n", EDDYRATE_VERSION, EDDYRATE_VERSION_MAJOR,
           EDDYRATE_VERSION_MINOR, EDDYRATE_VERSION_PATCH);
    printf("Quality = %.6f\nFreq[115] = %.6f\n", quality, freq[EDDYRATE_BANDS - 1]);
    free(u);
    return 0;
}
