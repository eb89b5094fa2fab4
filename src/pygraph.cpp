// The Graph object: slots of interactions, its structural hash, and the query driver.
//
// How a query runs (PyGraph_method_query):
//  1. The graph and every interaction in it are marked busy: binding runs Python code
//     (hashing, comparisons, float conversion) that could otherwise change what the passes
//     read. The marks stay until the result is handed over, or the query fails.
//  2. Each slot is validated in slot order and each input register binds its array.
//  3. Arrays left on registers that are not the output are released; the output binds the
//     expected values (or releases them) and creates the result array.
//  4. Every slot is resolved to a step kind of the query loop (below), and the
//     room for blocks is allocated.
//  5. The interpreter lock is released and the loop runs the passes; an error inside them
//     is recorded in the graph, and the loop stops.
//  6. With the lock taken back, a recorded error is raised; otherwise the inputs are
//     unbound and the output hands over its result. The busy marks end.
#include "_tolq.h"

#include "gaussian.h"
#include "linear.h"
#include "losses.h"
#include "multiply.h"
#include "register.h"
#include "register_cat.h"
#include "sine.h"
#include "tanh.h"

#include <climits>
#include <cstdio>

// A function type's step kinds, one per source count it reads, from its row of the node
// types (node_types.h): S(KIND, stem, TWO) for each, TWO saying whether it reads source 1.
#define FUNCTION_STEPS_FIRST(S, NAME, stem) S(NAME##1, stem, false)
#define FUNCTION_STEPS_BOTH(S, NAME, stem) S(NAME##2, stem, true)
#define FUNCTION_STEPS_COUNTED(S, NAME, stem) S(NAME##1, stem, false) S(NAME##2, stem, true)
#define FUNCTION_STEPS_OF_FUNCTION(S, NAME, stem, SOURCES) FUNCTION_STEPS_##SOURCES(S, NAME, stem)
#define FUNCTION_STEPS_OF_REGISTER(S, NAME, stem, SOURCES)  // written out by hand below
#define FUNCTION_STEPS_OF(S, NAME, stem, ROLE, SOURCES, LOAD) \
    FUNCTION_STEPS_OF_##ROLE(S, NAME, stem, SOURCES)
// S(KIND, stem, TWO) for every step kind of every function type, in the rows' order.
#define FUNCTION_STEPS(S) TOLQ_NODE_TYPES(FUNCTION_STEPS_OF, S)

// What a slot does in the coming query, resolved once from its type and its binding.
#define STEP_KIND(KIND, stem, TWO) STEP_##KIND,
enum step_kind {
    STEP_INPUT,                 // "fixed" reading its column
    STEP_INPUT_OUTPUT,          // "fixed" reading its column and writing the result
    STEP_PASS,                  // "fixed" passing its source on
    STEP_OUTPUT,                // "fixed" passing its source on into the result
    STEP_CAT_INPUT,             // "cat" reading its categories
    STEP_CAT_PASS,              // "cat" passing its source on
    FUNCTION_STEPS(STEP_KIND)   // STEP_LINEAR1, STEP_LINEAR2, STEP_TANH1, ... STEP_MULTIPLY2
    STEP_TABLE,                 // the table's passes
};
#undef STEP_KIND

typedef struct query_step {
    enum step_kind kind;
    int loss;                    // loss_kind of an output holding expected values
    bool src0_prev;              // source 0 is the slot before: its value comes in a register
    bool src1_prev;              // the same for source 1
    bool da_from_next;           // the slot after writes this slot's da last, in a register
    PyInteraction_Object *x;
    PyInteraction_Object *src0;  // null for an input
    PyInteraction_Object *src1;  // null with fewer than two sources
    graphlocation_t loc0, loc1;  // the source slots
    float *col;                  // block mode: the step's values over the block
    float *expected;             // block mode, training: the output's scaled expected values
} query_step;

// Samples a block holds: prediction runs each slot over a block before the next slot.
enum { QUERY_BLOCK = 256 };

static int check_not_busy(PyGraph_Object *self)
{
    if (self->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Graph is busy: a query is running on it");
        return -1;
    }
    return 0;
}

void graph_record_error(PyGraph_Object *g, PyObject *exc, const char *fmt, const char *arg)
{
    g->err_type = exc;
    snprintf(g->err_msg, sizeof(g->err_msg), fmt, arg);
}

