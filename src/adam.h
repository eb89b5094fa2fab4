// The Adam step as an inline body: the query loop inlines it, opt_adam.cpp's adam_step calls it.
#ifndef TOLQ_ADAM_H
#define TOLQ_ADAM_H

#include "_tolq.h"

// One Adam update of one scalar parameter; the caller applies param -= lr * step.
static inline float adam_update(adam *state, int nsamples, float grad)
{
    const float b1 = 0.9f;
    const float b2 = 0.999f;
    state->m1 = (state->m1 * b1) + ((1.0f - b1) * grad);
    state->m2 = (b2 * state->m2) + (((1.0f - b2) * grad) * grad);
    float t = (float)nsamples;
    float m1_unbiased = state->m1;
    float m2_unbiased = state->m2;
    // Bias correction fades out in two stages; the moments are stored uncorrected.
    if (nsamples < 20) {
        m1_unbiased = state->m1 / (1.0f - powf(b1, t));
        m2_unbiased = state->m2 / (1.0f - powf(b2, t));
    } else if (nsamples < 1000) {
        m2_unbiased = state->m2 / (1.0f - powf(b2, t));
    }
    float r = sqrtf(m2_unbiased);
    return (float)((double)m1_unbiased / ((double)r + 1e-6));  // epsilon after the root
}

#endif
