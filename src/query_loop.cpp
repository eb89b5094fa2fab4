// The query loop. Every slot is resolved once per query to a step of a closed set of kinds;
// the loop dispatches on the kind with a switch to the types' inline bodies, so that the
// value one step computes reaches the next step in a register while it is also stored in
// the record (activation and da read after the query as they always did). A type outside
// the set runs through its table's passes.
//
// Blocks: a prediction changes no parameter, so it runs each slot over a block of samples
// before the next slot, and the libm calls of a block overlap instead of waiting on each
// other. Training scales a block's inputs and expected values ahead of its per-sample
// passes. Either way each sample's arithmetic is that of the per-sample loop, and a block
// holding a value that is not finite runs sample by sample, so that the error and the point
// where the query stops are the same.
#include "query_loop.h"

#include <climits>

#include "gaussian.h"
#include "linear.h"
#include "losses.h"
#include "multiply.h"
#include "register.h"
#include "register_cat.h"
#include "sine.h"
#include "tanh.h"

// Set from the environment at module start: every slot runs through its table's passes, so
// that the tests can hold the inline loop and the table's entry points to the same bits.
static bool table_passes_only = false;

void query_loop_init(void)
{
    const char *v = getenv("TOLQ_TABLE_PASSES");
    table_passes_only = v != nullptr && v[0] != '\0' && strcmp(v, "0") != 0;
}

// The output's loss as a loss_kind; false for a function the loop does not know.
static bool loss_kind_of(loss_func f, int *kind)
{
    if (f == mean_absolute_error) {
        *kind = LOSS_MAE;
    } else if (f == mean_squared_error) {
        *kind = LOSS_MSE;
    } else if (f == categorical_cross_entropy) {
        *kind = LOSS_CCE;
    } else {
        return false;
    }
    return true;
}

static enum step_kind kind_of(PyInteraction_Object *x, int tune, int *loss)
{
    bool input = x->sources[0] == -1;
    bool two = x->sourcecount == 2;
    switch (x->typeobj->family) {
    case FAMILY_FIXED: {
        register_state_t *s = type_state<register_state_t>(x);
        bool output = s->py_outputarray != nullptr;
        // Training: the register holding the result is the one holding the expected values.
        if (tune && (output != (s->py_expectedarray != nullptr) ||
                     (output && !loss_kind_of(x->loss_dv_f, loss)))) {
            return STEP_TABLE;
        }
        if (input) {
            return output ? STEP_INPUT_OUTPUT : STEP_INPUT;
        }
        return output ? STEP_OUTPUT : STEP_PASS;
    }
    case FAMILY_CAT:
        return input ? STEP_CAT_INPUT : STEP_CAT_PASS;
    case FAMILY_LINEAR:
        return two ? STEP_LINEAR2 : STEP_LINEAR1;
    case FAMILY_TANH:
        return two ? STEP_TANH2 : STEP_TANH1;
    case FAMILY_GAUSSIAN:
        return two ? STEP_GAUSSIAN2 : STEP_GAUSSIAN1;
    case FAMILY_SINE:
        return STEP_SINE;
    case FAMILY_MULTIPLY:
        return STEP_MULTIPLY;
    default:
        return STEP_TABLE;
    }
}

static int sources_of(enum step_kind kind)
{
    switch (kind) {
    case STEP_INPUT:
    case STEP_INPUT_OUTPUT:
    case STEP_CAT_INPUT:
    case STEP_TABLE:
        return 0;
    case STEP_LINEAR2:
    case STEP_TANH2:
    case STEP_GAUSSIAN2:
    case STEP_MULTIPLY:
        return 2;
    default:
        return 1;
    }
}

// Samples per block for a query of `count` samples.
static inline int block_length(npy_intp count)
{
    return count < QUERY_BLOCK ? (int)count : QUERY_BLOCK;
}

