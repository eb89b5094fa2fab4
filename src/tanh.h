// The arithmetic of "tanh" as inline bodies (its backpropagation is linear's, from its own dz).
#ifndef TOLQ_TANH_H
#define TOLQ_TANH_H

#include "linear.h"

typedef linear_state_t tanh_state_t;  // same fields in the same order

template <bool TWO>
static inline float tanh_value(const tanh_state_t *s, float a0, float a1)
{
    float z = a0 * s->w0;
    if (TWO) {
        z = z + (a1 * s->w1);
    }
    z = z + s->bias;
    return tanhf(z);
}

// The tangent's derivative from its output.
static inline float tanh_dz(float a, float da)
{
    return (1.0f - (a * a)) * da;
}

// One sample's backpropagation with activation `a` and gradient `da`.
template <bool TWO>
static inline void tanh_learn(tanh_state_t *s, int samples, float a, float da, float a0, float a1,
                              float *share0, float *share1)
{
    linear_learn_dz<TWO>(s, samples, a0, a1, tanh_dz(a, da), share0, share1);
}

#endif
