// The "tanh" interaction: the hyperbolic tangent of a weighted sum, trained with Adam.
//
//   forward:  a = tanh(w0 a0 + w1 a1 + bias)                 (w1 a1 only with two sources)
//   reverse:  dz = (1 - a^2) da, then as linear: da0 += dz w0; da1 += dz w1; Adam steps
// Parameters, attributes and tooltip are those of "linear".
#include "_tolq.h"

#include <cstring>

typedef linear_state_t tanh_state_t;  // same fields in the same order

static inline tanh_state_t *state_of(PyInteraction_Object *interaction)
{
    return (tanh_state_t *)interaction->data;
}

static inline float rand_weight(void)
{
    return (((float)rand() * 10.0f) * 0x1p-31f) - 5.0f;
}

static int initialize(PyInteraction_Object *interaction)
{
    tanh_state_t *s = state_of(interaction);
    memset(s, 0, sizeof(*s));
    s->w0 = rand_weight();
    s->w1 = rand_weight();
    s->bias = rand_weight();
    s->lr = gluamine_rate(0.005, interaction->gluamine);
    interaction->data_size = sizeof(tanh_state_t);
    return 0;
}

template <bool TWO>
static int forward_sources(PyGraph_Object *g, PyInteraction_Object *interaction,
                           int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    tanh_state_t *s = state_of(interaction);
    float z = graph_get_activation(g, interaction->sources[0], 0) * s->w0;
    if (TWO) {
        z = z + graph_get_activation(g, interaction->sources[1], 0) * s->w1;
    }
    z = z + s->bias;
    interaction->activation[0] = tanhf(z);
    return 0;
}

template <bool TWO>
static int reverse_sources(PyGraph_Object *g, PyInteraction_Object *interaction,
                           int n_samples) noexcept
{
    float dz = 0.0f;
    if (n_samples >= 1) {
        float a = interaction->activation[0];
        dz = (1.0f - (a * a)) * interaction->da[0];  // the tangent's derivative from its output
    }
    linear_backpropagate<TWO>(g, interaction, n_samples, dz);
    return 0;
}

typedef counted_passes<forward_sources<false>, forward_sources<true>, reverse_sources<false>,
                       reverse_sources<true>>
    passes;

static interaction_type typeobj = {
    "tanh",                 /* type_name */
    initialize,             /* initialize */
    passes::forward,        /* forward */
    passes::reverse,        /* reverse */
    linear_attributes,      /* attributes */
    linear_setattr,         /* setattr */
    linear_getattr,         /* getattr */
    linear_get_tooltip,     /* get_tooltip */
    nullptr,                /* deallocate */
    nullptr,                /* set_inputarray */
    nullptr,                /* set_expectedarray */
    nullptr,                /* create_outputarray */
    nullptr,                /* set_loss */
    nullptr,                /* get_outputarray */
    nullptr,                /* next */
    SOURCES_COUNTED,        /* sources_read */
    passes::plan,           /* plan */
};

__attribute__((constructor)) static void init(void)
{
    tolq_add_interactiontype(&typeobj);
}
