// The loss derivatives: each gives d loss / d y_pred for one sample, y_true scaled into [-1, 1].
#include "_tolq.h"

float mean_absolute_error(float y_true, float y_pred) noexcept
{
    return y_true >= y_pred ? -1.0f : 1.0f;  // NaN compares false: +1
}

float mean_squared_error(float y_true, float y_pred) noexcept
{
    float d = y_pred - y_true;
    return d + d;
}

// The lowest value of the range scales to exactly -1: the negative class.
float categorical_cross_entropy(float y_true, float y_pred) noexcept
{
    return y_true == -1.0f ? y_pred + 1.0f : y_pred - 1.0f;
}
