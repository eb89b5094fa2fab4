// The Interaction object: creation by type name, properties, sources and depth.
#include "_tolq.h"

#include <cstring>

// A record whose __init__ has not completed lacks its descriptor, proxy or loss.
static int check_initialized(PyInteraction_Object *self)
{
    if (self->loss == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Interaction is not initialized");
        return -1;
    }
    return 0;
}

int interaction_check_not_busy(PyInteraction_Object *interaction)
{
    if (interaction->busy) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Interaction is busy: a query is running on its graph");
        return -1;
    }
    return 0;
}

// Copies at most `limit` bytes of the UTF-8 `text` into a zero-filled field of `size` bytes,
// ending on a character boundary so that the field always decodes.
static void copy_text(char *field, size_t size, const char *text, size_t limit)
{
    memset(field, 0, size);
    size_t n = strlen(text);
    if (n > limit) {
        n = limit;
        while (n > 0 && ((unsigned char)text[n] & 0xC0) == 0x80) {  // a continuation byte
            n--;
        }
    }
    memcpy(field, text, n);
}

// Empties the proxy's pointer before anything that can run Python code (a category key's
// __del__), so that code cannot reach a record whose type state is being released.
static void detach_state(PyInteraction_Object *self)
{
    if (self->state != nullptr) {
        self->state->interaction = nullptr;
    }
}

// Undoes what an earlier, failed __init__ left behind, so that a new one starts clean.
static void release_partial_init(PyInteraction_Object *self)
{
    detach_state(self);
    if (self->typeobj != nullptr && self->typeobj->deallocate != nullptr) {
        self->typeobj->deallocate(self);
    }
    Py_CLEAR(self->state);
    self->typeobj = nullptr;
    self->data_size = 0;
    self->loss_dv_f = nullptr;
    memset(self->data, 0, sizeof(self->data));
}

static int init_record(PyInteraction_Object *self, PyObject *args, PyObject *kwds)
{
    static const char *kwlist[] = {"type", "latticeloc", "gluamine", "name", nullptr};
    const char *type_arg = nullptr;
    PyObject *latticeloc = nullptr;
    int gluamine = 0;
    const char *name_arg = nullptr;

    if (!PyArg_ParseTupleAndKeywords(args, kwds, "sO|iz", (char **)kwlist, &type_arg,
                                     &latticeloc, &gluamine, &name_arg)) {
        return -1;
    }
    if (self->loss != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "Interaction is already initialized");
        return -1;
    }
    release_partial_init(self);
    if (!PyTuple_Check(latticeloc) || PyTuple_GET_SIZE(latticeloc) != 3) {
        PyErr_SetString(PyExc_ValueError, "The latticeloc must be a three item tuple");
        return -1;
    }
    for (int i = 0; i < 3; i++) {
        long v = PyLong_AsLong(PyTuple_GET_ITEM(latticeloc, i));
        if (v == -1 && PyErr_Occurred()) {
            return -1;
        }
        self->latticeloc[i] = (int)(uint32_t)(unsigned long)v;
    }
    copy_text(self->type, sizeof(self->type), type_arg, sizeof(self->type) - 1);
    self->gluamine = gluamine;
    copy_text(self->name, sizeof(self->name), name_arg ? name_arg : "", sizeof(self->name) - 2);
    self->location = -1;
    self->sourcecount = 0;

    self->typeobj = tolq_find_interactiontype(type_arg);
    if (self->typeobj == nullptr) {
        PyErr_Format(PyExc_ValueError, "No such interaction type: '%s'", type_arg);
        return -1;
    }
    self->state = PyObject_New(PyInteractionState_Object, &PyInteractionState_Type);
    if (self->state == nullptr) {
        return -1;
    }
    self->state->interaction = self;
    if (self->typeobj->initialize(self) != 0) {
        return -1;
    }
    if (self->data_size > (int)sizeof(self->data)) {
        PyErr_Format(PyExc_ValueError, "Internal error: node state of '%s' is too big (%i bytes)",
                     type_arg, self->data_size);
        return -1;
    }
    Py_INCREF(Py_None);
    self->loss = Py_None;
    return 0;
}

