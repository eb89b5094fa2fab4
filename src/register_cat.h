// The state and per-sample arithmetic of the "cat" register as inline bodies: the query
// loop inlines them, register_cat.cpp's entry points call them.
#ifndef TOLQ_REGISTER_CAT_H
#define TOLQ_REGISTER_CAT_H

#include "_tolq.h"

typedef struct register_cat_state {
    int array_index;                   // current sample of the bound entry array
    PyArrayObject *py_inputarray;      // owned NPY_LONG array of category_entry addresses
    PyArrayObject *py_outputarray;     // always null: the type cannot be an output
    PyArrayObject *py_expectedarray;   // always null: the type cannot be an output
    category_hashmap *map;             // owned: the categories and their weights
    category_entry **current_input;    // the entry of the last forward: a cache line's first cell
    void *current_input_buffer;        // owned allocation holding that cache line
} register_cat_state_t;

// The weight of the current sample's category, which becomes the one the reverse pass trains.
static inline float cat_read_input(register_cat_state_t *s)
{
    PyArrayObject *entries = s->py_inputarray;
    category_entry *e = *(category_entry **)(PyArray_BYTES(entries) +
                                             (npy_intp)s->array_index *
                                                 PyArray_STRIDE(entries, 0));
    *s->current_input = e;
    return (float)e->weight;
}

// weight -= 0.002 da, clamped to [-1, 1], on the category of the last forward pass.
static inline void cat_learn(register_cat_state_t *s, float da)
{
    category_entry *e = *s->current_input;
    float step = 0.002f * da;
    double w = e->weight - (double)step;
    e->weight = w > 1.0 ? 1.0 : (w < -1.0 ? -1.0 : w);
}

#endif
