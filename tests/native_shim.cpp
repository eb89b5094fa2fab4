// Plain C entry points over the loss derivatives and the Adam step, so tests can call them
// through ctypes; built by the tests beside the module, never part of it.
#include "_tolq.h"

extern "C" {

float shim_adam_step(adam *state, int nsamples, float grad)
{
    return adam_step(state, nsamples, grad);
}

float shim_mean_absolute_error(float y_true, float y_pred)
{
    return mean_absolute_error(y_true, y_pred);
}

float shim_mean_squared_error(float y_true, float y_pred)
{
    return mean_squared_error(y_true, y_pred);
}

float shim_categorical_cross_entropy(float y_true, float y_pred)
{
    return categorical_cross_entropy(y_true, y_pred);
}

}
