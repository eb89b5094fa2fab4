// The Graph object: slots of interactions, its structural hash, and the query driver.
//
// How a query runs (PyGraph_method_query):
//  1. The graph and every interaction in it are marked busy: binding runs Python code
//     (hashing, comparisons, float conversion) that could otherwise change what the passes
//     read. The marks stay until the result is handed over, or the query fails.
//  2. Each slot is validated in slot order and each input register binds its array.
//  3. Arrays left on registers that are not the output are released; the output binds the
//     expected values (or releases them) and creates the result array.
//  4. Every slot is resolved to a step kind of the query loop (query_loop.cpp), and the
//     room for blocks is allocated.
//  5. The interpreter lock is released and the loop runs the passes; an error inside them
//     is recorded in the graph, and the loop stops.
//  6. With the lock taken back, a recorded error is raised; otherwise the inputs are
//     unbound and the output hands over its result. The busy marks end.
#include "_tolq.h"
#include "query_loop.h"

#include <climits>
#include <cstdio>

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

// Binds `yarray` (or releases the binding) and creates the result array.
static int bind_output(PyInteraction_Object *output, PyObject *yarray, npy_intp count)
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
    // NumPy's refusal to create the array leaves its exception set and a null field.
    if (t->create_outputarray(output, (long)count) != 0 || PyErr_Occurred()) {
        return -1;
    }
    return 0;
}

static PyObject *PyGraph_method_query(PyObject *obj, PyObject *args, PyObject *kwds)
{
    PyGraph_Object *self = (PyGraph_Object *)obj;
    static const char *kwlist[] = {"xarray", "yarray", nullptr};
    PyObject *xarray = nullptr;
    PyObject *yarray = Py_None;
    PyObject *result = nullptr;
    PyInteraction_Object *output;
    npy_intp count;
    int tune;
    int failed = 0;
    size_t block_floats;
    float *block;

    if (!PyArg_ParseTupleAndKeywords(args, kwds, "O|O", (char **)kwlist, &xarray, &yarray)) {
        return nullptr;
    }
    if (!PyDict_Check(xarray)) {
        PyErr_SetString(PyExc_ValueError,
                        "First argument of query must be a dictionary of numpy arrays");
        return nullptr;
    }
    if (check_not_busy(self) < 0) {
        return nullptr;
    }
    if (self->size < 1) {
        PyErr_SetString(PyExc_RuntimeError, "Graph not correctly initalized. Graph has no slots");
        return nullptr;
    }
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x != nullptr && x->busy) {
            PyErr_Format(PyExc_RuntimeError,
                         "Graph is busy: interaction %i is used by a query running on another "
                         "graph",
                         i);
            return nullptr;
        }
        if (x != nullptr && x->changing) {
            PyErr_Format(PyExc_RuntimeError, "Graph is busy: interaction %i is being changed", i);
            return nullptr;
        }
    }

    Py_INCREF(xarray);
    Py_INCREF(yarray);
    mark_busy(self, 1);
    count = bind_inputs(self, xarray);
    if (count == -2) {
        goto done;
    }
    release_stale_outputs(self);
    output = self->interactions[self->size - 1];
    if (bind_output(output, yarray, count) < 0) {
        goto done;
    }
    tune = yarray != Py_None;
    // Without room for blocks the query runs sample by sample, to the same bits.
    block_floats = count > 0 ? query_resolve(self, tune, count) : 0;
    block = block_floats ? (float *)PyMem_Malloc(block_floats * sizeof(float)) : nullptr;

    self->err_type = nullptr;
    self->_threadstate = PyEval_SaveThread();
    failed = query_run(self, count, tune, block) != 0;
    PyEval_RestoreThread(self->_threadstate);
    PyMem_Free(block);
    self->_threadstate = nullptr;
    if (failed) {
        PyErr_SetString(self->err_type ? self->err_type : PyExc_RuntimeError, self->err_msg);
        goto done;
    }
    for (int i = 0; i < self->size; i++) {
        PyInteraction_Object *x = self->interactions[i];
        if (x->sources[0] == -1) {
            x->typeobj->set_inputarray(x, nullptr);
        }
    }
    result = output->typeobj->get_outputarray(output);
done:
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