// Parsing (gluamine), the latticeloc items (__index__) and releasing a failed attempt (a
// category key's __del__) run Python code.
static int PyInteraction_init(PyObject *obj, PyObject *args, PyObject *kwds)
{
    return init_once((PyInteraction_Object *)obj, init_record, args, kwds,
                     "Interaction is being initialized");
}

static void PyInteraction_dealloc(PyObject *obj)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    detach_state(self);  // a proxy kept by Python must not reach us
    if (self->typeobj != nullptr && self->typeobj->deallocate != nullptr) {
        self->typeobj->deallocate(self);
    }
    Py_CLEAR(self->linkdata);
    Py_CLEAR(self->state);
    Py_CLEAR(self->loss);
    Py_TYPE(obj)->tp_free(obj);
}

static PyObject *PyInteraction_str(PyObject *obj)
{
    return PyUnicode_FromFormat("_tolq.Interaction (%s)", ((PyInteraction_Object *)obj)->type);
}

static PyObject *PyInteraction_get_sources(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    switch (self->sourcecount) {
    case 0:
        return PyTuple_New(0);
    case 1:
        return Py_BuildValue("(i)", self->sources[0]);
    default:
        return Py_BuildValue("(ii)", self->sources[0], self->sources[1]);
    }
}

static PyObject *PyInteraction_get_location(PyObject *obj, void *)
{
    return PyLong_FromLong(((PyInteraction_Object *)obj)->location);
}

static PyObject *PyInteraction_get_latticeloc(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    return Py_BuildValue("iii", self->latticeloc[0], self->latticeloc[1], self->latticeloc[2]);
}

static PyObject *PyInteraction_get_state(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return nullptr;
    }
    Py_INCREF(self->state);
    return (PyObject *)self->state;
}

static PyObject *PyInteraction_get_type(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (self->type[0] == '\0') {
        Py_RETURN_NONE;
    }
    return PyUnicode_FromString(self->type);
}

static PyObject *PyInteraction_get_gluamine(PyObject *obj, void *)
{
    return PyLong_FromLong(((PyInteraction_Object *)obj)->gluamine);
}

// A register (a type that binds a data column) shows the column's name, any other its type.
static PyObject *PyInteraction_get_name(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (self->typeobj != nullptr && self->typeobj->set_inputarray != nullptr) {
        return PyUnicode_FromString(self->name);
    }
    return PyUnicode_FromString(self->type);
}

static PyObject *PyInteraction_get_tooltip(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return nullptr;
    }
    if (self->typeobj->get_tooltip == nullptr) {
        return PyUnicode_FromString(self->type);
    }
    return PyUnicode_FromString(self->typeobj->get_tooltip(self));
}

static PyObject *PyInteraction_get_loss(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return nullptr;
    }
    Py_INCREF(self->loss);
    return self->loss;
}

static int PyInteraction_set_loss(PyObject *obj, PyObject *value, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return -1;
    }
    if (value == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "The loss of an interaction cannot be deleted");
        return -1;
    }
    if (self->typeobj->set_loss == nullptr) {
        PyErr_Format(PyExc_AttributeError, "Interaction '%s' has no loss function", self->type);
        return -1;
    }
    if (interaction_check_not_busy(self) < 0) {
        return -1;
    }
    if (self->typeobj->set_loss(self, value) != 0) {
        if (!PyErr_Occurred()) {
            PyErr_Format(PyExc_ValueError, "Unknown error: Setting state for interaction %s",
                         self->type);
        }
        return -1;
    }
    Py_INCREF(value);
    Py_SETREF(self->loss, value);
    return 0;
}

static PyObject *PyInteraction_get_linkdata(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    PyObject *linkdata = self->linkdata ? self->linkdata : Py_None;
    Py_INCREF(linkdata);
    return linkdata;
}

static int PyInteraction_set_linkdata(PyObject *obj, PyObject *value, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    Py_XINCREF(value);
    Py_XSETREF(self->linkdata, value);
    return 0;
}

