// Shared records, the type descriptor, the graph accessors and the registry of the _tolq module.
#ifndef TOLQ_H
#define TOLQ_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

// One binary serves NumPy 1.26 and 2.x: compile against 2.x headers, use only the 1.19 API.
// No file takes NumPy's own import step, which words its errors and accepts ABI versions
// otherwise: _tolq.cpp has the one import and defines the table pointer it fills.
#define NPY_NO_DEPRECATED_API NPY_1_19_API_VERSION
#define NPY_TARGET_VERSION NPY_1_19_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tolq_ARRAY_API
#define NO_IMPORT_ARRAY
#include <numpy/arrayobject.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "node_types.h"

// The bodies the query loop runs for every sample and slot: inlined even where the
// compiler's size limits would keep a call.
#define TOLQ_INLINE static inline __attribute__((always_inline))

typedef int graphlocation_t;  // slot index of a graph; -1 for none

typedef float (*loss_func)(float y_true, float y_pred);

typedef struct adam {
    float m1;  // first moment, stored without bias correction
    float m2;  // second moment, stored without bias correction
} adam;

struct interaction_type;
struct PyGraph_Object;
struct PyInteractionState_Object;

typedef struct PyInteraction_Object {
    PyObject_HEAD
    PyObject *linkdata;                        // caller's opaque object, or null
    struct PyInteractionState_Object *state;   // owned state proxy; null before __init__
    char type[16];                             // type name, at most 15 bytes
    struct interaction_type *typeobj;          // registered descriptor; null before __init__
    int errcode;                               // 1 once a register clamped a value
    int latticeloc[3];                         // position in the caller's lattice
    int gluamine;                              // learning-rate selector of the function types
    char name[128];                            // register name (data column), at most 126 bytes
    struct PyGraph_Object *graph;              // graph of the last slot assignment; no reference
    graphlocation_t location;                  // slot index of the last assignment; -1 at creation
    int sourcecount;                           // source entries in use: 0, 1 or 2; never shrinks
    graphlocation_t sources[2];                // source slots; -1 in sources[0] marks an input
    PyObject *loss;                            // loss name last accepted; None once initialised
    float activation[1];                       // output for the current sample
    float da[1];                               // d loss / d activation for the current sample
    loss_func loss_dv_f;                       // loss derivative of an output register
    int data_size;                             // bytes of `data` the type state occupies
    alignas(8) char data[100];                 // the type state, overlaid by each type
    int busy;                                  // running queries that use this interaction
    int changing;                              // changes in progress that run Python code
    int initializing;                          // 1 while __init__ runs
    // Records are allocated side by side; this keeps the next object off the cache lines
    // that the passes write here, so graphs trained in parallel threads do not contend.
    char cache_line_pad[64];
} PyInteraction_Object;

// Which source entries a type reads, so the driver can check them before the passes.
enum source_use {
    SOURCES_NONE = 0,     // reads no source (registers resolve their own role)
    SOURCES_FIRST,        // entry 0 whenever it is not -1
    SOURCES_COUNTED,      // entry 0, and entry 1 when sourcecount is 2
    SOURCES_BOTH,         // both entries, always
};

typedef int (*pass_func)(struct PyGraph_Object *g, PyInteraction_Object *interaction,
                         int n_samples);

// Which row of the node types a descriptor was registered from, so that the query loop runs
// its inline bodies rather than the table's passes; FAMILY_OTHER for a type outside the rows.
enum type_family {
    FAMILY_OTHER = 0,
#define TOLQ_FAMILY(P, NAME, stem, ROLE, SOURCES, LOAD) FAMILY_##NAME,
    TOLQ_NODE_TYPES(TOLQ_FAMILY, _)
#undef TOLQ_FAMILY
};

typedef struct interaction_type {
    const char *type_name;  // name the type registers under (`typename` is reserved in C++)
    int (*initialize)(PyInteraction_Object *interaction);
    pass_func forward;
    pass_func reverse;
    const char *const *attributes;  // null-terminated parameter names, or null
    int (*setattr)(PyInteraction_Object *interaction, const char *name, PyObject *value);
    PyObject *(*getattr)(PyInteraction_Object *interaction, const char *name);
    const char *(*get_tooltip)(PyInteraction_Object *interaction);
    void (*deallocate)(PyInteraction_Object *interaction);
    int (*set_inputarray)(PyInteraction_Object *interaction, PyObject *py_array);
    int (*set_expectedarray)(PyInteraction_Object *interaction, PyObject *py_array);
    int (*create_outputarray)(PyInteraction_Object *interaction, long sz);
    int (*set_loss)(PyInteraction_Object *interaction, PyObject *py_loss_name);
    PyObject *(*get_outputarray)(PyInteraction_Object *interaction);
    // Written by the registry (_tolq.cpp) from the type's row; the type's file leaves them out.
    struct interaction_type *next = nullptr;       // registry link
    enum source_use sources_read = SOURCES_NONE;   // source entries the passes read
    enum type_family family = FAMILY_OTHER;        // whose inline bodies the query loop runs
} interaction_type;

