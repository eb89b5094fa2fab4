// The "cat" register: one learned weight in [-1, 1] per category of a column.
//
//   forward:  a = weight[category of the sample]
//   reverse:  weight -= 0.002 da, clamped to [-1, 1]      (pass-through: da[source] += da)
// Categories are hashed once per bind into an array of entry addresses, so the passes
// neither hash nor allocate.
#include "register_cat.h"

#include <cstring>

static_assert(sizeof(npy_long) == sizeof(category_entry *),
              "entry addresses are stored as NPY_LONG");

static const char *const attributes[] = {"categories", nullptr};

// Binds of more rows than this look categories up through a temporary index.
static const npy_intp INDEXED_BIND = 256;

// The cell written every sample gets a cache line of its own: small allocations sit side by
// side, and registers trained in parallel threads must not share the line.
static const size_t CACHE_LINE = 64;

static int initialize(PyInteraction_Object *interaction)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    s->map = (category_hashmap *)PyMem_Calloc(1, sizeof(category_hashmap));
    s->current_input_buffer = PyMem_Calloc(2, CACHE_LINE);
    if (s->map == nullptr || s->current_input_buffer == nullptr) {
        PyMem_Free(s->map);
        PyMem_Free(s->current_input_buffer);
        s->map = nullptr;
        s->current_input_buffer = nullptr;
        PyErr_NoMemory();
        return -1;
    }
    uintptr_t line = ((uintptr_t)s->current_input_buffer + CACHE_LINE - 1) & ~(CACHE_LINE - 1);
    s->current_input = (category_entry **)line;
    interaction->data_size = sizeof(register_cat_state_t);
    return 0;
}

static void release_input(register_cat_state_t *s)
{
    if (s->py_inputarray != nullptr) {
        s->array_index = 0;
        Py_CLEAR(s->py_inputarray);
    }
}

static int categorical_set_inputarray(PyInteraction_Object *interaction, PyObject *array)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    release_input(s);
    if (array == nullptr) {
        return 0;
    }
    PyArrayObject *input = (PyArrayObject *)array;
    if (PyArray_NDIM(input) < 1) {
        PyErr_Format(PyExc_ValueError, "input %s has no axis to read categories along",
                     interaction->name);
        return -1;
    }
    npy_intp n = PyArray_DIM(input, 0);
    npy_intp stride = PyArray_STRIDE(input, 0);
    PyArrayObject *entries = (PyArrayObject *)PyArray_New(&PyArray_Type, 1, &n, NPY_LONG, nullptr,
                                                          nullptr, 0, 0, nullptr);
    if (entries == nullptr) {
        return -1;
    }
    category_entry **out = (category_entry **)PyArray_DATA(entries);
    // Many rows: look categories up through a temporary index rather than the long chains.
    category_index index;
    bool indexed = n > INDEXED_BIND && category_index_init(&index, s->map) == 0;
    for (npy_intp i = 0; i < n; i++) {
        PyObject *item = PyArray_GETITEM(input, PyArray_BYTES(input) + i * stride);
        if (item == nullptr) {
            goto error;
        }
        out[i] = indexed ? category_index_get(&index, s->map, item)
                         : category_hashmap_get(s->map, item);
        Py_DECREF(item);
        if (out[i] == nullptr) {
            goto error;
        }
    }
    if (indexed) {
        category_index_free(&index);
    }
    s->py_inputarray = entries;
    return 0;
error:
    if (indexed) {
        category_index_free(&index);
    }
    Py_DECREF(entries);
    return -1;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    if (interaction->sources[0] != -1) {
        if (n_samples >= 1) {
            interaction->activation[0] = graph_get_activation(g, interaction->sources[0], 0);
        }
        return 0;
    }
    if (n_samples >= 1) {
        interaction->activation[0] = cat_read_input(s);
    }
    s->array_index += n_samples;
    return 0;
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    if (n_samples < 1) {
        return 0;
    }
    if (interaction->sources[0] != -1) {
        graph_add_da(g, interaction->sources[0], 0, interaction->da[0]);
    } else {
        cat_learn(type_state<register_cat_state_t>(interaction), interaction->da[0]);
    }
    return 0;
}