// Detaches the interactions of a slot array that the graph no longer points at, then
// releases them. The releases can run Python code (a freed interaction's __del__ hooks),
// which may store an interaction of this array in a graph again: all are detached first,
// so that no later step clears that new back-pointer.
static void release_slot_array(PyInteraction_Object **slots, int size)
{
    if (slots == nullptr) {
        return;
    }
    for (int i = 0; i < size; i++) {
        if (slots[i] != nullptr) {
            slots[i]->graph = nullptr;
        }
    }
    for (int i = 0; i < size; i++) {
        Py_XDECREF(slots[i]);
    }
    PyMem_Free(slots);
}

// Installs `size` empty slots and their step array (freshly allocated), then releases the
// old ones: every write is done before the Python code of the releases runs.
static void replace_slots(PyGraph_Object *self, PyInteraction_Object **slots, int size,
                          query_step *steps)
{
    PyInteraction_Object **old = self->interactions;
    int old_size = self->size;
    PyMem_Free(self->steps);
    self->interactions = slots;
    self->size = size;
    self->steps = steps;
    release_slot_array(old, old_size);
}

static int init_slots(PyGraph_Object *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"size", nullptr};
    int size = 10;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|i", (char **)kwlist, &size)) {
        return -1;
    }
    if (size < 0) {
        PyErr_Format(PyExc_ValueError, "Graph size must not be negative, got %i", size);
        return -1;
    }
    if (check_not_busy(self) < 0) {
        return -1;
    }
    PyInteraction_Object **slots =
        (PyInteraction_Object **)PyMem_Calloc((size_t)size, sizeof(PyInteraction_Object *));
    query_step *steps = (query_step *)PyMem_Calloc((size_t)size, sizeof(query_step));
    if (slots == nullptr || steps == nullptr) {
        PyMem_Free(slots);
        PyMem_Free(steps);
        PyErr_NoMemory();  // the graph keeps its slots
        return -1;
    }
    replace_slots(self, slots, size, steps);
    return 0;
}

// Parsing (the size's __index__) and releasing the old slots run Python code.
static int PyGraph_init(PyObject *obj, PyObject *args, PyObject *kwds)
{
    return init_once((PyGraph_Object *)obj, init_slots, args, kwds, "Graph is being initialized");
}

static void PyGraph_dealloc(PyObject *obj)
{
    replace_slots((PyGraph_Object *)obj, nullptr, 0, nullptr);
    Py_TYPE(obj)->tp_free(obj);
}

static Py_ssize_t PyGraph_Len(PyObject *obj)
{
    return ((PyGraph_Object *)obj)->size;
}

// A key as the slot index it names: the low 32 bits of its integer value.
static int key_to_index(PyObject *key, int *index)
{
    long v = PyLong_AsLong(key);
    if (v == -1 && PyErr_Occurred()) {
        return -1;
    }
    *index = (int)(uint32_t)(unsigned long)v;
    return 0;
}

static PyObject *PyGraph_GetItem(PyObject *obj, PyObject *key)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    int i;
    if (key_to_index(key, &i) < 0) {
        return nullptr;
    }
    if (i < 0) {
        i += self->size;
    }
    if (i < 0 || i >= self->size) {
        PyErr_Format(PyExc_IndexError, "Index out of bounds. Size is %i", self->size);
        return nullptr;
    }
    PyObject *item = (PyObject *)self->interactions[i];
    if (item == nullptr) {
        item = Py_None;
    }
    Py_INCREF(item);
    return item;
}

static int PyGraph_SetItem(PyObject *obj, PyObject *key, PyObject *value)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    int i;
    if (key_to_index(key, &i) < 0) {
        return -1;
    }
    if (i < 0 || i >= self->size) {
        PyErr_Format(PyExc_IndexError, "Index %i out of bounds. Size is %i", i, self->size);
        return -1;
    }
    PyInteraction_Object *interaction = nullptr;
    if (value != nullptr) {
        if (!PyObject_TypeCheck(value, &PyInteraction_Type)) {
            PyErr_Format(PyExc_ValueError, "Graph items must be of type %s",
                         PyInteraction_Type.tp_name);
            return -1;
        }
        interaction = (PyInteraction_Object *)value;
        if (interaction->loss == nullptr) {
            PyErr_SetString(PyExc_RuntimeError, "Interaction is not initialized");
            return -1;
        }
    }
    if (check_not_busy(self) < 0) {
        return -1;
    }
    PyInteraction_Object *old = self->interactions[i];
    Py_XINCREF(interaction);
    self->interactions[i] = nullptr;
    if (old != nullptr) {
        old->graph = nullptr;
    }
    if (interaction != nullptr) {
        interaction->graph = self;
        interaction->location = i;
        self->interactions[i] = interaction;
    }
    Py_XDECREF(old);
    return 0;
}

