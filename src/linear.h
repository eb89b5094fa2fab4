// The state and arithmetic of "linear", and the backpropagation it shares with "tanh", as
// inline bodies: the query loop inlines them, linear.cpp's entry points call them.
#ifndef TOLQ_LINEAR_H
#define TOLQ_LINEAR_H

#include "adam.h"

// A weighted sum of one or two sources plus a bias, trained with Adam; "tanh" has the same
// state.
typedef struct linear_state {
    float w0;        // weight of source 0
    float w1;        // weight of source 1; used only with two sources
    float bias;      // added to the weighted sum
    adam w0_adam;    // Adam moments of w0
    adam w1_adam;    // Adam moments of w1
    adam bias_adam;  // Adam moments of bias
    float lr;        // learning rate, fixed at initialize
} linear_state_t;

// The parameters of "linear" and "tanh", and the entry points both use (linear.cpp).
inline constexpr float_param linear_params[] = {
    {"w0", offsetof(linear_state_t, w0)},
    {"w1", offsetof(linear_state_t, w1)},
    {"bias", offsetof(linear_state_t, bias)},
    {nullptr, 0},
};
inline constexpr float_param_names linear_attributes(linear_params);
int linear_setattr(PyInteraction_Object *interaction, const char *name, PyObject *value);
PyObject *linear_getattr(PyInteraction_Object *interaction, const char *name);
const char *linear_get_tooltip(PyInteraction_Object *interaction);
// Passes dz to the sources and takes one Adam step on each parameter.
void linear_backpropagate(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples,
                          float dz) noexcept;

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

// One sample's backpropagation from the weighted sum's gradient dz: the sources' shares
// (from the weights before the update) into *share0 and, with two sources, *share1, then the
// Adam steps.
template <bool TWO>
static inline void linear_learn_dz(linear_state_t *s, int samples, float a0, float a1, float dz,
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

// One sample's backpropagation with activation `a` and gradient `da`.
template <bool TWO>
static inline void linear_learn(linear_state_t *s, int samples, float a, float da, float a0,
                              float a1, float *share0, float *share1)
{
    linear_learn_dz<TWO>(s, samples, a0, a1, linear_dz(a, da), share0, share1);
}

#endif
