// The loss derivatives as inline bodies: the query loop inlines them, losses.cpp's entry
// points call them. Each gives d loss / d y_pred for one sample, y_true scaled into [-1, 1].
#ifndef TOLQ_LOSSES_H
#define TOLQ_LOSSES_H

#include "_tolq.h"

static inline float mae_dv(float y_true, float y_pred)
{
    return y_true >= y_pred ? -1.0f : 1.0f;  // NaN compares false: +1
}

static inline float mse_dv(float y_true, float y_pred)
{
    float d = y_pred - y_true;
    return d + d;
}

// The lowest value of the range scales to exactly -1: the negative class.
static inline float cce_dv(float y_true, float y_pred)
{
    return y_true == -1.0f ? y_pred + 1.0f : y_pred - 1.0f;
}

// Which loss an output register uses, resolved once per query.
enum loss_kind { LOSS_MAE, LOSS_MSE, LOSS_CCE };

static inline float loss_dv(enum loss_kind kind, float y_true, float y_pred)
{
    switch (kind) {
    case LOSS_MAE:
        return mae_dv(y_true, y_pred);
    case LOSS_CCE:
        return cce_dv(y_true, y_pred);
    case LOSS_MSE:
        break;
    }
    return mse_dv(y_true, y_pred);
}

#endif
