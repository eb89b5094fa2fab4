// The loss derivatives' entry points (the bodies are in losses.h).
#include "losses.h"

float mean_absolute_error(float y_true, float y_pred) noexcept
{
    return mae_dv(y_true, y_pred);
}

float mean_squared_error(float y_true, float y_pred) noexcept
{
    return mse_dv(y_true, y_pred);
}

float categorical_cross_entropy(float y_true, float y_pred) noexcept
{
    return cce_dv(y_true, y_pred);
}
