// The query loop: the per-sample passes of a query, run without the interpreter lock.
#ifndef TOLQ_QUERY_LOOP_H
#define TOLQ_QUERY_LOOP_H

#include "_tolq.h"

// What a slot does in the coming query, resolved once from its type and its binding.
enum step_kind {
    STEP_INPUT,           // "fixed" reading its column
    STEP_INPUT_OUTPUT,    // "fixed" reading its column and writing the result
    STEP_PASS,            // "fixed" passing its source on
    STEP_OUTPUT,          // "fixed" passing its source on into the result
    STEP_CAT_INPUT,       // "cat" reading its categories
    STEP_CAT_PASS,        // "cat" passing its source on
    STEP_LINEAR1,
    STEP_LINEAR2,
    STEP_TANH1,
    STEP_TANH2,
    STEP_GAUSSIAN1,
    STEP_GAUSSIAN2,
    STEP_SINE,
    STEP_MULTIPLY,
    STEP_TABLE,           // any other type: the table's passes
};

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

// Resolves every slot's step; returns the number of floats of block space a query of `count`
// samples needs (0 when it runs sample by sample only). With that space a prediction runs each slot over
// a block of samples before the next slot, and training scales a block's inputs and
// expected values ahead of the per-sample passes.
size_t query_resolve(PyGraph_Object *g, int tune, npy_intp count);

// Runs `count` samples; `block` holds the space query_resolve asked for, or is null for
// sample by sample. 0, or -1 with the error recorded in the graph.
int query_run(PyGraph_Object *g, npy_intp count, int tune, float *block);

// Reads the environment once, at module start.
void query_loop_init(void);

#endif
