// The arithmetic of "tanh" as inline bodies (its backpropagation is linear_learn).
#ifndef TOLQ_TANH_H
#define TOLQ_TANH_H

#include "linear.h"

template <bool TWO>
static inline float tanh_value(const linear_state_t *s, float a0, float a1)
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

#endif
