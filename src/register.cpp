// The "fixed" register: a numeric column in, or the prediction out, scaled to [-1, 1].
//
//   scale in:  s = 2 (x - feature_min) / (feature_max - feature_min) - 1, clamped to [-1, 1]
//   scale out: y = (1 + a) (feature_max - feature_min) / 2 + feature_min
//   reverse (output):       da[source] = loss'(scaled expected value, activation)
//   reverse (pass-through): da[source] += da
#include "_tolq.h"

#include <cmath>
#include <cstring>

typedef struct register_state {
    int array_index;                   // current sample of the bound arrays
    PyArrayObject *py_inputarray;      // owned float32 copy of the input column, or null
    PyArrayObject *py_outputarray;     // owned float32 result being filled, or null
    PyArrayObject *py_expectedarray;   // owned float32 copy of the expected values, or null
    float feature_max;                 // upper end of the range; NaN while unknown
    float feature_min;                 // lower end of the range; NaN while unknown
    int auto_adapt;                    // whether bound arrays widen the range
} register_state_t;

static_assert(sizeof(register_state_t) <= sizeof(((PyInteraction_Object *)0)->data),
              "register state must fit the interaction record");

static const char *attributes[] = {"feature_min", "feature_max", "auto_adapt", nullptr};

static inline register_state_t *state_of(PyInteraction_Object *interaction)
{
    return (register_state_t *)interaction->data;
}

static inline float element(PyArrayObject *array, int index)
{
    return *(float *)(PyArray_BYTES(array) + (npy_intp)index * PyArray_STRIDE(array, 0));
}

static inline float scale_in(PyInteraction_Object *interaction, register_state_t *s, float x)
{
    float d = x - s->feature_min;
    float range = s->feature_max - s->feature_min;
    // A one-point range maps its point to the middle rather than to 0/0.
    float v = (range == 0.0f && d == 0.0f) ? 0.0f : (d + d) / range - 1.0f;
    if (v > 1.0f) {
        v = 1.0f;
        interaction->errcode = 1;
    } else if (v < -1.0f) {
        v = -1.0f;
        interaction->errcode = 1;
    }
    return v;
}

static inline float scale_out(register_state_t *s, float a)
{
    return (1.0f + a) * (s->feature_max - s->feature_min) * 0.5f + s->feature_min;
}

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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
    PyObject *array = (PyObject *)s->py_outputarray;
    s->py_outputarray = nullptr;
    return array;
}

static inline void write_output(register_state_t *s, float a)
{
    *(float *)(PyArray_BYTES(s->py_outputarray) +
               (npy_intp)s->array_index * PyArray_STRIDE(s->py_outputarray, 0)) = scale_out(s, a);
}

// The forward pass of one role: INPUT reads the bound column (else the source's activation),
// OUTPUT writes the result array.
template <bool INPUT, bool OUTPUT>
static int forward_role(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    register_state_t *s = state_of(interaction);
    if (n_samples >= 1) {
        if (INPUT) {
            float x = element(s->py_inputarray, s->array_index);
            interaction->activation[0] = x;
            if (!std::isfinite(x)) {
                graph_record_error(g, PyExc_RuntimeError,
                                   "Nan found in input array in register '%s'", interaction->name);
                return -1;
            }
            interaction->activation[0] = scale_in(interaction, s, x);
        } else {
            interaction->activation[0] = graph_get_activation(g, interaction->sources[0], 0);
        }
        if (OUTPUT) {
            write_output(s, interaction->activation[0]);
        }
    }
    s->array_index += n_samples;
    return 0;
}

// The reverse pass of one role: EXPECTED turns the expected value into the loss gradient,
// else the register passes its own da on; SOURCE says whether there is a source to feed.
template <bool EXPECTED, bool SOURCE>
static int reverse_role(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    register_state_t *s = state_of(interaction);
    if (n_samples <= 0) {
        return 0;
    }
    if (EXPECTED) {
        float e = element(s->py_expectedarray, s->array_index - n_samples);
        if (!std::isfinite(e)) {
            graph_record_error(g, PyExc_RuntimeError,
                               "Nan found in expected array in register '%s'", interaction->name);
            return -1;
        }
        float t = scale_in(interaction, s, e);
        float grad = interaction->loss_dv_f(t, interaction->activation[0]);
        if (SOURCE) {
            graph_get_interaction(g, interaction->sources[0])->da[0] = grad;
        }
    } else if (SOURCE) {
        graph_add_da(g, interaction->sources[0], 0, interaction->da[0]);
    }
    return 0;
}

static void plan(PyInteraction_Object *interaction, pass_func *forward, pass_func *reverse)
{
    register_state_t *s = state_of(interaction);
    bool input = interaction->sources[0] == -1;
    bool output = s->py_outputarray != nullptr;
    if (input) {
        *forward = output ? forward_role<true, true> : forward_role<true, false>;
    } else {
        *forward = output ? forward_role<false, true> : forward_role<false, false>;
    }
    if (s->py_expectedarray != nullptr) {
        *reverse = input ? reverse_role<true, false> : reverse_role<true, true>;
    } else {
        *reverse = input ? nullptr : reverse_role<false, true>;
    }
}

static int forward(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    pass_func pass, unused;
    plan(interaction, &pass, &unused);
    return pass(g, interaction, n_samples);
}

static int reverse(PyGraph_Object *g, PyInteraction_Object *interaction, int n_samples) noexcept
{
    pass_func unused, pass;
    plan(interaction, &unused, &pass);
    return pass == nullptr ? 0 : pass(g, interaction, n_samples);
}

static PyObject *getattr(PyInteraction_Object *interaction, const char *name)
{
    register_state_t *s = state_of(interaction);
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
    register_state_t *s = state_of(interaction);
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

// Stores the loss named `function_name` into `*function`; non-zero, and nothing stored,
// when no loss has that name.
static int set_loss_function_from_string(const char *function_name, loss_func *function)
{
    for (int i = 0; loss_functions[i].name != nullptr; i++) {
        if (strcmp(function_name, loss_functions[i].name) == 0) {
            *function = loss_functions[i].function;
            return 0;
        }
    }
    return -1;
}

static int set_loss(PyInteraction_Object *interaction, PyObject *value)
{
    const char *name = PyBytes_Check(value) ? PyBytes_AsString(value) : PyUnicode_AsUTF8(value);
    if (name == nullptr || set_loss_function_from_string(name, &interaction->loss_dv_f) != 0) {
        PyErr_Clear();
        PyErr_SetString(PyExc_ValueError, "Invalid loss function provided");
        return -1;
    }
    return 0;
}

static void deallocate(PyInteraction_Object *interaction)
{
    register_state_t *s = state_of(interaction);
    Py_CLEAR(s->py_inputarray);
    Py_CLEAR(s->py_expectedarray);
    Py_CLEAR(s->py_outputarray);
}

static interaction_type typeobj = {
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
    nullptr,                /* next */
    SOURCES_FIRST,          /* sources_read */
    plan,                   /* plan */
};

__attribute__((constructor)) static void init(void)
{
    tolq_add_interactiontype(&typeobj);
}