static PyObject *PyGraph_repr(PyObject *obj)
{
    return PyUnicode_FromFormat("_tolq.Graph (%i interactions)", ((PyGraph_Object *)obj)->size);
}

static PyObject *PyGraph_str(PyObject *obj)
{
    return PyGraph_repr(obj);
}

// latticeloc[0] + 100 latticeloc[1] + 10000 latticeloc[2], wrapping in 32 bits.
static uint32_t lattice_key(PyInteraction_Object *x)
{
    return (uint32_t)x->latticeloc[0] + 100u * (uint32_t)x->latticeloc[1] +
           10000u * (uint32_t)x->latticeloc[2];
}

static Py_hash_t PyGraph_hash(PyObject *obj)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    int64_t checksum = 0;
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x == nullptr) {
            continue;
        }
        checksum += (unsigned char)x->type[0];
        for (int k = 0; k < 2 && k < x->sourcecount; k++) {
            graphlocation_t s = x->sources[k];
            if (s < 0 || s >= self->size || self->interactions[s] == nullptr) {
                continue;  // also -1: no source
            }
            int32_t product = (int32_t)(lattice_key(self->interactions[s]) * lattice_key(x));
            checksum = (int64_t)((uint64_t)checksum + (uint64_t)(int64_t)product);
        }
    }
    if (checksum == -1) {
        checksum = -2;  // -1 is the interpreter's error signal
    }
    return (Py_hash_t)checksum;
}

static PyObject *PyGraph_get_edge_count(PyObject *obj, void *)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    long edges = 0;
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x == nullptr || x->sourcecount < 1) {
            continue;
        }
        edges += x->sources[0] != -1;
        if (x->sourcecount >= 2) {
            edges += x->sources[1] != -1;
        }
    }
    return PyLong_FromLong(edges);
}

// ---------------------------------------------------------------------------------------
// The query loop
//
// Every slot is resolved once per query to a step of a closed set of kinds, generated from
// the node types (node_types.h); the loop dispatches on the kind with a switch to the types'
// inline bodies, so that the value one step computes reaches the next step in a register
// while it is also stored in the record (activation and da read after the query as they
// always did). A type outside the set runs through its table's passes.
//
// Blocks: a prediction changes no parameter, so it runs each slot over a block of samples
// before the next slot, and the libm calls of a block overlap instead of waiting on each
// other. Training scales a block's inputs and expected values ahead of its per-sample
// passes. Either way each sample's arithmetic is that of the per-sample loop, and a block
// holding a value that is not finite runs sample by sample, so that the error and the point
// where the query stops are the same.


// A build with TOLQ_TABLE_PASSES runs every slot through its table's passes, so that the
// suite holds the inline loop and the table's entry points to the same bits.
#ifdef TOLQ_TABLE_PASSES
static const bool table_passes_only = true;
#else
static const bool table_passes_only = false;
#endif

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

// The step of a "fixed" register, from its binding.
static enum step_kind fixed_kind(PyInteraction_Object *x, int tune, int *loss)
{
    register_state_t *s = type_state<register_state_t>(x);
    bool output = s->py_outputarray != nullptr;
    // Training: the register holding the result is the one holding the expected values.
    if (tune && (output != (s->py_expectedarray != nullptr) ||
                 (output && !loss_kind_of(x->loss_dv_f, loss)))) {
        return STEP_TABLE;
    }
    if (x->sources[0] == -1) {
        return output ? STEP_INPUT_OUTPUT : STEP_INPUT;
    }
    return output ? STEP_OUTPUT : STEP_PASS;
}

// A function type's step kind, by the source entries its row says it reads (`two`: the
// interaction has two sources). A register's row has no case generated: its case is written
// out in kind_of, and a row without one fails the build.
#define FUNCTION_KIND_FIRST(NAME) STEP_##NAME##1
#define FUNCTION_KIND_BOTH(NAME) STEP_##NAME##2
#define FUNCTION_KIND_COUNTED(NAME) (two ? STEP_##NAME##2 : STEP_##NAME##1)
#define KIND_OF_FUNCTION(NAME, SOURCES) \
    case FAMILY_##NAME:                 \
        return FUNCTION_KIND_##SOURCES(NAME);
#define KIND_OF_REGISTER(NAME, SOURCES)  // by hand
#define KIND_OF(P, NAME, stem, ROLE, SOURCES, LOAD) KIND_OF_##ROLE(NAME, SOURCES)