// Each type's descriptor, defined in its own file. The registry completes them while the
// shared object loads, so they must be initialised before any code runs: GCC checks it.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 10
#define TOLQ_CONSTINIT __constinit
#else
#define TOLQ_CONSTINIT
#endif
#define TOLQ_DESCRIPTOR(P, NAME, stem, ROLE, SOURCES, LOAD) \
    extern TOLQ_CONSTINIT interaction_type stem##_typeobj;
TOLQ_NODE_TYPES(TOLQ_DESCRIPTOR, _)
#undef TOLQ_DESCRIPTOR

struct query_step;

typedef struct PyGraph_Object {
    PyObject_HEAD
    PyThreadState *_threadstate;            // saved while a query runs without the lock
    int samples;                            // training samples processed; the Adam step count
    int latest_batchsize;                   // batch size of the latest pass (0 or 1)
    int size;                               // number of slots
    PyInteraction_Object **interactions;    // the slots; each filled slot owns a reference
    int busy;                               // 1 while a query runs on this graph
    PyObject *err_type;                     // exception recorded during a pass (a builtin class)
    char err_msg[256];                      // its message
    struct query_step *steps;               // `size` steps in slot order, resolved per query
    int initializing;                       // 1 while __init__ runs
    char cache_line_pad[64];                // as in PyInteraction_Object
} PyGraph_Object;

typedef struct PyInteractionState_Object {
    PyObject_HEAD
    PyInteraction_Object *interaction;  // no reference; emptied when the interaction is freed
} PyInteractionState_Object;

// The type objects list every slot in order; the slots after tp_finalize differ between
// Python releases and stay empty here.
#if PY_VERSION_HEX >= 0x030D0000
#define TOLQ_TYPE_OBJECT_TAIL nullptr /* tp_vectorcall */, 0 /* tp_watched */, 0 /* tp_versions_used */
#elif PY_VERSION_HEX >= 0x030C0000
#define TOLQ_TYPE_OBJECT_TAIL nullptr /* tp_vectorcall */, 0 /* tp_watched */
#else
#define TOLQ_TYPE_OBJECT_TAIL nullptr /* tp_vectorcall */
#endif

extern PyTypeObject PyGraph_Type;
extern PyTypeObject PyInteraction_Type;
extern PyTypeObject PyInteractionState_Type;

// The type state laid over an interaction record's data area.
template <typename T>
static inline T *type_state(PyInteraction_Object *interaction)
{
    static_assert(sizeof(T) <= sizeof(PyInteraction_Object::data),
                  "a type state must fit the interaction record");
    return (T *)interaction->data;
}

// The graph accessors: plain indexed reads and writes, no tests. The passes run them
// for every interaction and sample with the interpreter lock released.
static inline PyInteraction_Object *graph_get_interaction(PyGraph_Object *g, graphlocation_t loc)
{
    return g->interactions[loc];
}

static inline float graph_get_activation(PyGraph_Object *g, graphlocation_t loc, int n)
{
    return g->interactions[loc]->activation[n];
}

static inline float graph_get_da(PyGraph_Object *g, graphlocation_t loc, int n)
{
    return g->interactions[loc]->da[n];
}

static inline void graph_add_da(PyGraph_Object *g, graphlocation_t loc, int n, float da)
{
    g->interactions[loc]->da[n] += da;
}

static inline void graph_reset_da(PyGraph_Object *g, graphlocation_t loc, int n)
{
    g->interactions[loc]->da[n] = 0.0f;
}

// The table's forward pass of a function type reading one or two sources: ONE and TWO are
// the type's inline bodies for each count.
template <typename S, float (*ONE)(const S *, float, float), float (*TWO)(const S *, float, float)>
static int counted_forward(PyGraph_Object *g, PyInteraction_Object *interaction,
                           int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    const S *s = type_state<S>(interaction);
    float a0 = graph_get_activation(g, interaction->sources[0], 0);
    interaction->activation[0] =
        interaction->sourcecount == 2
            ? TWO(s, a0, graph_get_activation(g, interaction->sources[1], 0))
            : ONE(s, a0, 0.0f);
    return 0;
}

// Records a failure inside a pass, where no interpreter call may be made; the query
// driver raises it once it holds the lock again. `exc` is a builtin exception class.
void graph_record_error(PyGraph_Object *g, PyObject *exc, const char *fmt, const char *arg);

// Registry (_tolq.cpp).
void tolq_add_interactiontype(interaction_type *typeobj);
interaction_type *tolq_find_interactiontype(const char *type_name);

PyObject *graph_addtomodule(PyObject *m);
PyObject *interaction_addtomodule(PyObject *m);
PyObject *interactionstate_addtomodule(PyObject *m);

// Busy marks: a query in flight forbids changing what its passes read.
int interaction_check_not_busy(PyInteraction_Object *interaction);

