// The state and arithmetic of "sine" as inline bodies: the query loop inlines them,
// sine.cpp's entry points call them.
#ifndef TOLQ_SINE_H
#define TOLQ_SINE_H

#include "_tolq.h"

typedef struct sine_state {
    float x0;  // phase offset
    float k;   // frequency factor
    float lr;  // learning rate of x0; k moves with twice this
} sine_state_t;

// The type reads source 0 only: TWO and a1 are the query loop's common signature.
template <bool TWO>
static inline float sine_value(const sine_state_t *s, float a0, float)
{
    return sinf((a0 * s->k) + s->x0);
}

static inline void sine_step(sine_state_t *s, float dx0, float dk)
{
    s->x0 = s->x0 - (dx0 * s->lr);
    s->k = s->k - (dk * (s->lr + s->lr));
}

// One sample's backpropagation with gradient `da`: source 0's share into *share0, then the
// step. Plain steps from the source alone: no step count, no activation.
template <bool TWO>
static inline void sine_learn(sine_state_t *s, int, float, float da, float a0, float, float *share0,
                              float *)
{
    float c = cosf((s->k * a0) + s->x0);
    *share0 = c * (s->k * da);
    sine_step(s, 0.0f + (c * da), 0.0f + ((a0 * da) * c));
}

#endif
