// The "linear" interaction: a clamped weighted sum, trained with Adam.
//
//   forward:  a = clamp(bias + w0 a0 + w1 a1, -1, 1)        (w1 a1 only with two sources)
//   reverse:  dz = da (0 at the clamp, a = +-1);  da0 += dz w0;  da1 += dz w1;
//             w0 -= lr adam(a0 dz);  w1 -= lr adam(a1 dz);  bias -= lr adam(dz)
#include "linear.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(linear_state_t) == 40, "linear state is ten floats");

static int initialize(PyInteraction_Object *interaction)
{
    linear_state_t *s = type_state<linear_state_t>(interaction);
    memset(s, 0, sizeof(*s));
    s->w0 = rand_unit() - 0.5f;
    s->w1 = rand_unit() - 0.5f;
    s->lr = gluamine_rate(0.005, interaction->gluamine);
    interaction->data_size = sizeof(linear_state_t);
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
void linear_backpropagate(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples,
                          float dz) noexcept
{
    linear_state_t *s = type_state<linear_state_t>(interaction);
    if (n_samples < 1) {
        // Also without a sample: the moments decay and the parameters move by momentum.
        linear_adam(s, g->samples, 0.0f, 0.0f, 0.0f);
        return;
    }
    graphlocation_t s0 = interaction->sources[0];
    graphlocation_t s1 = interaction->sources[1];
    float a0 = graph_get_activation(g, s0, 0);
    float share0, share1;
    if (interaction->sourcecount == 2) {
        linear_learn_dz<true>(s, g->samples, a0, graph_get_activation(g, s1, 0), dz, &share0,
                              &share1);
        graph_add_da(g, s0, 0, share0);
        graph_add_da(g, s1, 0, share1);
    } else {
        linear_learn_dz<false>(s, g->samples, a0, 0.0f, dz, &share0, &share1);
        graph_add_da(g, s0, 0, share0);
    }
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    float dz = n_samples >= 1 ? linear_dz(interaction->activation[0], interaction->da[0]) : 0.0f;
    linear_backpropagate(g, interaction, n_samples, dz);
    return 0;
}

int linear_setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    return float_param_set(linear_params, type_state<linear_state_t>(interaction), name, value);
}

PyObject *linear_getattr(PyInteraction_Object *interaction, const char *name)
{
    return float_param_get(linear_params, type_state<linear_state_t>(interaction), name);
}

const char *linear_get_tooltip(PyInteraction_Object *interaction)
{
    static char buffer[128];
    linear_state_t *s = type_state<linear_state_t>(interaction);
    // Bounded: a text too long for the buffer is cut, never written past it.
    if (interaction->sourcecount == 1) {
        snprintf(buffer, sizeof(buffer), "w: %.2f\nbias: %.2f", (double)s->w0, (double)s->bias);
    } else {
        snprintf(buffer, sizeof(buffer), "w0: %.2f\nw1: %.2f\nbias: %.2f", (double)s->w0,
                 (double)s->w1, (double)s->bias);
    }
    return buffer;
}

interaction_type linear_typeobj = {
    "linear",               /* type_name */
    initialize,             /* initialize */
    counted_forward<linear_state_t, linear_value<false>, linear_value<true>>, /* forward */
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
