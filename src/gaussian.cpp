// The "gaussian" interaction: a bell over one or two source activations, plain gradient steps.
//
//   forward:  a = exp(-((a0 - c0)^2 / w0 + (a1 - c1)^2 / w1))   (second term with two sources)
//   reverse:  dc = 2 da a (ak - ck) / wk;  dw = da a (ck - ak)^2 / wk^2;  dak -= dc
//             wk -= lr dw;  ck -= 4 lr dc;  a width at or below 0 is lifted to 1e-4
#include "gaussian.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(gaussian_state_t) == 20, "gaussian state is five floats");

static constexpr float_param params[] = {
    {"center0", offsetof(gaussian_state_t, center0)},
    {"center1", offsetof(gaussian_state_t, center1)},
    {"w0", offsetof(gaussian_state_t, w0)},
    {"w1", offsetof(gaussian_state_t, w1)},
    {nullptr, 0},
};

static constexpr float_param_names attributes(params);

static inline float rand_width(void)
{
    return (float)((double)(float)rand() * 0.5 / 2147483647.0);
}

static int initialize(PyInteraction_Object *interaction)
{
    gaussian_state_t *s = type_state<gaussian_state_t>(interaction);
    memset(s, 0, sizeof(*s));
    s->center0 = rand_unit();
    s->center1 = rand_unit();
    s->w0 = rand_width();
    s->w1 = rand_width();
    s->lr = gluamine_rate(1e-4, interaction->gluamine);
    interaction->data_size = sizeof(gaussian_state_t);
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    gaussian_state_t *s = type_state<gaussian_state_t>(interaction);
    if (n_samples < 1) {
        gaussian_step(s, 0.0f, 0.0f, 0.0f, 0.0f);
        return 0;
    }
    float da = interaction->da[0];
    float a = interaction->activation[0];
    graphlocation_t s0 = interaction->sources[0];
    graphlocation_t s1 = interaction->sources[1];
    float a0 = graph_get_activation(g, s0, 0);
    float share0, share1;
    if (interaction->sourcecount == 2) {
        gaussian_learn<true>(s, g->samples, a, da, a0, graph_get_activation(g, s1, 0), &share0,
                             &share1);
        graph_add_da(g, s0, 0, share0);
        graph_add_da(g, s1, 0, share1);
    } else {
        gaussian_learn<false>(s, g->samples, a, da, a0, 0.0f, &share0, &share1);
        graph_add_da(g, s0, 0, share0);
    }
    return 0;
}

// A name outside the parameters is refused, as by every type: taking it silently would
// report a misspelt width as set.
static int setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    return float_param_set(params, type_state<gaussian_state_t>(interaction), name, value);
}

static PyObject *getattr(PyInteraction_Object *interaction, const char *name)
{
    return float_param_get(params, type_state<gaussian_state_t>(interaction), name);
}

static const char *get_tooltip(PyInteraction_Object *interaction)
{
    static char buffer[128];
    gaussian_state_t *s = type_state<gaussian_state_t>(interaction);
    // Bounded: a text too long for the buffer is cut, never written past it.
    if (interaction->sourcecount == 1) {
        snprintf(buffer, sizeof(buffer), "center: %.2f\nwidth: %.2f", (double)s->center0,
                 (double)s->w0);
    } else {
        snprintf(buffer, sizeof(buffer), "center: %.2f, %.2f\nwidth: %.2f, %.2f",
                 (double)s->center0, (double)s->center1, (double)s->w0, (double)s->w1);
    }
    return buffer;
}

interaction_type gaussian_typeobj = {
    "gaussian",             /* type_name */
    initialize,             /* initialize */
    counted_forward<gaussian_state_t, gaussian_value<false>, gaussian_value<true>>, /* forward */
    reverse,                /* reverse */
    attributes.names,       /* attributes */
    setattr,                /* setattr */
    getattr,                /* getattr */
    get_tooltip,            /* get_tooltip */
    nullptr,                /* deallocate */
    nullptr,                /* set_inputarray */
    nullptr,                /* set_expectedarray */
    nullptr,                /* create_outputarray */
    nullptr,                /* set_loss */
    nullptr,                /* get_outputarray */
};
