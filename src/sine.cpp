// The "sine" interaction: a sine wave over source 0, plain gradient steps.
//
//   forward:  a = sin(k v + x0)
//   reverse:  c = cos(k v + x0);  dv += c k da;  x0 -= lr c da;  k -= 2 lr v da c
#include "sine.h"

#include <cstdio>
#include <cstring>

static_assert(sizeof(sine_state_t) == 12, "sine state is three floats");

static constexpr float_param params[] = {
    {"x0", offsetof(sine_state_t, x0)},
    {"k", offsetof(sine_state_t, k)},
    {nullptr, 0},
};

static constexpr float_param_names attributes(params);

static int initialize(PyInteraction_Object *interaction)
{
    sine_state_t *s = type_state<sine_state_t>(interaction);
    memset(s, 0, sizeof(*s));
    s->k = (float)((double)(rand() % 3 + 1) * 3.141592653589793);  // pi, 2 pi or 3 pi
    s->lr = gluamine_rate(0.01, interaction->gluamine);
    interaction->data_size = sizeof(sine_state_t);
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples >= 1) {
        const sine_state_t *s = type_state<sine_state_t>(interaction);
        float v = graph_get_activation(g, interaction->sources[0], 0);
        interaction->activation[0] = sine_value<false>(s, v, 0.0f);
    }
    return 0;
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    sine_state_t *s = type_state<sine_state_t>(interaction);
    if (n_samples < 1) {
        sine_step(s, 0.0f, 0.0f);
        return 0;
    }
    float share0, share1;
    sine_learn<false>(s, g->samples, interaction->activation[0], interaction->da[0],
                      graph_get_activation(g, interaction->sources[0], 0), 0.0f, &share0, &share1);
    graph_add_da(g, interaction->sources[0], 0, share0);
    return 0;
}

// A name outside the parameters is refused, as by every type: taking it silently would
// report a misspelt parameter as set.
static int setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    return float_param_set(params, type_state<sine_state_t>(interaction), name, value);
}

static PyObject *getattr(PyInteraction_Object *interaction, const char *name)
{
    return float_param_get(params, type_state<sine_state_t>(interaction), name);
}

static const char *get_tooltip(PyInteraction_Object *interaction)
{
    static char buffer[100];  // the longest text, two extreme floats with signs, needs 95
    sine_state_t *s = type_state<sine_state_t>(interaction);
    snprintf(buffer, sizeof(buffer), "x0: %.2f\nk: %.2f", (double)s->x0, (double)s->k);
    return buffer;
}

interaction_type sine_typeobj = {
    "sine",                 /* type_name */
    initialize,             /* initialize */
    forward,                /* forward */
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