// Every name reads the categories: a list of (key, weight) pairs in the map's order. The
// pairs are taken first: making the Python objects can start a garbage collection whose
// finalizers replace the categories, and the map must not be walked across that.
static PyObject *getattr(PyInteraction_Object *interaction, const char *)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    typedef struct {
        PyObject *key;
        double weight;
    } pair_t;
    pair_t *pairs = nullptr;
    PyObject *list = nullptr;
    Py_ssize_t n = 0, i = 0;
    for (category_entry *e = category_hashmap_iterate(s->map, nullptr); e != nullptr;
         e = category_hashmap_iterate(s->map, e)) {
        n++;
    }
    pairs = PyMem_New(pair_t, n > 0 ? n : 1);
    if (pairs == nullptr) {
        return PyErr_NoMemory();
    }
    for (category_entry *e = category_hashmap_iterate(s->map, nullptr); e != nullptr;
         e = category_hashmap_iterate(s->map, e), i++) {
        Py_INCREF(e->key);
        pairs[i] = {e->key, e->weight};
    }
    list = PyList_New(n);
    for (i = 0; list != nullptr && i < n; i++) {
        PyObject *pair = Py_BuildValue("(Od)", pairs[i].key, pairs[i].weight);
        if (pair == nullptr) {
            Py_CLEAR(list);
            break;
        }
        PyList_SET_ITEM(list, i, pair);
    }
    for (i = 0; i < n; i++) {
        Py_DECREF(pairs[i].key);
    }
    PyMem_Free(pairs);
    return list;
}

// Fills `map` from a list of (key, weight) pairs; -1 with an exception at the first bad item.
// A long list is looked up through a temporary index, as a bind of many rows is: the chains
// of the fixed buckets would make it quadratic. The map, and its order, come out the same.
static int fill_categories(category_hashmap *map, PyObject *list)
{
    category_index index;
    bool indexed = PyList_GET_SIZE(list) > INDEXED_BIND && category_index_init(&index, map) == 0;
    int status = 0;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        Py_INCREF(item);  // hashing a key may run Python code that changes the list
        PyObject *key = nullptr;
        PyObject *value = nullptr;
        category_entry *e;
        double w;
        int rc = -1;
        if (!PySequence_Check(item) || PySequence_Size(item) != 2) {
            PyErr_Clear();
            PyErr_SetString(PyExc_ValueError,
                            "Items in categorical states must be tuples of length 2");
            goto done;
        }
        key = PySequence_GetItem(item, 0);
        value = key ? PySequence_GetItem(item, 1) : nullptr;
        if (value == nullptr) {
            goto done;
        }
        w = PyFloat_AsDouble(value);
        if (w == -1.0 && PyErr_Occurred()) {
            goto done;
        }
        e = indexed ? category_index_get(&index, map, key) : category_hashmap_get(map, key);
        if (e == nullptr) {
            goto done;
        }
        e->weight = w;
        rc = 0;
    done:
        Py_XDECREF(key);
        Py_XDECREF(value);
        Py_DECREF(item);
        if (rc < 0) {
            status = -1;
            break;
        }
    }
    if (indexed) {
        category_index_free(&index);
    }
    return status;
}

// Replaces all categories at once: the new map is built aside, so a refused list (a bad
// item, an unhashable key, a weight that is no number, no memory) leaves the learned
// weights exactly as they were.
static int setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    if (strcmp(name, "categories") != 0) {
        return -1;
    }
    if (!PyList_Check(value)) {
        PyErr_SetString(PyExc_ValueError, "Categorical registers expects list states");
        return -1;
    }
    category_hashmap *fresh = (category_hashmap *)PyMem_Calloc(1, sizeof(category_hashmap));
    if (fresh == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    Py_INCREF(value);
    int rc = fill_categories(fresh, value);
    Py_DECREF(value);
    category_hashmap *old = fresh;
    if (rc == 0) {
        old = s->map;
        s->map = fresh;
    }
    // Releasing the keys may run their __del__: the record is complete before that.
    category_hashmap_clear(old);
    PyMem_Free(old);
    return rc;
}

static int set_loss(PyInteraction_Object *, PyObject *)
{
    PyErr_SetString(PyExc_ValueError, "Loss function can't be set on legacy registers");
    return -1;
}

static void deallocate(PyInteraction_Object *interaction)
{
    register_cat_state_t *s = type_state<register_cat_state_t>(interaction);
    release_input(s);
    if (s->map != nullptr) {
        category_hashmap_clear(s->map);
        PyMem_Free(s->map);
        s->map = nullptr;
    }
    PyMem_Free(s->current_input_buffer);
    s->current_input_buffer = nullptr;
    s->current_input = nullptr;
}

interaction_type cat_typeobj = {
    "cat",                          /* type_name */
    initialize,                     /* initialize */
    forward,                        /* forward */
    reverse,                        /* reverse */
    attributes,                     /* attributes */
    setattr,                        /* setattr */
    getattr,                        /* getattr */
    nullptr,                        /* get_tooltip */
    deallocate,                     /* deallocate */
    categorical_set_inputarray,     /* set_inputarray */
    nullptr,                        /* set_expectedarray */
    nullptr,                        /* create_outputarray */
    set_loss,                       /* set_loss */
    nullptr,                        /* get_outputarray */
};
