// The "multiply" interaction: the product of two source activations.
//
//   forward:  a = a0 * a1
//   reverse:  da0 += da * a1;  da1 += a0 * da   (one slot in both entries gets both shares)
//
// No parameters; it learns nothing.
#include "multiply.h"

static int initialize(PyInteraction_Object *interaction) noexcept
{
    interaction->data_size = 0;
    return 0;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples >= 1) {
        float a0 = graph_get_activation(g, interaction->sources[0], 0);
        float a1 = graph_get_activation(g, interaction->sources[1], 0);
        interaction->activation[0] =
            multiply_value<true>(type_state<multiply_state_t>(interaction), a0, a1);
    }
    return 0;
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    float a0 = graph_get_activation(g, interaction->sources[0], 0);
    float a1 = graph_get_activation(g, interaction->sources[1], 0);
    float share0, share1;
    multiply_learn<true>(type_state<multiply_state_t>(interaction), g->samples,
                         interaction->activation[0], interaction->da[0], a0, a1, &share0, &share1);
    graph_add_da(g, interaction->sources[0], 0, share0);
    graph_add_da(g, interaction->sources[1], 0, share1);
    return 0;
}

interaction_type multiply_typeobj = {
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
};
