// The state and per-sample arithmetic of the "fixed" register as inline bodies: the query
// loop inlines them, register.cpp's entry points call them.
#ifndef TOLQ_REGISTER_H
#define TOLQ_REGISTER_H

#include "_tolq.h"

typedef struct register_state {
    int array_index;                   // current sample of the bound arrays
    PyArrayObject *py_inputarray;      // owned float32 copy of the input column, or null
    PyArrayObject *py_outputarray;     // owned float32 result being filled, or null
    PyArrayObject *py_expectedarray;   // owned float32 copy of the expected values, or null
    float feature_max;                 // upper end of the range; NaN while unknown
    float feature_min;                 // lower end of the range; NaN while unknown
    int auto_adapt;                    // whether bound arrays widen the range
} register_state_t;

static inline float *register_element(PyArrayObject *array, npy_intp index)
{
    return (float *)(PyArray_BYTES(array) + index * PyArray_STRIDE(array, 0));
}

// Clamps `v` to [-1, 1]; a clamp sets the register's errcode.
static inline float register_clamp(PyInteraction_Object *interaction, float v)
{
    if (v > 1.0f) {
        v = 1.0f;
        interaction->errcode = 1;
    } else if (v < -1.0f) {
        v = -1.0f;
        interaction->errcode = 1;
    }
    return v;
}

// 2 (x - feature_min) / (feature_max - feature_min) - 1, before the clamp.
static inline float register_scale(const register_state_t *s, float x)
{
    float d = x - s->feature_min;
    float range = s->feature_max - s->feature_min;
    // A one-point range maps its point to the middle rather than to 0/0.
    return (range == 0.0f && d == 0.0f) ? 0.0f : (d + d) / range - 1.0f;
}

static inline float register_scale_in(PyInteraction_Object *interaction, const register_state_t *s,
                                      float x)
{
    return register_clamp(interaction, register_scale(s, x));
}

static inline float register_scale_out(const register_state_t *s, float a)
{
    return (1.0f + a) * (s->feature_max - s->feature_min) * 0.5f + s->feature_min;
}

// The input of the current sample, scaled, into *out; -1 with the error recorded for a value
// that is not finite (the activation then holds the raw value).
static inline int register_read_input(PyGraph_Object *g, PyInteraction_Object *interaction,
                                      register_state_t *s, float *out)
{
    float x = *register_element(s->py_inputarray, s->array_index);
    interaction->activation[0] = x;
    if (!std::isfinite(x)) {
        graph_record_error(g, PyExc_RuntimeError, "Nan found in input array in register '%s'",
                           interaction->name);
        return -1;
    }
    *out = register_scale_in(interaction, s, x);
    return 0;
}

static inline void register_write_output(register_state_t *s, float a)
{
    *register_element(s->py_outputarray, s->array_index) = register_scale_out(s, a);
}

// The scaled expected value of the sample before the running index, into *out; -1 with the
// error recorded for a value that is not finite.
static inline int register_read_expected(PyGraph_Object *g, PyInteraction_Object *interaction,
                                         register_state_t *s, float *out)
{
    float e = *register_element(s->py_expectedarray, s->array_index - 1);
    if (!std::isfinite(e)) {
        graph_record_error(g, PyExc_RuntimeError, "Nan found in expected array in register '%s'",
                           interaction->name);
        return -1;
    }
    *out = register_scale_in(interaction, s, e);
    return 0;
}

#endif
