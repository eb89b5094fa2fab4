// The state and arithmetic of "gaussian" as inline bodies: the query loop inlines them,
// gaussian.cpp's entry points call them.
#ifndef TOLQ_GAUSSIAN_H
#define TOLQ_GAUSSIAN_H

#include "_tolq.h"

typedef struct gaussian_state {
    float center0;  // center along source 0
    float center1;  // center along source 1; used only with two sources
    float w0;       // width along source 0, kept above 0
    float w1;       // width along source 1, kept above 0
    float lr;       // learning rate of the widths; the centers move 4 times as far
} gaussian_state_t;

template <bool TWO>
static inline float gaussian_value(const gaussian_state_t *s, float a0, float a1)
{
    float d = a0 - s->center0;
    float z = (d * d) / s->w0;
    if (TWO) {
        d = a1 - s->center1;
        z = z + ((d * d) / s->w1);
    }
    return expf(-z);
}

// Plain gradient steps from the sums of the batch; a width at or below 0 is lifted to 1e-4.
static inline void gaussian_step(gaussian_state_t *s, float dc0, float dc1, float dw0, float dw1)
{
    s->w0 = s->w0 - (s->lr * dw0);
    s->w1 = s->w1 - (s->lr * dw1);
    s->center0 = s->center0 - ((s->lr * 4.0f) * dc0);
    s->center1 = s->center1 - ((s->lr * 4.0f) * dc1);
    if (s->w0 <= 0.0f) {
        s->w0 = 1e-4f;
    }
    if (s->w1 <= 0.0f) {
        s->w1 = 1e-4f;
    }
}

// One sample's backpropagation with activation `a` and gradient `da`: the sources' shares
// into *share0 (and *share1 with two sources), then the step. Plain steps: no step count.
template <bool TWO>
static inline void gaussian_learn(gaussian_state_t *s, int, float a, float da, float a0, float a1,
                                  float *share0, float *share1)
{
    float dc0 = ((a0 - s->center0) * ((da + da) * a)) / s->w0;
    float dw0 = ((da * a) * ((s->center0 - a0) * (s->center0 - a0))) / (s->w0 * s->w0);
    float dc1 = 0.0f, dw1 = 0.0f;
    *share0 = -dc0;
    if (TWO) {
        dw1 = ((da * a) * ((s->center1 - a1) * (s->center1 - a1))) / (s->w1 * s->w1);
        dc1 = (((da + da) * a) * (a1 - s->center1)) / s->w1;
        *share1 = -dc1;
    }
    gaussian_step(s, 0.0f + dc0, 0.0f + dc1, 0.0f + dw0, 0.0f + dw1);
}

#endif