static enum step_kind kind_of(PyInteraction_Object *x, int tune, int *loss)
{
    bool two = x->sourcecount == 2;
    switch (x->typeobj->family) {
    case FAMILY_FIXED:
        return fixed_kind(x, tune, loss);
    case FAMILY_CAT:
        return x->sources[0] == -1 ? STEP_CAT_INPUT : STEP_CAT_PASS;
    TOLQ_NODE_TYPES(KIND_OF, _)
    case FAMILY_OTHER:
        break;
    }
    return STEP_TABLE;
}

#define STEP_SOURCES(KIND, stem, TWO) \
    case STEP_##KIND:                 \
        return TWO ? 2 : 1;

static int sources_of(enum step_kind kind)
{
    switch (kind) {
    case STEP_INPUT:
    case STEP_INPUT_OUTPUT:
    case STEP_CAT_INPUT:
    case STEP_TABLE:
        return 0;
    case STEP_PASS:
    case STEP_OUTPUT:
    case STEP_CAT_PASS:
        return 1;
    FUNCTION_STEPS(STEP_SOURCES)
    }
    return 0;
}
#undef STEP_SOURCES

// Samples per block for a query of `count` samples.
static inline int block_length(npy_intp count)
{
    return count < QUERY_BLOCK ? (int)count : QUERY_BLOCK;
}

// Resolves every slot's step; returns the number of floats of block space a query of `count`
// samples needs (0 when it runs sample by sample only). With that space a prediction runs each slot over
// a block of samples before the next slot, and training scales a block's inputs and
// expected values ahead of the per-sample passes.
static size_t query_resolve(PyGraph_Object *g, int tune, npy_intp count)
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

// An input register's value for this sample: its column's, scaled (SCALED: already scaled in
// the block's column, at `k`), also written to the result by an input that is the output.
// -1 with the error recorded for a value that is not finite.
template <bool SCALED>
TOLQ_INLINE int input_value(PyGraph_Object *g, const query_step *st, int k, float *v)
{
    register_state_t *s = type_state<register_state_t>(st->x);
    if (SCALED) {
        *v = st->col[k];
    } else if (register_read_input(g, st->x, s, v) < 0) {
        return -1;
    }
    if (st->kind == STEP_INPUT_OUTPUT) {
        register_write_output(s, *v);
    }
    s->array_index++;
    return 0;
}

// A pass-through register's value: its source's, also written to the result by the OUTPUT.
template <bool OUTPUT>
TOLQ_INLINE float pass_value(PyInteraction_Object *x, float a0)
{
    register_state_t *s = type_state<register_state_t>(x);
    if (OUTPUT) {
        register_write_output(s, a0);
    }
    s->array_index++;
    return a0;
}

// A categorical input's value: the weight of this sample's category.
TOLQ_INLINE float cat_value(PyInteraction_Object *x)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(x);
    float v = cat_read_input(s);
    s->array_index++;
    return v;
}

#define FORWARD_STEP(KIND, stem, TWO)                                     \
    case STEP_##KIND:                                                     \
        v = stem##_value<TWO>(type_state<stem##_state_t>(x), a0, a1);     \
        break;

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
        float v = 0.0f;
        x->da[0] = 0.0f;
        switch (st->kind) {
        case STEP_INPUT:
        case STEP_INPUT_OUTPUT:
            if (input_value<SCALED>(g, st, k, &v) < 0) {
                return -1;
            }
            break;
        case STEP_PASS:
            v = pass_value<false>(x, a0);
            break;
        case STEP_OUTPUT:
            v = pass_value<true>(x, a0);
            break;
        case STEP_CAT_INPUT:
            v = cat_value(x);
            break;
        case STEP_CAT_PASS:
            v = a0;
            break;
        FUNCTION_STEPS(FORWARD_STEP)
        case STEP_TABLE:
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
#undef FORWARD_STEP

// Adds a share to a source's da; the slot before keeps the sum in a register.
TOLQ_INLINE void add_share(PyInteraction_Object *src, bool prev, float share, float *next_da)
{
    float v = src->da[0] + share;
    src->da[0] = v;
    if (prev) {
        *next_da = v;
    }
}

// The output's reverse step: the loss gradient at its activation `a` of this sample's
// expected value (SCALED: from the block's column, at `k`), set as its source's da; an input
// that is the output only reads the value. -1 with the error recorded for a value that is
// not finite.
template <bool SCALED>
TOLQ_INLINE int output_gradient(PyGraph_Object *g, const query_step *st, int k, float a,
                                float *next_da)
{
    float t;
    if (SCALED) {
        t = st->expected[k];
    } else if (register_read_expected(g, st->x, type_state<register_state_t>(st->x), &t) < 0) {
        return -1;
    }
    if (st->kind == STEP_OUTPUT) {
        float grad = loss_dv((enum loss_kind)st->loss, t, a);
        st->src0->da[0] = grad;
        if (st->src0_prev) {
            *next_da = grad;
        }
    }
    return 0;
}

#define REVERSE_STEP(KIND, stem, TWO)                                                    \
    case STEP_##KIND:                                                                    \
        stem##_learn<TWO>(type_state<stem##_state_t>(x), samples, a, da, a0, a1, &share0, \
                          &share1);                                                      \
        break;

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
        case STEP_OUTPUT:
            if (output_gradient<SCALED>(g, st, k, a, &next_da) < 0) {
                return -1;
            }
            continue;
        case STEP_PASS:
        case STEP_CAT_PASS:
            share0 = da;
            break;
        case STEP_CAT_INPUT:
            cat_learn(type_state<register_cat_state_t>(x), da);
            continue;
        FUNCTION_STEPS(REVERSE_STEP)
        case STEP_TABLE:
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
#undef REVERSE_STEP

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

