// The node types, one row each: the one list that the registry and the query loop are built
// from. A new type is its own .h/.cpp, its row here and, when the query loop runs its bodies,
// the #include of its header in pygraph.cpp. The loop's step kinds, their sources and its
// dispatch are generated from the rows, and a switch that misses a family or a step kind
// fails the build (-Werror=switch-enum).
//
//   X(P, NAME, stem, ROLE, SOURCES, LOAD), with P passed through to X:
//   NAME     the family FAMILY_NAME; a function type's step kinds are STEP_NAME1 (one source)
//            and STEP_NAME2 (two sources), as many as SOURCES allows
//   stem     the descriptor stem_typeobj, defined in the type's file; a function type's
//            header also gives the bodies the loop inlines, stem_state_t,
//            stem_value<TWO>(s, a0, a1) and stem_learn<TWO>(s, samples, a, da, a0, a1,
//            &share0, &share1), where TWO says whether the step reads source 1
//   ROLE     FUNCTION: the loop's steps are generated from those bodies; REGISTER: the loop
//            has code of its own for the register's roles (input, pass-through, output)
//   SOURCES  the source entries its passes read (enum source_use): FIRST (entry 0), BOTH
//            (both entries) or COUNTED (entry 0, and entry 1 with two sources)
//   LOAD     its place in the order in which the types register while the shared object
//            loads, from 0; the registry lists the last place first
//
// The rows are in the order of the query loop's cases, which lays out the loop's code: in this
// order graph B8 trains some 10% faster than in the order of registration (make bench).
#ifndef TOLQ_NODE_TYPES_H
#define TOLQ_NODE_TYPES_H

#define TOLQ_NODE_TYPES(X, P)                      \
    X(P, FIXED, fixed, REGISTER, FIRST, 3)         \
    X(P, CAT, cat, REGISTER, FIRST, 4)             \
    X(P, LINEAR, linear, FUNCTION, COUNTED, 1)     \
    X(P, TANH, tanh, FUNCTION, COUNTED, 6)         \
    X(P, GAUSSIAN, gaussian, FUNCTION, COUNTED, 0) \
    X(P, SINE, sine, FUNCTION, FIRST, 5)           \
    X(P, MULTIPLY, multiply, FUNCTION, BOTH, 2)

#endif
