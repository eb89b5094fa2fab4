// The arithmetic of "multiply" as inline bodies: the query loop inlines them, multiply.cpp's
// entry points call them.
#ifndef TOLQ_MULTIPLY_H
#define TOLQ_MULTIPLY_H

#include "_tolq.h"

// No parameters: the state is empty and takes no room in the record (data_size 0).
typedef struct multiply_state {
} multiply_state_t;

// The type reads both sources: TWO is the query loop's common signature.
template <bool TWO>
static inline float multiply_value(const multiply_state_t *, float a0, float a1)
{
    return a0 * a1;
}

// The sources' shares of the gradient `da`; it learns nothing.
template <bool TWO>
static inline void multiply_learn(multiply_state_t *, int, float, float da, float a0, float a1,
                                  float *share0, float *share1)
{
    *share0 = da * a1;
    *share1 = a0 * da;
}

#endif