// The next `len` values of a register's bound `array`, scaled, into `out`.
static inline void scale_column(PyInteraction_Object *x, PyArrayObject *array, float *out, int len)
{
    register_state_t *s = type_state<register_state_t>(x);
    for (int k = 0; k < len; k++) {
        out[k] = register_scale_in(x, s, *register_element(array, s->array_index + k));
    }
}

// Scales the next `len` inputs and expected values into the steps' columns.
static void scale_block(const query_step *steps, int n, int len)
{
    for (int i = 0; i < n; i++) {
        const query_step *st = &steps[i];
        register_state_t *s = type_state<register_state_t>(st->x);
        if (is_input(st)) {
            scale_column(st->x, s->py_inputarray, st->col, len);
        }
        if (is_output(st)) {
            scale_column(st->x, s->py_expectedarray, st->expected, len);
        }
    }
}

// Moves a register's index past a block of `len` samples; the output writes their values
// `c` into the result on the way.
static inline void register_block_done(const query_step *st, const float *c, int len)
{
    register_state_t *s = type_state<register_state_t>(st->x);
    if (!is_output(st)) {
        s->array_index += len;
        return;
    }
    for (int k = 0; k < len; k++, s->array_index++) {
        register_write_output(s, c[k]);
    }
}

// The weights of the block's categories as they stand: no step of a prediction changes them.
static inline void cat_block(PyInteraction_Object *x, float *c, int len)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(x);
    for (int k = 0; k < len; k++, s->array_index++) {
        c[k] = cat_read_input(s);
    }
}

template <typename F>
static inline void fill(float *c, int len, F value)
{
    for (int k = 0; k < len; k++) {
        c[k] = value(k);
    }
}

#define PREDICT_STEP(KIND, stem, TWO)                                                        \
    case STEP_##KIND: {                                                                      \
        const stem##_state_t *s = type_state<stem##_state_t>(x);                            \
        fill(c, len, [&](int k) { return stem##_value<TWO>(s, c0[k], TWO ? c1[k] : 0.0f); }); \
        break;                                                                               \
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
        switch (st->kind) {
        case STEP_INPUT:
        case STEP_INPUT_OUTPUT:
            scale_column(x, type_state<register_state_t>(x)->py_inputarray, c, len);
            register_block_done(st, c, len);
            break;
        case STEP_PASS:
        case STEP_OUTPUT:
            memcpy(c, c0, (size_t)len * sizeof(float));
            register_block_done(st, c, len);
            break;
        case STEP_CAT_INPUT:
            cat_block(x, c, len);
            break;
        case STEP_CAT_PASS:
            memcpy(c, c0, (size_t)len * sizeof(float));
            break;
        FUNCTION_STEPS(PREDICT_STEP)
        case STEP_TABLE:  // never runs in blocks
            break;
        }
        x->activation[0] = c[len - 1];
        x->da[0] = 0.0f;
    }
}
#undef PREDICT_STEP

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

// Runs `count` samples; `block` holds the space query_resolve asked for, or is null for
// sample by sample. 0, or -1 with the error recorded in the graph.
static int query_run(PyGraph_Object *g, npy_intp count, int tune, float *block)
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

// ---------------------------------------------------------------------------------------
// Query driver

static bool names_slot(PyGraph_Object *g, graphlocation_t loc)
{
    return loc >= 0 && loc < g->size;
}

