// The "fixed" register: a numeric column in, or the prediction out, scaled to [-1, 1].
//
//   scale in:  s = 2 (x - feature_min) / (feature_max - feature_min) - 1, clamped to [-1, 1]
//   scale out: y = (1 + a) (feature_max - feature_min) / 2 + feature_min
//   reverse (output):       da[source] = loss'(scaled expected value, activation)
//   reverse (pass-through): da[source] += da
#include "register.h"

#include <cmath>
#include <cstring>


static const char *const attributes[] = {"feature_min", "feature_max", "auto_adapt", nullptr};

static void set_default_range(register_state_t *s)
{
    if (std::isnan(s->feature_max)) {
        s->feature_max = 1.0f;
    }
    if (std::isnan(s->feature_min)) {
        s->feature_min = -1.0f;
    }
}

static int initialize(PyInteraction_Object *interaction)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    s->array_index = 0;
    s->py_inputarray = nullptr;
    s->py_outputarray = nullptr;
    s->py_expectedarray = nullptr;
    s->feature_max = NAN;
    s->feature_min = NAN;
    s->auto_adapt = 1;
    interaction->loss_dv_f = mean_squared_error;
    interaction->data_size = sizeof(register_state_t);
    return 0;
}

// The float value of a reduction of `array`, or -1 with an exception set: NumPy's own when
// the reduction fails, a ValueError naming the register when its result is no number.
static int reduce_to_float(PyInteraction_Object *interaction, PyArrayObject *array, bool maximum,
                           const char *role, float *out)
{
    PyObject *m = maximum ? PyArray_Max(array, NPY_RAVEL_AXIS, nullptr)
                          : PyArray_Min(array, NPY_RAVEL_AXIS, nullptr);
    if (m == nullptr) {
        return -1;
    }
    double v = PyFloat_AsDouble(m);
    Py_DECREF(m);
    if (v == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Format(PyExc_ValueError, "range of %s %s could not be read as numbers",
                         role, interaction->name);
        }
        return -1;
    }
    *out = (float)v;
    return 0;
}

// Arrays up to this length have their range read here rather than by NumPy's reductions,
// whose fixed cost dominates the query of a few samples.
static const npy_intp SHORT_ARRAY = 64;

// The range of a short array, or false where NumPy's reduction must decide: a NaN (whose
// payload NumPy picks) or a zero end (whose sign depends on how NumPy pairs the elements).
template <typename T>
static bool range_of(PyArrayObject *array, float *hi, float *lo)
{
    const char *data = PyArray_BYTES(array);
    npy_intp stride = PyArray_STRIDE(array, 0);
    double mx = *(const T *)data, mn = mx;
    for (npy_intp i = 1, n = PyArray_DIM(array, 0); i < n; i++) {
        double v = *(const T *)(data + i * stride);
        mx = v > mx ? v : mx;
        mn = v < mn ? v : mn;
        if (std::isnan(v)) {
            return false;
        }
    }
    if (std::isnan(mx) || mx == 0.0 || mn == 0.0) {
        return false;
    }
    *hi = (float)mx;
    *lo = (float)mn;
    return true;
}

// Reads the range of a short 1-D array of native floats; false for any other array.
static bool short_range(PyArrayObject *array, float *hi, float *lo)
{
    if (PyArray_NDIM(array) != 1 || PyArray_DIM(array, 0) > SHORT_ARRAY ||
        !PyArray_ISNOTSWAPPED(array) || !PyArray_ISALIGNED(array)) {
        return false;
    }
    switch (PyArray_TYPE(array)) {
    case NPY_DOUBLE:
        return range_of<double>(array, hi, lo);
    case NPY_FLOAT:
        return range_of<float>(array, hi, lo);
    default:
        return false;
    }
}

// Widens the range to cover `array` as passed in. Both ends are read before either is
// changed, so a failure leaves the range as it was.
static int widen_range(PyInteraction_Object *interaction, PyArrayObject *array, const char *role)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    float hi, lo;
    if (PyArray_SIZE(array) == 0) {
        return 0;  // nothing to cover
    }
    if (!short_range(array, &hi, &lo) &&
        (reduce_to_float(interaction, array, true, role, &hi) < 0 ||
         reduce_to_float(interaction, array, false, role, &lo) < 0)) {
        return -1;
    }
    if (std::isnan(s->feature_max) || hi > s->feature_max) {
        s->feature_max = hi;
    }
    if (std::isnan(s->feature_min) || lo < s->feature_min) {
        s->feature_min = lo;
    }
    return 0;
}

// Binds a float32 copy of `array` into `*field`, or releases the binding for null.
static int bind_copy(PyInteraction_Object *interaction, PyArrayObject **field, PyObject *array,
                     const char *role)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    s->array_index = 0;
    Py_CLEAR(*field);
    if (array == nullptr) {
        return 0;
    }
    PyObject *copy = PyArray_CastToType((PyArrayObject *)array, PyArray_DescrFromType(NPY_FLOAT), 0);
    if (copy == nullptr) {
        // Running out of memory says nothing about the data: let MemoryError through.
        if (!PyErr_ExceptionMatches(PyExc_MemoryError)) {
            PyErr_Format(PyExc_ValueError,
                         "%s %s could not be cast to type of register (float32)", role,
                         interaction->name);
        }
        return -1;
    }
    *field = (PyArrayObject *)copy;
    return 0;
}

static int set_inputarray(PyInteraction_Object *interaction, PyObject *array)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    if (bind_copy(interaction, &s->py_inputarray, array, "input") < 0) {
        return -1;
    }
    if (array == nullptr) {
        return 0;
    }
    if (s->auto_adapt) {
        return widen_range(interaction, (PyArrayObject *)array, "input");
    }
    set_default_range(s);
    return 0;
}