static PyObject *PyInteraction_get_activation(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return nullptr;
    }
    if (self->graph == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Cannot get activations from interaction '%s' because it's not in a graph",
                     self->type);
        return nullptr;
    }
    npy_intp dims[1] = {self->graph->latest_batchsize};
    PyObject *array = PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr, self->activation,
                                  0, NPY_ARRAY_CARRAY, nullptr);
    if (array == nullptr) {
        return nullptr;
    }
    Py_INCREF(obj);
    if (PyArray_SetBaseObject((PyArrayObject *)array, obj) < 0) {  // steals obj
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

// The interaction a source entry names, or null with RuntimeError for an index that
// names no filled slot of the graph.
static PyInteraction_Object *depth_source(PyInteraction_Object *self, PyGraph_Object *g,
                                          graphlocation_t loc)
{
    if (loc < 0 || loc >= g->size || g->interactions[loc] == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Cannot compute depth of interaction '%s': source %i names no interaction "
                     "of its graph",
                     self->type, loc);
        return nullptr;
    }
    return g->interactions[loc];
}

static bool has_sources(PyInteraction_Object *x)
{
    return x->sourcecount > 0 && x->sources[0] != -1;
}

static bool has_second_source(PyInteraction_Object *x)
{
    return x->sourcecount == 2 && x->sources[1] != -1;
}

// For the depth walk: the first source of slot `cur` not yet visited into *next, or -1 in
// *next when every source has its height, and then 1 + the largest of them into *h (0 for
// no sources). -1 with RuntimeError for a source that names no interaction, or that lies on
// the current path (`height` -1): the sources form a cycle.
static int next_source(PyInteraction_Object *self, PyGraph_Object *g, graphlocation_t cur,
                       const int *height, graphlocation_t *next, int *h)
{
    PyInteraction_Object *x = g->interactions[cur];
    *next = -1;
    *h = 0;
    for (int j = 0; j < 2 && has_sources(x); j++) {
        if (j == 1 && !has_second_source(x)) {
            break;
        }
        graphlocation_t s = x->sources[j];
        if (depth_source(self, g, s) == nullptr) {
            return -1;
        }
        if (height[s] == -1) {
            PyErr_Format(PyExc_RuntimeError,
                         "Cannot compute depth of interaction '%s': its sources form a cycle "
                         "through slot %i",
                         self->type, s);
            return -1;
        }
        if (height[s] == -2) {
            *next = s;
            return 0;
        }
        if (height[s] + 1 > *h) {
            *h = height[s] + 1;
        }
    }
    return 0;
}

// Gives every slot reachable from `root` its height in `height` (-2 unvisited, -1 on the
// current path), by an explicit depth-first walk on `stack`: no recursion on the C stack,
// each slot evaluated once, a cycle reported instead of looping. 0, or -1 with RuntimeError.
static int walk_heights(PyInteraction_Object *self, PyGraph_Object *g, graphlocation_t root,
                        int *height, graphlocation_t *stack)
{
    int top = 0;
    if (height[root] == -2) {
        height[root] = -1;
        stack[top++] = root;
    }
    while (top > 0) {
        graphlocation_t cur = stack[top - 1];
        graphlocation_t next;
        int h;
        if (next_source(self, g, cur, height, &next, &h) < 0) {
            return -1;
        }
        if (next != -1) {
            height[next] = -1;
            stack[top++] = next;
        } else {
            height[cur] = h;
            top--;
        }
    }
    return 0;
}