// The source entries a non-input interaction's passes will read must name slots, so that
// the passes need no tests.
static int check_sources(PyGraph_Object *g, PyInteraction_Object *x, int i)
{
    enum source_use use = x->typeobj->sources_read;
    bool second = use == SOURCES_BOTH || (use == SOURCES_COUNTED && x->sourcecount == 2);
    if (use != SOURCES_NONE && !names_slot(g, x->sources[0])) {
        PyErr_Format(PyExc_RuntimeError,
                     "Graph not correctly initalized. Interaction %i has source %i outside the "
                     "graph",
                     i, x->sources[0]);
        return -1;
    }
    if (second && !names_slot(g, x->sources[1])) {
        PyErr_Format(PyExc_RuntimeError,
                     "Graph not correctly initalized. Interaction %i has source %i outside the "
                     "graph",
                     i, x->sources[1]);
        return -1;
    }
    return 0;
}

// Marks the graph and its interactions busy from binding to unbinding: element hashing,
// comparisons and float conversions during binding may run arbitrary Python code, and the
// passes run without the lock, so nothing they read may change meanwhile.
static void mark_busy(PyGraph_Object *g, int delta)
{
    g->busy = delta > 0;
    for (int i = 0; i < g->size; i++) {
        if (g->interactions[i] != nullptr) {
            g->interactions[i]->busy += delta;
        }
    }
}

// A register keeps a running sample index into its bound arrays; in two slots it would
// advance twice per sample and run past their ends.
static bool has_running_index(PyInteraction_Object *x)
{
    interaction_type *t = x->typeobj;
    return t->set_inputarray != nullptr || t->create_outputarray != nullptr;
}

// Releases the expected and result arrays that registers other than the output may still
// hold from an earlier query (as its output, or after a failure): only the output reads or
// writes them in this query.
static void release_stale_outputs(PyGraph_Object *self)
{
    for (int i = 0; i < self->size - 1; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x->typeobj->set_expectedarray != nullptr) {
            x->typeobj->set_expectedarray(x, nullptr);
        }
        if (x->typeobj->get_outputarray != nullptr) {
            Py_XDECREF(x->typeobj->get_outputarray(x));
        }
    }
}

// Checks the array found for input register `x` in slot `i` and binds it; the sample
// count so far is in `*count`. 0, or -1 with an exception set.
static int bind_input(PyInteraction_Object *x, int i, PyObject *array, npy_intp *count)
{
    if (!PyArray_Check(array)) {
        PyErr_Format(PyExc_ValueError, "Element %s in X is not a numpy array", x->name);
        return -1;
    }
    if (PyArray_NDIM((PyArrayObject *)array) != 1) {
        PyErr_Format(PyExc_ValueError, "Element %s in X is not 1-dimensional", x->name);
        return -1;
    }
    npy_intp length = PyArray_DIM((PyArrayObject *)array, 0);
    if (*count != -1 && *count != length) {
        PyErr_Format(PyExc_ValueError, "Uneven X feature lengths %zd != %zd",
                     (Py_ssize_t)*count, (Py_ssize_t)length);
        return -1;
    }
    if (x->typeobj->set_inputarray == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Graph not correctly initalized. Interaction %i misses set_input "
                     "entrypoint",
                     i);
        return -1;
    }
    if (x->typeobj->set_inputarray(x, array) != 0) {
        return -1;
    }
    if (length > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "Element %s in X has %zd samples; a query takes at most %i",
                     x->name, (Py_ssize_t)length, INT_MAX);
        return -1;
    }
    *count = length;
    return 0;
}

// Binds every input register in slot order; returns the sample count (-1 when there is no
// input register) or -2 with an exception set.
static npy_intp bind_inputs(PyGraph_Object *self, PyObject *xarray)
{
    npy_intp count = -1;
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x == nullptr) {
            PyErr_Format(PyExc_RuntimeError, "Graph not correctly initalized. Interaction %i is null",
                         i);
            return -2;
        }
        if (x->loss == nullptr) {
            PyErr_Format(PyExc_RuntimeError,
                         "Graph not correctly initalized. Interaction %i is not initialized", i);
            return -2;
        }
        if (x->busy > 1 && has_running_index(x)) {
            PyErr_Format(PyExc_RuntimeError,
                         "Graph not correctly initalized. Register %i stands in more than one "
                         "slot",
                         i);
            return -2;
        }
        if (x->sources[0] != -1) {
            if (check_sources(self, x, i) < 0) {
                return -2;
            }
            continue;
        }
        // A new reference: Python code run by the binding may drop it from the dictionary.
        PyObject *array;
        int found = tolq_dict_lookup(xarray, x->name, &array);
        if (found <= 0) {
            if (found == 0) {
                PyErr_Format(PyExc_ValueError, "Missing data array for %s in X", x->name);
            }
            return -2;
        }
        int rc = bind_input(x, i, array, &count);
        Py_DECREF(array);
        if (rc != 0) {
            return -2;
        }
    }
    return count;
}

