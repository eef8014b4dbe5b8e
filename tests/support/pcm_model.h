// A straight model of the fractional resampler, with plain truncating
// division, that the converter's tests and its fuzz target compare against.
#pragma once

#include <stdint.h>
#include <string.h>

inline uint32_t ModelResample(uint8_t *dst, const uint8_t *src, uint32_t length, int32_t F,
                              int32_t T, uint32_t *phase)
{
    uint32_t p = *phase % (uint32_t)F, n = length / 4, out = 0;
    for (uint32_t i = 0; i < n; i++) {
        int16_t x[4], y[2];
        memcpy(x, src + 4 * i, 8);   // this frame and the one behind it
        auto emit = [&](int32_t w0) {
            int32_t w1 = F - w0;
            y[0] = (int16_t)((w0 * x[0] + w1 * x[2]) / F);
            y[1] = (int16_t)((w0 * x[1] + w1 * x[3]) / F);
            memcpy(dst + 4 * out++, y, 4);
        };
        if (T > F) {
            do {
                emit((int32_t)(T - (int32_t)p < F ? T - (int32_t)p : F));
                p += F;
            } while (p < (uint32_t)T);
            p -= T;
        } else if (p >= (uint32_t)T) {
            p -= T;
        } else {
            emit(T - (int32_t)p);
            p += F - T;
        }
    }
    *phase = p;
    return 4 * out;
}