// Height of `self` in its graph `g` minus 1 into *depth: its sources are the roots of the
// walk, and the start itself needs no slot. -1 with an exception set.
static int depth_in(PyInteraction_Object *self, PyGraph_Object *g, long *depth)
{
    int n = g->size > 0 ? g->size : 1;
    int *height = (int *)PyMem_Malloc(sizeof(int) * (size_t)n);
    graphlocation_t *stack = (graphlocation_t *)PyMem_Malloc(sizeof(graphlocation_t) * (size_t)n);
    int rc = -1;
    int h0 = 0;
    if (height == nullptr || stack == nullptr) {
        PyErr_NoMemory();
        goto done;
    }
    for (int i = 0; i < g->size; i++) {
        height[i] = -2;
    }
    for (int k = 0; k < 2; k++) {
        if (k == 1 && !has_second_source(self)) {
            break;
        }
        graphlocation_t root = self->sources[k];
        if (depth_source(self, g, root) == nullptr ||
            walk_heights(self, g, root, height, stack) < 0) {
            goto done;
        }
        if (height[root] + 1 > h0) {
            h0 = height[root] + 1;
        }
    }
    *depth = h0 - 1;
    rc = 0;
done:
    PyMem_Free(height);
    PyMem_Free(stack);
    return rc;
}

static PyObject *PyInteraction_get_depth(PyObject *obj, void *)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    if (check_initialized(self) < 0) {
        return nullptr;
    }
    if (self->graph == nullptr) {
        PyErr_Format(PyExc_RuntimeError,
                     "Cannot compute depth of interaction '%s' because it's not in a graph",
                     self->type);
        return nullptr;
    }
    long depth = -1;
    if (has_sources(self) && depth_in(self, self->graph, &depth) < 0) {
        return nullptr;
    }
    return PyLong_FromLong(depth);
}

static PyObject *PyInteraction_get_errcode(PyObject *obj, void *)
{
    return PyLong_FromLong(((PyInteraction_Object *)obj)->errcode);
}

static PyObject *PyInteraction_method_setsource(PyObject *obj, PyObject *args)
{
    PyInteraction_Object *self = (PyInteraction_Object *)obj;
    int ix, src;
    if (!PyArg_ParseTuple(args, "ii", &ix, &src)) {
        return nullptr;
    }
    if (ix != 0 && ix != 1) {
        PyErr_Format(PyExc_ValueError, "Source index %i is out of range", ix);
        return nullptr;
    }
    if (interaction_check_not_busy(self) < 0) {
        return nullptr;
    }
    if (ix >= self->sourcecount && src != -1) {
        self->sourcecount = ix + 1;
    }
    self->sources[ix] = src;
    Py_RETURN_NONE;
}

static PyMethodDef PyInteraction_methods[] = {
    {"_set_source", PyInteraction_method_setsource, METH_VARARGS, "Set a source."},
    {nullptr, nullptr, 0, nullptr},
};