// A query with no input register has no samples to run. The likely slip is an input never
// marked with a first source of -1: a fresh interaction's first source is 0, so it reads
// slot 0 instead. Refuses the query, naming such a slot when there is one.
static int refuse_no_input(PyGraph_Object *g)
{
    for (int i = 0; i < g->size; i++) {
        if (g->interactions[i]->sourcecount == 0) {
            PyErr_Format(PyExc_RuntimeError,
                         "Graph not correctly initalized. No slot is an input register; "
                         "interaction %i was never given a source",
                         i);
            return -1;
        }
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Graph not correctly initalized. No slot is an input register");
    return -1;
}

// Binds `yarray` (or releases the binding) and creates the result array of `count` samples
// (-1: no input register).
static int bind_output(PyGraph_Object *g, PyInteraction_Object *output, PyObject *yarray,
                       npy_intp count)
{
    interaction_type *t = output->typeobj;
    if (t->set_expectedarray == nullptr || t->create_outputarray == nullptr ||
        t->get_outputarray == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Graph not correctly initalized. Output '%s' misses needed entrypoints",
                     output->name);
        return -1;
    }
    if (yarray == Py_None) {
        t->set_expectedarray(output, nullptr);
    } else {
        if (!PyArray_Check(yarray)) {
            PyErr_SetString(PyExc_ValueError, "yarray must be a numpy array");
            return -1;
        }
        if (PyArray_NDIM((PyArrayObject *)yarray) != 1) {
            PyErr_SetString(PyExc_ValueError, "y must be 1 dimensional");
            return -1;
        }
        npy_intp ylength = PyArray_DIM((PyArrayObject *)yarray, 0);
        if (ylength < count) {
            PyErr_Format(PyExc_ValueError, "yarray has %zd values but X has %zd samples",
                         (Py_ssize_t)ylength, (Py_ssize_t)count);
            return -1;
        }
        if (t->set_expectedarray(output, yarray) != 0) {
            return -1;
        }
    }
    if (count < 0) {
        return refuse_no_input(g);
    }
    // NumPy's refusal to create the array leaves its exception set and a null field.
    if (t->create_outputarray(output, (long)count) != 0 || PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

// Binds the inputs, the expected values and the result: the sample count, or -1 with an
// exception set.
static npy_intp bind_query(PyGraph_Object *self, PyObject *xarray, PyObject *yarray)
{
    npy_intp count = bind_inputs(self, xarray);
    if (count == -2) {
        return -1;
    }
    release_stale_outputs(self);
    if (bind_output(self, self->interactions[self->size - 1], yarray, count) < 0) {
        return -1;
    }
    return count;
}

// Refuses a query on a graph without slots, on one running a query, or on one holding an
// interaction that another graph's query uses or that a change of its parameters holds.
static int check_can_query(PyGraph_Object *self)
{
    if (check_not_busy(self) < 0) {
        return -1;
    }
    if (self->size < 1) {
        PyErr_SetString(PyExc_RuntimeError, "Graph not correctly initalized. Graph has no slots");
        return -1;
    }
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x != nullptr && x->busy) {
            PyErr_Format(PyExc_RuntimeError,
                         "Graph is busy: interaction %i is used by a query running on another "
                         "graph",
                         i);
            return -1;
        }
        if (x != nullptr && x->changing) {
            PyErr_Format(PyExc_RuntimeError, "Graph is busy: interaction %i is being changed", i);
            return -1;
        }
    }
    return 0;
}

// Runs the `count` bound samples with the interpreter lock released; 0, or -1 with the error
// a pass recorded raised.
static int run_unlocked(PyGraph_Object *self, npy_intp count, int tune)
{
    // Without room for blocks the query runs sample by sample, to the same bits.
    size_t block_floats = count > 0 ? query_resolve(self, tune, count) : 0;
    float *block = block_floats ? (float *)PyMem_Malloc(block_floats * sizeof(float)) : nullptr;
    self->err_type = nullptr;
    self->_threadstate = PyEval_SaveThread();
    int failed = query_run(self, count, tune, block) != 0;
    PyEval_RestoreThread(self->_threadstate);
    PyMem_Free(block);
    self->_threadstate = nullptr;
    if (failed) {
        PyErr_SetString(self->err_type ? self->err_type : PyExc_RuntimeError, self->err_msg);
        return -1;
    }
    return 0;
}

