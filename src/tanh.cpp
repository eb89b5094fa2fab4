// The "tanh" interaction: the hyperbolic tangent of a weighted sum, trained with Adam.
//
//   forward:  a = tanh(w0 a0 + w1 a1 + bias)                 (w1 a1 only with two sources)
//   reverse:  dz = (1 - a^2) da, then as linear: da0 += dz w0; da1 += dz w1; Adam steps
// Parameters, attributes and tooltip are those of "linear".
#include "tanh.h"

#include <cstring>

static inline float rand_weight(void)
{
    return (((float)rand() * 10.0f) * 0x1p-31f) - 5.0f;
}

static int initialize(PyInteraction_Object *interaction)
{
    tanh_state_t *s = type_state<tanh_state_t>(interaction);
    memset(s, 0, sizeof(*s));
    s->w0 = rand_weight();
    s->w1 = rand_weight();
    s->bias = rand_weight();
    s->lr = gluamine_rate(0.005, interaction->gluamine);
    interaction->data_size = sizeof(tanh_state_t);
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    float dz = n_samples >= 1 ? tanh_dz(interaction->activation[0], interaction->da[0]) : 0.0f;
    linear_backpropagate(g, interaction, n_samples, dz);
    return 0;
}

interaction_type tanh_typeobj = {
    "tanh",                 /* type_name */
    initialize,             /* initialize */
    counted_forward<tanh_state_t, tanh_value<false>, tanh_value<true>>, /* forward */
    reverse,                /* reverse */
    linear_attributes.names, /* attributes */
    linear_setattr,         /* setattr */
    linear_getattr,         /* getattr */
    linear_get_tooltip,     /* get_tooltip */
    nullptr,                /* deallocate */
    nullptr,                /* set_inputarray */
    nullptr,                /* set_expectedarray */
    nullptr,                /* create_outputarray */
    nullptr,                /* set_loss */
    nullptr,                /* get_outputarray */
};