static int set_expectedarray(PyInteraction_Object *interaction, PyObject *array)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    if (bind_copy(interaction, &s->py_expectedarray, array, "expected") < 0) {
        return -1;
    }
    if (array != nullptr && s->auto_adapt) {
        return widen_range(interaction, (PyArrayObject *)array, "expected");
    }
    return 0;
}

static int create_outputarray(PyInteraction_Object *interaction, long n)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    set_default_range(s);
    s->array_index = 0;
    Py_CLEAR(s->py_outputarray);
    npy_intp dims[1] = {(npy_intp)n};
    // A refusal leaves NumPy's exception set and the field null; the driver raises it.
    s->py_outputarray = (PyArrayObject *)PyArray_New(&PyArray_Type, 1, dims, NPY_FLOAT, nullptr,
                                                     nullptr, 0, 0, nullptr);
    return 0;
}

static PyObject *get_outputarray(PyInteraction_Object *interaction)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    PyObject *array = (PyObject *)s->py_outputarray;
    s->py_outputarray = nullptr;
    return array;
}

// The table's passes, for callers outside the query loop; the loop inlines the same bodies.
// The role follows from the binding: an input reads its column (else its source), the
// register holding a result array writes it, and one holding expected values turns them
// into the loss gradient, where any other passes its da on.
static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    register_state_t *s = type_state<register_state_t>(interaction);
    if (n_samples >= 1) {
        float a;
        if (interaction->sources[0] == -1) {
            if (register_read_input(g, interaction, s, &a) < 0) {
                return -1;
            }
        } else {
            a = graph_get_activation(g, interaction->sources[0], 0);
        }
        interaction->activation[0] = a;
        if (s->py_outputarray != nullptr) {
            register_write_output(s, a);
        }
    }
    s->array_index += n_samples;
    return 0;
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    register_state_t *s = type_state<register_state_t>(interaction);
    bool source = interaction->sources[0] != -1;
    if (n_samples <= 0) {
        return 0;
    }
    if (s->py_expectedarray != nullptr) {
        float t;
        if (register_read_expected(g, interaction, s, &t) < 0) {
            return -1;
        }
        float grad = interaction->loss_dv_f(t, interaction->activation[0]);
        if (source) {
            graph_get_interaction(g, interaction->sources[0])->da[0] = grad;
        }
    } else if (source) {
        graph_add_da(g, interaction->sources[0], 0, interaction->da[0]);
    }
    return 0;
}

static PyObject *getattr(PyInteraction_Object *interaction, const char *name)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    if (strcmp(name, "feature_min") == 0) {
        return PyFloat_FromDouble(s->feature_min);
    }
    if (strcmp(name, "feature_max") == 0) {
        return PyFloat_FromDouble(s->feature_max);
    }
    if (strcmp(name, "auto_adapt") == 0) {
        return PyBool_FromLong(s->auto_adapt);
    }
    return nullptr;
}

static int setattr(PyInteraction_Object *interaction, const char *name, PyObject *value)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    float *end = nullptr;
    if (strcmp(name, "feature_min") == 0) {
        end = &s->feature_min;
    } else if (strcmp(name, "feature_max") == 0) {
        end = &s->feature_max;
    } else if (strcmp(name, "auto_adapt") == 0) {
        if (!PyBool_Check(value)) {
            return -1;
        }
        s->auto_adapt = value == Py_True;
        return 0;
    } else {
        return -1;
    }
    return tolq_number_as_float(value, end);
}

static const char *get_tooltip(PyInteraction_Object *interaction)
{
    return interaction->name;
}

// The selectable losses, compared in this order; the lookup is exact and case-sensitive.
static const struct {
    const char *name;
    loss_func function;
} loss_functions[] = {
    {"mean_absolute_error", mean_absolute_error},
    {"mean_squared_error", mean_squared_error},
    {"categorical_cross_entropy", categorical_cross_entropy},
    {nullptr, nullptr},
};

// Stores the loss named `function_name` into `*function`; false, and nothing stored, when
// no loss has that name.
static bool set_loss_function_from_string(const char *function_name, loss_func *function)
{
    for (int i = 0; loss_functions[i].name != nullptr; i++) {
        if (strcmp(function_name, loss_functions[i].name) == 0) {
            *function = loss_functions[i].function;
            return true;
        }
    }
    return false;
}

static int set_loss(PyInteraction_Object *interaction, PyObject *value)
{
    const char *name = PyBytes_Check(value) ? PyBytes_AsString(value) : PyUnicode_AsUTF8(value);
    if (name == nullptr || !set_loss_function_from_string(name, &interaction->loss_dv_f)) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid loss function provided");
        return -1;
    }
    return 0;
}

static void deallocate(PyInteraction_Object *interaction)
{
    register_state_t *s = type_state<register_state_t>(interaction);
    Py_CLEAR(s->py_inputarray);
    Py_CLEAR(s->py_expectedarray);
    Py_CLEAR(s->py_outputarray);
}

interaction_type fixed_typeobj = {
    "fixed",                /* type_name */
    initialize,             /* initialize */
    forward,                /* forward */
    reverse,                /* reverse */
    attributes,             /* attributes */
    setattr,                /* setattr */
    getattr,                /* getattr */
    get_tooltip,            /* get_tooltip */
    deallocate,             /* deallocate */
    set_inputarray,         /* set_inputarray */
    set_expectedarray,      /* set_expectedarray */
    create_outputarray,     /* create_outputarray */
    set_loss,               /* set_loss */
    get_outputarray,        /* get_outputarray */
};