static PyGetSetDef PyInteraction_getsetters[] = {
    {"sources", PyInteraction_get_sources, nullptr,
     "Get the indices of the predecessors of this interaction within the graph.", nullptr},
    {"_location", PyInteraction_get_location, nullptr, "Get interaction location within graph.",
     nullptr},
    {"_latticeloc", PyInteraction_get_latticeloc, nullptr,
     "Get interaction location within the Vindomar.", nullptr},
    {"state", PyInteraction_get_state, nullptr,
     "Get internal state of interaction, such as the weigths or other parameters.\n\n"
     "The actual properties of the state depends on the interaction. You may examine them "
     "using dir() or though the InteractionState.__dict__ property.\n\n"
     "Example:\n"
     ">>> g = zumbrel.select(data)[0]\n"
     ">>> print(g[0].state.__dict__)\n"
     "{'feature_min': -4.996334075927734, 'feature_max': 4.994193077087402, 'auto_adapt': "
     "True}\n\n"
     "Or you can modify them dynamically:\n"
     ">>> g[0].state.auto_adapt=False\n",
     nullptr},
    {"type", PyInteraction_get_type, nullptr,
     "Get the type of the interaction, such as 'tanh', 'sine', etc.", nullptr},
    {"_gluamine", PyInteraction_get_gluamine, nullptr,
     "Get the accumulated gluamine of this interaction.", nullptr},
    {"name", PyInteraction_get_name, nullptr,
     "Get the name of the interaction.\n\n"
     "For register interactions this is the name of the register. For other interactions, it "
     "will normally be the same as the interaction type.",
     nullptr},
    {"_tooltip", PyInteraction_get_tooltip, nullptr, "Get interaction tooltip.", nullptr},
    {"_loss", PyInteraction_get_loss, PyInteraction_set_loss,
     "Get or set the name of the loss function to use.", nullptr},
    {"_linkdata", PyInteraction_get_linkdata, PyInteraction_set_linkdata,
     "Get or set private linkdata.", nullptr},
    {"activation", PyInteraction_get_activation, nullptr,
     "Get the latest activation(s) from this interaction.\n\n"
     "This is the most recent value emitted by this interaction after each use - either fit "
     "or predict.\n\n"
     "This property is useful to examine the graph's processing of individual samples.\n\n"
     ">>> graph.predict({'x': [3,4]})\n"
     ">>> graph[0].activation\n"
     ".54\n",
     nullptr},
    {"depth", PyInteraction_get_depth, nullptr,
     "Get the depth of this interaction within it's graph.", nullptr},
    {"_errcode", PyInteraction_get_errcode, nullptr, "Get interaction error code.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyDoc_STRVAR(interaction_doc,
             "A graph is a collection of Interactions linked together. Interactions can be "
             "either registers or pure mathematical functions such as 'tanh' or 'multiply'.\n\n"
             "You normally get an interaction by accessing it from a Graph with the index "
             "operation. Interactions can be inspected in various ways to examine the behavior "
             "and properties of the graph.\n\n"
             "Example usage. Get a Graph from a Zumbrel and print information about it's first "
             "interaction\n"
             ">>> best_graph = zumbrel.select(data)[0]\n"
             ">>> interaction = best[0]\n"
             ">>> print(interaction.name, interaction.type)\n"
             "x, fixed\n");

PyTypeObject PyInteraction_Type = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "_tolq.Interaction",          /* tp_name */
    sizeof(PyInteraction_Object), /* tp_basicsize */
    0,                            /* tp_itemsize */
    PyInteraction_dealloc,        /* tp_dealloc */
    0,                            /* tp_vectorcall_offset */
    nullptr,                      /* tp_getattr */
    nullptr,                      /* tp_setattr */
    nullptr,                      /* tp_as_async */
    PyInteraction_str,            /* tp_repr */
    nullptr,                      /* tp_as_number */
    nullptr,                      /* tp_as_sequence */
    nullptr,                      /* tp_as_mapping */
    nullptr,                      /* tp_hash */
    nullptr,                      /* tp_call */
    PyInteraction_str,            /* tp_str */
    nullptr,                      /* tp_getattro */
    nullptr,                      /* tp_setattro */
    nullptr,                      /* tp_as_buffer */
    Py_TPFLAGS_DEFAULT,           /* tp_flags */
    interaction_doc,              /* tp_doc */
    nullptr,                      /* tp_traverse */
    nullptr,                      /* tp_clear */
    nullptr,                      /* tp_richcompare */
    0,                            /* tp_weaklistoffset */
    nullptr,                      /* tp_iter */
    nullptr,                      /* tp_iternext */
    PyInteraction_methods,        /* tp_methods */
    nullptr,                      /* tp_members */
    PyInteraction_getsetters,     /* tp_getset */
    nullptr,                      /* tp_base */
    nullptr,                      /* tp_dict */
    nullptr,                      /* tp_descr_get */
    nullptr,                      /* tp_descr_set */
    0,                            /* tp_dictoffset */
    PyInteraction_init,           /* tp_init */
    nullptr,                      /* tp_alloc */
    PyType_GenericNew,            /* tp_new */
    nullptr,                      /* tp_free */
    nullptr,                      /* tp_is_gc */
    nullptr,                      /* tp_bases */
    nullptr,                      /* tp_mro */
    nullptr,                      /* tp_cache */
    nullptr,                      /* tp_subclasses */
    nullptr,                      /* tp_weaklist */
    nullptr,                      /* tp_del */
    0,                            /* tp_version_tag */
    nullptr,                      /* tp_finalize */
    TOLQ_TYPE_OBJECT_TAIL
};

PyObject *interaction_addtomodule(PyObject *m)
{
    if (PyModule_AddType(m, &PyInteraction_Type) < 0) {  // readies the type, adds it as "Interaction"
        return nullptr;
    }
    return m;
}