size_t query_resolve(PyGraph_Object *g, int tune, npy_intp count)
{
    int n = g->size;
    // An interaction in two slots shares one record: values must then go through it. Its
    // location names only the later slot (or another graph), which shows in the earlier one.
    bool shared = false;
    for (int i = 0; i < n; i++) {
        shared = shared || g->interactions[i]->location != i || g->interactions[i]->graph != g;
    }
    for (int i = 0; i < n; i++) {
        PyInteraction_Object *x = g->interactions[i];
        query_step *st = &g->steps[i];
        st->x = x;
        st->loss = LOSS_MSE;
        st->kind = table_passes_only ? STEP_TABLE : kind_of(x, tune, &st->loss);
        int sources = sources_of(st->kind);
        st->loc0 = x->sources[0];
        st->loc1 = x->sources[1];
        st->src0 = sources >= 1 ? g->interactions[st->loc0] : nullptr;
        st->src1 = sources >= 2 ? g->interactions[st->loc1] : nullptr;
        st->src0_prev = !shared && sources >= 1 && st->loc0 == i - 1;
        st->src1_prev = !shared && sources >= 2 && st->loc1 == i - 1;
        st->da_from_next = false;
        if (i > 0) {
            g->steps[i - 1].da_from_next = st->src0_prev || st->src1_prev;
        }
    }
    // Blocks need every step's inline body; a prediction by slot also needs every value to
    // come from an earlier slot of this sample and to live in one record of its own.
    for (int i = 0; i < n; i++) {
        const query_step *st = &g->steps[i];
        if (st->kind == STEP_TABLE) {
            return 0;
        }
        if (!tune && (shared || (st->src0 != nullptr && st->loc0 >= i) ||
                      (st->src1 != nullptr && st->loc1 >= i))) {
            return 0;
        }
    }
    return (size_t)(n + 1) * (size_t)block_length(count);
}

// One sample's forward pass; SCALED: the inputs come scaled from the block's columns, at `k`.
template <bool SCALED>
static inline int forward_sample(PyGraph_Object *g, const query_step *steps, int n, int k)
{
    float prev = 0.0f;  // the value of the step before
    for (int i = 0; i < n; i++) {
        const query_step *st = &steps[i];
        PyInteraction_Object *x = st->x;
        float a0 = st->src0_prev ? prev : (st->src0 ? st->src0->activation[0] : 0.0f);
        float a1 = st->src1_prev ? prev : (st->src1 ? st->src1->activation[0] : 0.0f);
        float v;
        x->da[0] = 0.0f;
        switch (st->kind) {
        case STEP_INPUT:
        case STEP_INPUT_OUTPUT: {
            register_state_t *s = type_state<register_state_t>(x);
            if (SCALED) {
                v = st->col[k];
            } else if (register_read_input(g, x, s, &v) < 0) {
                return -1;
            }
            if (st->kind == STEP_INPUT_OUTPUT) {
                register_write_output(s, v);
            }
            s->array_index++;
            break;
        }
        case STEP_PASS:
            v = a0;
            type_state<register_state_t>(x)->array_index++;
            break;
        case STEP_OUTPUT:
            v = a0;
            register_write_output(type_state<register_state_t>(x), v);
            type_state<register_state_t>(x)->array_index++;
            break;
        case STEP_CAT_INPUT:
            v = cat_read_input(type_state<register_cat_state_t>(x));
            type_state<register_cat_state_t>(x)->array_index++;
            break;
        case STEP_CAT_PASS:
            v = a0;
            break;
        case STEP_LINEAR1:
            v = linear_value<false>(type_state<linear_state_t>(x), a0, a1);
            break;
        case STEP_LINEAR2:
            v = linear_value<true>(type_state<linear_state_t>(x), a0, a1);
            break;
        case STEP_TANH1:
            v = tanh_value<false>(type_state<linear_state_t>(x), a0, a1);
            break;
        case STEP_TANH2:
            v = tanh_value<true>(type_state<linear_state_t>(x), a0, a1);
            break;
        case STEP_GAUSSIAN1:
            v = gaussian_value<false>(type_state<gaussian_state_t>(x), a0, a1);
            break;
        case STEP_GAUSSIAN2:
            v = gaussian_value<true>(type_state<gaussian_state_t>(x), a0, a1);
            break;
        case STEP_SINE:
            v = sine_value(type_state<sine_state_t>(x), a0);
            break;
        case STEP_MULTIPLY:
            v = multiply_value(a0, a1);
            break;
        default:
            if (x->typeobj->forward(g, x, 1) != 0) {
                return -1;
            }
            v = x->activation[0];
            break;
        }
        x->activation[0] = v;
        prev = v;
    }
    return 0;
}

// Adds a share to a source's da; the slot before keeps the sum in a register.
static inline void add_share(PyInteraction_Object *src, bool prev, float share, float *next_da)
{
    float v = src->da[0] + share;
    src->da[0] = v;
    if (prev) {
        *next_da = v;
    }
}

