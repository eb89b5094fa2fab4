// The registry of interaction types and the module's init function.
#include "_tolq.h"

#include <cstring>

// Head of the registry; register_types fills it while the shared object loads, before
// Python calls PyInit__tolq.
static interaction_type *interaction_types = nullptr;

void tolq_add_interactiontype(interaction_type *typeobj)
{
    typeobj->next = interaction_types;
    interaction_types = typeobj;
}

interaction_type *tolq_find_interactiontype(const char *type_name)
{
    for (interaction_type *t = interaction_types; t != nullptr; t = t->next) {
        if (strcmp(t->type_name, type_name) == 0) {
            return t;
        }
    }
    return nullptr;
}

// The load order of the node types: every place taken by exactly one row.
#define TOLQ_LOAD_PLACE(P, NAME, stem, ROLE, SOURCES, LOAD) LOAD,
static constexpr int load_places[] = {TOLQ_NODE_TYPES(TOLQ_LOAD_PLACE, _)};
#undef TOLQ_LOAD_PLACE
static constexpr int type_count = sizeof(load_places) / sizeof(load_places[0]);

static constexpr bool load_order_complete(void)
{
    for (int place = 0; place < type_count; place++) {
        int rows = 0;
        for (int p : load_places) {
            rows += p == place;
        }
        if (rows != 1) {
            return false;
        }
    }
    return true;
}
static_assert(load_order_complete(), "each place of the load order belongs to one node type");

// Registers every node type in its load order, each descriptor completed with what its row
// says; the registry then lists the last place first.
__attribute__((constructor)) static void register_types(void)
{
    interaction_type *by_place[type_count] = {};
#define TOLQ_PLACE(P, NAME, stem, ROLE, SOURCES, LOAD)     \
    stem##_typeobj.sources_read = SOURCES_##SOURCES;      \
    stem##_typeobj.family = FAMILY_##NAME;                \
    by_place[LOAD] = &stem##_typeobj;
    TOLQ_NODE_TYPES(TOLQ_PLACE, _)
#undef TOLQ_PLACE
    for (interaction_type *t : by_place) {
        tolq_add_interactiontype(t);
    }
}

int tolq_dict_lookup(PyObject *d, const char *key, PyObject **value)
{
    *value = nullptr;
    PyObject *k = PyUnicode_FromString(key);
    if (k == nullptr) {
        return -1;
    }
    // The comparisons of the lookup may run Python code that changes `d`: hold the item.
    PyObject *item = PyDict_GetItemWithError(d, k);
    Py_XINCREF(item);
    Py_DECREF(k);
    if (item == nullptr) {
        return PyErr_Occurred() ? -1 : 0;
    }
    *value = item;
    return 1;
}

// NumPy's table pointer, which every file reaches through the headers (they declare it, as
// no file takes NumPy's own import step), and the feature version behind its compat macros.
NPY_API_SYMBOL_ATTRIBUTE void **PyArray_API = nullptr;
NPY_API_SYMBOL_ATTRIBUTE int PyArray_RUNTIME_VERSION = 0;

// NumPy 1.x reports ABI 0x1000009, NumPy 2.x 0x2000000; the 1.19 subset we use is in both.
static const unsigned int ABI_NUMPY1 = 0x1000009;
static const unsigned int ABI_NUMPY2 = 0x2000000;

// The table from NumPy's _ARRAY_API capsule, or null with the error set.
static void **array_api_table(void)
{
    PyObject *numpy = PyImport_ImportModule("numpy._core._multiarray_umath");
    if (numpy == nullptr && PyErr_ExceptionMatches(PyExc_ModuleNotFoundError)) {
        PyErr_Clear();
        numpy = PyImport_ImportModule("numpy.core._multiarray_umath");
    }
    if (numpy == nullptr) {
        return nullptr;
    }
    PyObject *c_api = PyObject_GetAttrString(numpy, "_ARRAY_API");
    Py_DECREF(numpy);
    if (c_api == nullptr) {
        PyErr_SetString(PyExc_AttributeError, "_ARRAY_API not found");
        return nullptr;
    }
    if (!PyCapsule_CheckExact(c_api)) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is not PyCapsule object");
        Py_DECREF(c_api);
        return nullptr;
    }
    void **table = (void **)PyCapsule_GetPointer(c_api, nullptr);
    Py_DECREF(c_api);
    if (table == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "_ARRAY_API is NULL pointer");
    }
    return table;
}

// Checks the versions and the byte order of the table in PyArray_API: -1 with the error set.
static int check_array_api(void)
{
    unsigned int abi = PyArray_GetNDArrayCVersion();
    if (abi != ABI_NUMPY1 && abi != ABI_NUMPY2) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against ABI version 0x%x but this version of numpy is 0x%x",
                     ABI_NUMPY1, abi);
        return -1;
    }
    unsigned int feature = PyArray_GetNDArrayCFeatureVersion();
    if (feature < NPY_FEATURE_VERSION) {
        PyErr_Format(PyExc_RuntimeError,
                     "module compiled against API version 0x%x but this version of numpy is 0x%x",
                     (unsigned int)NPY_FEATURE_VERSION, feature);
        return -1;
    }
    PyArray_RUNTIME_VERSION = (int)feature;
    int endian = PyArray_GetEndianness();
    if (endian == NPY_CPU_UNKNOWN_ENDIAN) {
        PyErr_SetString(PyExc_RuntimeError, "FATAL: module compiled as unknown endian");
        return -1;
    }
    if (endian != NPY_CPU_LITTLE) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FATAL: module compiled as little endian, but detected different "
                        "endianness at runtime");
        return -1;
    }
    return 0;
}

// The module's one NumPy import, in place of NumPy's own step: that one words its errors
// otherwise and takes any ABI up to the headers' (2.x), where we take 1.x and 2.x exactly.
static int import_numpy(void)
{
    PyArray_API = array_api_table();
    if (PyArray_API == nullptr || check_array_api() < 0) {
        PyArray_API = nullptr;
        return -1;
    }
    return 0;
}

static PyMethodDef PyTolq_methods[] = {
    {nullptr, nullptr, 0, nullptr}  // sentinel: the module has no functions
};

static struct PyModuleDef tolqmodule = {
    PyModuleDef_HEAD_INIT,
    "_tolq",               /* m_name */
    "Tolq C Extension",    /* m_doc */
    -1,                    /* m_size: state lives in process-wide variables */
    PyTolq_methods,        /* m_methods */
    nullptr,               /* m_slots */
    nullptr,               /* m_traverse */
    nullptr,               /* m_clear */
    nullptr,               /* m_free */
};

PyMODINIT_FUNC PyInit__tolq(void)
{
    PyObject *m = PyModule_Create2(&tolqmodule, 1013);
    if (m == nullptr) {
        return nullptr;
    }
    if (import_numpy() < 0) {
        PyErr_Print();
        PyErr_SetString(PyExc_ImportError, "numpy.core.multiarray failed to import");
        goto error;
    }
    if (graph_addtomodule(m) == nullptr || interaction_addtomodule(m) == nullptr ||
        interactionstate_addtomodule(m) == nullptr) {
        goto error;
    }
    if (PyModule_AddStringConstant(m, "DEFAULT_LOSS", "mean_squared_error") < 0) {
        goto error;
    }
    return m;
error:
    Py_DECREF(m);
    return nullptr;
}
