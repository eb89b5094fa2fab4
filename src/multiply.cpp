// The "multiply" interaction: the product of two source activations.
//
//   forward:  a = a0 * a1
//   reverse:  da0 += da * a1;  da1 += a0 * da   (one slot in both entries gets both shares)
//
// No parameters; it learns nothing.
#include "_tolq.h"
#include "multiply.h"

typedef struct multiply_state {
} multiply_state_t;

static int initialize(PyInteraction_Object *interaction) noexcept
{
    interaction->data_size = 0;
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples >= 1) {
        interaction->activation[0] =
            multiply_value(graph_get_activation(g, interaction->sources[0], 0),
                           graph_get_activation(g, interaction->sources[1], 0));
    }
    return 0;
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    float share0, share1;
    multiply_shares(graph_get_activation(g, interaction->sources[0], 0),
                    graph_get_activation(g, interaction->sources[1], 0), interaction->da[0],
                    &share0, &share1);
    graph_add_da(g, interaction->sources[0], 0, share0);
    graph_add_da(g, interaction->sources[1], 0, share1);
    return 0;
}

static interaction_type typeobj = {
    "multiply",         /* type_name */
    initialize,         /* initialize */
    forward,            /* forward */
    reverse,            /* reverse */
    nullptr,            /* attributes */
    nullptr,            /* setattr */
    nullptr,            /* getattr */
    nullptr,            /* get_tooltip */
    nullptr,            /* deallocate */
    nullptr,            /* set_inputarray */
    nullptr,            /* set_expectedarray */
    nullptr,            /* create_outputarray */
    nullptr,            /* set_loss */
    nullptr,            /* get_outputarray */
    nullptr,            /* next */
    SOURCES_BOTH,       /* sources_read */
    FAMILY_MULTIPLY,        /* family */
};

__attribute__((constructor)) static void init(void)
{
    tolq_add_interactiontype(&typeobj);
}