// Runs the __init__ body `body` with the record's `initializing` mark set. Its Python code
// (argument conversions, releasing what the record held) could call __init__ on the record
// again, and the two calls would build on each other's halves: a nested one is refused.
template <typename T>
static inline int init_once(T *self, int (*body)(T *, PyObject *, PyObject *), PyObject *args,
                            PyObject *kwds, const char *refusal)
{
    if (self->initializing) {
        PyErr_SetString(PyExc_RuntimeError, refusal);
        return -1;
    }
    self->initializing = 1;
    int rc = body(self, args, kwds);
    self->initializing = 0;
    return rc;
}

// The item of dictionary `d` under the str key `key`: 1 with a new reference in `*value`,
// 0 when there is none, -1 with the exception when the lookup fails (no memory for the key,
// a colliding key whose comparison raises).
int tolq_dict_lookup(PyObject *d, const char *key, PyObject **value);

// Loss derivatives with respect to the prediction (losses.cpp).
float mean_absolute_error(float y_true, float y_pred) noexcept;
float mean_squared_error(float y_true, float y_pred) noexcept;
float categorical_cross_entropy(float y_true, float y_pred) noexcept;

// Parameter values from Python (pyinteractionstate.cpp): a number narrowed to float32, or
// -1 when the value is no number or does not convert; the state proxy words the error.
int tolq_number_as_float(PyObject *value, float *out);

// Named float parameters of a type state, by byte offset: the `getattr` and `setattr` of
// the function types. `params` ends with a null name.
typedef struct float_param {
    const char *name;
    size_t offset;
} float_param;

static inline float *float_param_field(const float_param *params, void *state, const char *name)
{
    for (; params->name != nullptr; params++) {
        if (strcmp(params->name, name) == 0) {
            return (float *)((char *)state + params->offset);
        }
    }
    return nullptr;
}

// The parameter names of `params` and its closing null, made at compile time: the `attributes`
// list of a type, drawn from its one table of parameters.
template <size_t N>
struct float_param_names {
    const char *names[N];
    constexpr explicit float_param_names(const float_param (&params)[N]) : names()
    {
        for (size_t i = 0; i < N; i++) {
            names[i] = params[i].name;
        }
    }
};

// The parameter as a new Python float, or null for a name not in `params`.
static inline PyObject *float_param_get(const float_param *params, void *state, const char *name)
{
    float *field = float_param_field(params, state, name);
    return field ? PyFloat_FromDouble(*field) : nullptr;
}

// Stores a number into the named parameter: 0 when set, -1 when the value is no number or
// the name is not in `params` (nothing changes; the state proxy words the error).
static inline int float_param_set(const float_param *params, void *state, const char *name,
                                  PyObject *value)
{
    float v;
    if (tolq_number_as_float(value, &v) < 0) {
        return -1;
    }
    float *field = float_param_field(params, state, name);
    if (field == nullptr) {
        return -1;
    }
    *field = v;
    return 0;
}

// Learning rate of the function types: base / ln(gluamine + 2), the logarithm in float32,
// the quotient in float64, narrowed.
static inline float gluamine_rate(double base, int gluamine)
{
    return (float)(base / (double)logf((float)((long long)gluamine + 2)));
}

// A rand() value scaled to [0, 1] in float32 (rand() tops out at 2^31 - 1).
static inline float rand_unit(void)
{
    return (float)rand() * 0x1p-31f;
}

// Adam step (opt_adam.cpp).
float adam_step(adam *state, int nsamples, float grad) noexcept;

// Category hashmap (hashtable.cpp).
typedef struct category_entry {
    struct category_entry *nxt;  // next entry of the same bucket
    double weight;               // learned weight; 0.0 when made
    PyObject *key;               // owned: the object that first brought this hash
    unsigned long py_keyhash;    // the key's hash taken as unsigned
} category_entry;

#define CATEGORY_BUCKETS 257

typedef struct category_hashmap {
    category_entry *entries[CATEGORY_BUCKETS];  // bucket heads, newest entry first
} category_hashmap;

// The entry of `key`'s category, made with weight 0.0 when new; null with TypeError for a
// key that cannot be hashed, or MemoryError.
category_entry *category_hashmap_get(category_hashmap *map, PyObject *key);
// Frees every entry and releases every key; the map is empty and usable afterwards.
void category_hashmap_clear(category_hashmap *map);
// The entry after `curr` (the first for null): ascending buckets, newest first within one.
category_entry *category_hashmap_iterate(category_hashmap *map, category_entry *curr);

// A temporary index over a map's entries by hash, for binds of many rows: the 257 chains
// grow long with many categories, the index keeps a lookup constant. It finds and makes
// the same entries as category_hashmap_get; the map's buckets stay as they are.
typedef struct category_index {
    category_entry **slots;  // open addressing by hash; null for a free slot
    size_t mask;             // slot count - 1 (a power of two)
    size_t count;            // entries indexed
} category_index;

// Indexes every entry of `map`; -1 (with no exception) when memory is short.
int category_index_init(category_index *index, category_hashmap *map);
// category_hashmap_get through the index.
category_entry *category_index_get(category_index *index, category_hashmap *map, PyObject *key);
void category_index_free(category_index *index);

#endif