// Unbinds the inputs and takes the result from the output.
static PyObject *hand_over(PyGraph_Object *self)
{
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x->sources[0] == -1) {
            x->typeobj->set_inputarray(x, nullptr);
        }
    }
    PyInteraction_Object *output = self->interactions[self->size - 1];
    return output->typeobj->get_outputarray(output);
}

static PyObject *PyGraph_method_query(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    static const char *kwlist[] = {"xarray", "yarray", nullptr};
    PyObject *xarray = nullptr;
    PyObject *yarray = Py_None;
    PyObject *result = nullptr;

    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", (char **)kwlist, &xarray, &yarray)) {
        return nullptr;
    }
    if (!PyDict_Check(xarray)) {
        PyErr_SetString(PyExc_ValueError,
                        "First argument of query must be a dictionary of numpy arrays");
        return nullptr;
    }
    if (check_can_query(self) < 0) {
        return nullptr;
    }
    Py_INCREF(xarray);
    Py_INCREF(yarray);
    mark_busy(self, 1);
    npy_intp count = bind_query(self, xarray, yarray);
    if (count >= 0 && run_unlocked(self, count, yarray != Py_None) == 0) {
        result = hand_over(self);
    }
    mark_busy(self, -1);
    Py_DECREF(xarray);
    Py_DECREF(yarray);
    return result;
}

static PyMethodDef PyGraph_methods[] = {
    {"_query", (PyCFunction)(void (*)(void))PyGraph_method_query, METH_VARARGS | METH_KEYWORDS,
     "Query or train the graph with a single sample"},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef PyGraph_getsetters[] = {
    {"edge_count", PyGraph_get_edge_count, nullptr,
     "Get the total number of edges in this graph.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

static PyMappingMethods PyGraph_mapping = {
    PyGraph_Len,      /* mp_length */
    PyGraph_GetItem,  /* mp_subscript */
    PyGraph_SetItem,  /* mp_ass_subscript */
};

PyTypeObject PyGraph_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "_tolq.Graph",                            /* tp_name */
    sizeof(PyGraph_Object),                   /* tp_basicsize */
    0,                                        /* tp_itemsize */
    PyGraph_dealloc,                          /* tp_dealloc */
    0,                                        /* tp_vectorcall_offset */
    nullptr,                                  /* tp_getattr */
    nullptr,                                  /* tp_setattr */
    nullptr,                                  /* tp_as_async */
    PyGraph_repr,                             /* tp_repr */
    nullptr,                                  /* tp_as_number */
    nullptr,                                  /* tp_as_sequence */
    &PyGraph_mapping,                         /* tp_as_mapping */
    PyGraph_hash,                             /* tp_hash */
    nullptr,                                  /* tp_call */
    PyGraph_str,                              /* tp_str */
    nullptr,                                  /* tp_getattro */
    nullptr,                                  /* tp_setattro */
    nullptr,                                  /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, /* tp_flags */
    "Tolq Graph",                             /* tp_doc */
    nullptr,                                  /* tp_traverse */
    nullptr,                                  /* tp_clear */
    nullptr,                                  /* tp_richcompare */
    0,                                        /* tp_weaklistoffset */
    nullptr,                                  /* tp_iter */
    nullptr,                                  /* tp_iternext */
    PyGraph_methods,                          /* tp_methods */
    nullptr,                                  /* tp_members */
    PyGraph_getsetters,                       /* tp_getset */
    nullptr,                                  /* tp_base */
    nullptr,                                  /* tp_dict */
    nullptr,                                  /* tp_descr_get */
    nullptr,                                  /* tp_descr_set */
    0,                                        /* tp_dictoffset */
    PyGraph_init,                             /* tp_init */
    nullptr,                                  /* tp_alloc */
    PyType_GenericNew,                        /* tp_new */
    nullptr,                                  /* tp_free */
    nullptr,                                  /* tp_is_gc */
    nullptr,                                  /* tp_bases */
    nullptr,                                  /* tp_mro */
    nullptr,                                  /* tp_cache */
    nullptr,                                  /* tp_subclasses */
    nullptr,                                  /* tp_weaklist */
    nullptr,                                  /* tp_del */
    0,                                        /* tp_version_tag */
    nullptr,                                  /* tp_finalize */
    TOLQ_TYPE_OBJECT_TAIL
};

PyObject *graph_addtomodule(PyObject *m)
{
    if (PyModule_AddType(m, &PyGraph_Type) < 0) {  // readies the type, adds it as "Graph"
        return nullptr;
    }
    return m;
}