// One sample's reverse pass, with `samples` the Adam step count; SCALED: the expected value
// comes scaled from the block's column, at `k`.
template <bool SCALED>
static inline int reverse_sample(PyGraph_Object *g, const query_step *steps, int n, int samples,
                                 int k)
{
    float next_da = 0.0f;  // the da the step after finished writing for this one
    for (int i = n - 1; i >= 0; i--) {
        const query_step *st = &steps[i];
        PyInteraction_Object *x = st->x;
        float da = st->da_from_next ? next_da : x->da[0];
        float a = x->activation[0];
        float a0 = st->src0 ? st->src0->activation[0] : 0.0f;
        float a1 = st->src1 ? st->src1->activation[0] : 0.0f;
        float share0 = 0.0f, share1 = 0.0f;
        switch (st->kind) {
        case STEP_INPUT:
            continue;
        case STEP_INPUT_OUTPUT:
        case STEP_OUTPUT: {
            float t;
            if (SCALED) {
                t = st->expected[k];
            } else if (register_read_expected(g, x, type_state<register_state_t>(x), &t) < 0) {
                return -1;
            }
            if (st->kind == STEP_OUTPUT) {
                float grad = loss_dv((enum loss_kind)st->loss, t, a);
                st->src0->da[0] = grad;
                if (st->src0_prev) {
                    next_da = grad;
                }
            }
            continue;
        }
        case STEP_PASS:
        case STEP_CAT_PASS:
            share0 = da;
            break;
        case STEP_CAT_INPUT:
            cat_learn(type_state<register_cat_state_t>(x), da);
            continue;
        case STEP_LINEAR1:
            linear_learn<false>(type_state<linear_state_t>(x), samples, a0, a1, linear_dz(a, da), &share0, &share1);
            break;
        case STEP_LINEAR2:
            linear_learn<true>(type_state<linear_state_t>(x), samples, a0, a1, linear_dz(a, da), &share0, &share1);
            break;
        case STEP_TANH1:
            linear_learn<false>(type_state<linear_state_t>(x), samples, a0, a1, tanh_dz(a, da), &share0, &share1);
            break;
        case STEP_TANH2:
            linear_learn<true>(type_state<linear_state_t>(x), samples, a0, a1, tanh_dz(a, da), &share0, &share1);
            break;
        case STEP_GAUSSIAN1:
            gaussian_learn<false>(type_state<gaussian_state_t>(x), a, da, a0, a1, &share0, &share1);
            break;
        case STEP_GAUSSIAN2:
            gaussian_learn<true>(type_state<gaussian_state_t>(x), a, da, a0, a1, &share0, &share1);
            break;
        case STEP_SINE:
            sine_learn(type_state<sine_state_t>(x), a0, da, &share0);
            break;
        case STEP_MULTIPLY:
            multiply_shares(a0, a1, da, &share0, &share1);
            break;
        default:
            if (x->typeobj->reverse(g, x, 1) != 0) {
                return -1;
            }
            continue;
        }
        add_share(st->src0, st->src0_prev, share0, &next_da);
        if (st->src1 != nullptr) {
            add_share(st->src1, st->src1_prev, share1, &next_da);
        }
    }
    return 0;
}

static inline bool is_input(const query_step *st)
{
    return st->kind == STEP_INPUT || st->kind == STEP_INPUT_OUTPUT;
}

static inline bool is_output(const query_step *st)
{
    return st->kind == STEP_OUTPUT || st->kind == STEP_INPUT_OUTPUT;
}

static bool finite_column(PyArrayObject *array, int from, int len)
{
    for (int k = 0; k < len; k++) {
        if (!std::isfinite(*register_element(array, from + k))) {
            return false;
        }
    }
    return true;
}

// Whether the next `len` inputs (and expected values, EXPECTED) are all finite.
static bool block_finite(const query_step *steps, int n, int len, bool expected)
{
    for (int i = 0; i < n; i++) {
        register_state_t *s = type_state<register_state_t>(steps[i].x);
        if (is_input(&steps[i]) && !finite_column(s->py_inputarray, s->array_index, len)) {
            return false;
        }
        if (expected && is_output(&steps[i]) &&
            !finite_column(s->py_expectedarray, s->array_index, len)) {
            return false;
        }
    }
    return true;
}

// Scales the next `len` inputs and expected values into the steps' columns.
static void scale_block(const query_step *steps, int n, int len)
{
    for (int i = 0; i < n; i++) {
        const query_step *st = &steps[i];
        register_state_t *s = type_state<register_state_t>(st->x);
        if (is_input(st)) {
            for (int k = 0; k < len; k++) {
                st->col[k] = register_scale_in(st->x, s, *register_element(s->py_inputarray,
                                                                           s->array_index + k));
            }
        }
        if (is_output(st)) {
            for (int k = 0; k < len; k++) {
                st->expected[k] = register_scale_in(
                    st->x, s, *register_element(s->py_expectedarray, s->array_index + k));
            }
        }
    }
}

template <typename F>
static inline void fill(float *c, int len, F value)
{
    for (int k = 0; k < len; k++) {
        c[k] = value(k);
    }
}

