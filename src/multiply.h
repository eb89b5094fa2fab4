// The arithmetic of "multiply" as inline bodies: the query loop inlines them, multiply.cpp's
// entry points call them.
#ifndef TOLQ_MULTIPLY_H
#define TOLQ_MULTIPLY_H

static inline float multiply_value(float a0, float a1)
{
    return a0 * a1;
}

// The sources' shares of the gradient `da`.
static inline void multiply_shares(float a0, float a1, float da, float *share0, float *share1)
{
    *share0 = da * a1;
    *share1 = a0 * da;
}

#endif
