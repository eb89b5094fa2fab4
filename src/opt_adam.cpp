// One Adam update of one scalar parameter (the body is in adam.h, inlined by the query loop).
#include "adam.h"

float adam_step(adam *state, int nsamples, float grad) noexcept
{
    return adam_update(state, nsamples, grad);
}
