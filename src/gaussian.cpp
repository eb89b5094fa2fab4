// The "gaussian" interaction: a bell over one or two source activations, plain gradient steps.
//
//   forward:  a = exp(-((a0 - c0)^2 / w0 + (a1 - c1)^2 / w1))   (second term with two sources)
//   reverse:  dc = 2 da a (ak - ck) / wk;  dw = da a (ck - ak)^2 / wk^2;  dak -= dc
//             wk -= lr dw;  ck -= 4 lr dc;  a width at or below 0 is lifted to 1e-4
#include "_tolq.h"

#include <cstdio>
#include <cstring>

typedef struct gaussian_state {
    float center0;  // center along source 0
    float center1;  // center along source 1; used only with two sources
    float w0;       // width along source 0, kept above 0
    float w1;       // width along source 1, kept above 0
    float lr;       // learning rate of the widths; the centers move 4 times as far
} gaussian_state_t;

static_assert(sizeof(gaussian_state_t) == 20, "gaussian state is five floats");

static const char *attributes[] = {"center0", "center1", "w0", "w1", nullptr};

static const float min_width = 1e-4f;

static inline gaussian_state_t *state_of(PyInteraction_Object *interaction)
{
    return (gaussian_state_t *)interaction->data;
}

static inline float rand_width(void)
{
    return (float)((double)(float)rand() * 0.5 / 2147483647.0);
}

static int initialize(PyInteraction_Object *interaction)
{
    gaussian_state_t *s = state_of(interaction);
    memset(s, 0, sizeof(*s));
    s->center0 = rand_unit();
    s->center1 = rand_unit();
    s->w0 = rand_width();
    s->w1 = rand_width();
    s->lr = gluamine_rate(1e-4, interaction->gluamine);
    interaction->data_size = sizeof(gaussian_state_t);
    return 0;
}

template <bool TWO>
static int forward_sources(PyGraph_Object *g, PyInteraction_Object *interaction,
                           int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    gaussian_state_t *s = state_of(interaction);
    float d = graph_get_activation(g, interaction->sources[0], 0) - s->center0;
    float z = (d * d) / s->w0;
    if (TWO) {
        d = graph_get_activation(g, interaction->sources[1], 0) - s->center1;
        z = z + ((d * d) / s->w1);
    }
    interaction->activation[0] = expf(-z);
    return 0;
}

template <bool TWO>
static int reverse_sources(PyGraph_Object *g, PyInteraction_Object *interaction,
                           int n_samples) noexcept
{
    gaussian_state_t *s = state_of(interaction);
    float dc0_tot = 0.0f, dc1_tot = 0.0f, dw0_tot = 0.0f, dw1_tot = 0.0f;
    if (n_samples >= 1) {
        float da = interaction->da[0];
        float a = interaction->activation[0];
        graphlocation_t s0 = interaction->sources[0];
        float a0 = graph_get_activation(g, s0, 0);
        float dc0 = ((a0 - s->center0) * ((da + da) * a)) / s->w0;
        float dw0 = ((da * a) * ((s->center0 - a0) * (s->center0 - a0))) / (s->w0 * s->w0);
        dc0_tot += dc0;
        dw0_tot += dw0;
        graph_add_da(g, s0, 0, -dc0);
        if (TWO) {
            graphlocation_t s1 = interaction->sources[1];
            float a1 = graph_get_activation(g, s1, 0);
            float dw1 = ((da * a) * ((s->center1 - a1) * (s->center1 - a1))) / (s->w1 * s->w1);
            float dc1 = (((da + da) * a) * (a1 - s->center1)) / s->w1;
            dw1_tot += dw1;
            dc1_tot += dc1;
            graph_add_da(g, s1, 0, -dc1);
        }
    }
    s->w0 = s->w0 - (s->lr * dw0_tot);
    s->w1 = s->w1 - (s->lr * dw1_tot);
    s->center0 = s->center0 - ((s->lr * 4.0f) * dc0_tot);
    s->center1 = s->center1 - ((s->lr * 4.0f) * dc1_tot);
    if (s->w0 <= 0.0f) {
        s->w0 = min_width;
    }
    if (s->w1 <= 0.0f) {
        s->w1 = min_width;
    }
    return 0;
}

typedef counted_passes<forward_sources<false>, forward_sources<true>, reverse_sources<false>,
                       reverse_sources<true>>
    passes;

static const float_param params[] = {
    {"center0", offsetof(gaussian_state_t, center0)},
    {"center1", offsetof(gaussian_state_t, center1)},
    {"w0", offsetof(gaussian_state_t, w0)},
    {"w1", offsetof(gaussian_state_t, w1)},
    {nullptr, 0},
};

// An unlisted name is accepted and changes nothing.
static int setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    return float_param_set(params, state_of(interaction), name, value) < 0 ? -1 : 0;
}

static PyObject *getattr(PyInteraction_Object *interaction, const char *name)
{
    return float_param_get(params, state_of(interaction), name);
}

static const char *get_tooltip(PyInteraction_Object *interaction)
{
    static char buffer[128];
    gaussian_state_t *s = state_of(interaction);
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

static interaction_type typeobj = {
    "gaussian",             /* type_name */
    initialize,             /* initialize */
    passes::forward,        /* forward */
    passes::reverse,        /* reverse */
    attributes,             /* attributes */
    setattr,                /* setattr */
    getattr,                /* getattr */
    get_tooltip,            /* get_tooltip */
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
