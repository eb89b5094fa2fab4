// The arithmetic of "linear" (and the backpropagation it shares with "tanh") as inline
// bodies: the query loop inlines them, linear.cpp's entry points call them.
#ifndef TOLQ_LINEAR_H
#define TOLQ_LINEAR_H

#include "adam.h"

template <bool TWO>
static inline float linear_value(const linear_state_t *s, float a0, float a1)
{
    float z = a0 * s->w0;
    if (TWO) {
        z = z + (a1 * s->w1);
    }
    z = s->bias + z;
    return z > 1.0f ? 1.0f : (z < -1.0f ? -1.0f : z);
}

// A clamped node (activation exactly +-1) passes nothing back: letting its da through made
// the weights grow without bound on real data. Adam still moves the parameters by momentum.
static inline float linear_dz(float a, float da)
{
    return (a == 1.0f || a == -1.0f) ? 0.0f : da;
}

// One Adam step on each parameter, from the gradient sums of the batch.
static inline void linear_adam(linear_state_t *s, int samples, float dw0, float dw1, float dbias)
{
    s->w0 = s->w0 - s->lr * adam_update(&s->w0_adam, samples, dw0);
    s->w1 = s->w1 - s->lr * adam_update(&s->w1_adam, samples, dw1);
    s->bias = s->bias - s->lr * adam_update(&s->bias_adam, samples, dbias);
}

// One sample's backpropagation: the sources' shares (from the weights before the update)
// into *share0 and, with two sources, *share1, then the Adam steps.
template <bool TWO>
static inline void linear_learn(linear_state_t *s, int samples, float a0, float a1, float dz,
                                float *share0, float *share1)
{
    float dw0 = 0.0f + (a0 * dz);
    float dw1 = TWO ? 0.0f + (a1 * dz) : 0.0f;
    float dbias = 0.0f + dz;
    *share0 = dz * s->w0;
    if (TWO) {
        *share1 = dz * s->w1;
    }
    linear_adam(s, samples, dw0, dw1, dbias);
}

#endif