// A prediction over `len` samples, slot by slot; each record ends with its last sample.
static void predict_block(const query_step *steps, int n, int len)
{
    for (int i = 0; i < n; i++) {
        const query_step *st = &steps[i];
        PyInteraction_Object *x = st->x;
        float *c = st->col;
        const float *c0 = st->src0 != nullptr ? steps[st->loc0].col : nullptr;
        const float *c1 = st->src1 != nullptr ? steps[st->loc1].col : nullptr;
        const linear_state_t *linear_state = type_state<linear_state_t>(x);
        const gaussian_state_t *gaussian = type_state<gaussian_state_t>(x);
        switch (st->kind) {
        case STEP_INPUT:
        case STEP_INPUT_OUTPUT: {
            register_state_t *s = type_state<register_state_t>(x);
            for (int k = 0; k < len; k++) {
                c[k] = register_scale_in(x, s, *register_element(s->py_inputarray,
                                                                 s->array_index + k));
            }
            if (st->kind == STEP_INPUT) {
                s->array_index += len;
                break;
            }
            for (int k = 0; k < len; k++, s->array_index++) {
                register_write_output(s, c[k]);
            }
            break;
        }
        case STEP_PASS:
        case STEP_OUTPUT: {
            register_state_t *s = type_state<register_state_t>(x);
            memcpy(c, c0, (size_t)len * sizeof(float));
            if (st->kind == STEP_PASS) {
                s->array_index += len;
                break;
            }
            for (int k = 0; k < len; k++, s->array_index++) {
                register_write_output(s, c[k]);
            }
            break;
        }
        case STEP_CAT_INPUT:
            for (int k = 0; k < len; k++, type_state<register_cat_state_t>(x)->array_index++) {
                c[k] = cat_read_input(type_state<register_cat_state_t>(x));  // the weights as they stand: no step changes them
            }
            break;
        case STEP_CAT_PASS:
            memcpy(c, c0, (size_t)len * sizeof(float));
            break;
        case STEP_LINEAR1:
            fill(c, len, [&](int k) { return linear_value<false>(linear_state, c0[k], 0.0f); });
            break;
        case STEP_LINEAR2:
            fill(c, len, [&](int k) { return linear_value<true>(linear_state, c0[k], c1[k]); });
            break;
        case STEP_TANH1:
            fill(c, len, [&](int k) { return tanh_value<false>(linear_state, c0[k], 0.0f); });
            break;
        case STEP_TANH2:
            fill(c, len, [&](int k) { return tanh_value<true>(linear_state, c0[k], c1[k]); });
            break;
        case STEP_GAUSSIAN1:
            fill(c, len, [&](int k) { return gaussian_value<false>(gaussian, c0[k], 0.0f); });
            break;
        case STEP_GAUSSIAN2:
            fill(c, len, [&](int k) { return gaussian_value<true>(gaussian, c0[k], c1[k]); });
            break;
        case STEP_SINE:
            fill(c, len, [&](int k) { return sine_value(type_state<sine_state_t>(x), c0[k]); });
            break;
        case STEP_MULTIPLY:
            fill(c, len, [&](int k) { return multiply_value(c0[k], c1[k]); });
            break;
        default:  // a table step never runs in blocks
            break;
        }
        x->activation[0] = c[len - 1];
        x->da[0] = 0.0f;
    }
}

// One sample, forward and, when training, reverse.
template <bool SCALED>
static inline int run_sample(PyGraph_Object *g, const query_step *steps, int n, int tune, int k)
{
    if (forward_sample<SCALED>(g, steps, n, k) != 0) {
        return -1;
    }
    if (!tune) {
        return 0;
    }
    if (g->samples < INT_MAX) {  // saturate: past 1000 the Adam step no longer reads it
        g->samples++;
    }
    return reverse_sample<SCALED>(g, steps, n, g->samples, k);
}

int query_run(PyGraph_Object *g, npy_intp count, int tune, float *block)
{
    query_step *steps = g->steps;
    int n = g->size;
    if (count > 0) {
        g->latest_batchsize = 1;
    }
    size_t stride = (size_t)block_length(count);
    for (int i = 0; block != nullptr && i < n; i++) {
        steps[i].col = block + (size_t)i * stride;
        steps[i].expected = block + (size_t)n * stride;
    }
    for (npy_intp done = 0; done < count;) {
        int len = block_length(count - done);
        if (block == nullptr || !block_finite(steps, n, len, tune)) {
            for (int k = 0; k < len; k++) {
                if (run_sample<false>(g, steps, n, tune, k) != 0) {
                    return -1;
                }
            }
        } else if (!tune) {
            predict_block(steps, n, len);
        } else {
            scale_block(steps, n, len);
            for (int k = 0; k < len; k++) {
                run_sample<true>(g, steps, n, tune, k);  // cannot fail: every value is finite
            }
        }
        done += len;
    }
    return 0;
}
