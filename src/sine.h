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

static inline float sine_value(const sine_state_t *s, float v)
{
    return sinf((v * s->k) + s->x0);
}

static inline void sine_step(sine_state_t *s, float dx0, float dk)
{
    s->x0 = s->x0 - (dx0 * s->lr);
    s->k = s->k - (dk * (s->lr + s->lr));
}

// One sample's backpropagation: the source's share into *share, then the step.
static inline void sine_learn(sine_state_t *s, float v, float da, float *share)
{
    float c = cosf((s->k * v) + s->x0);
    *share = c * (s->k * da);
    sine_step(s, 0.0f + (c * da), 0.0f + ((v * da) * c));
}

#endif
