// The module's function type: a callable that binds to instances like a
// Python function (a bound method through an instance, itself through the
// class) and carries the introspection attributes of one.
#pragma once

#include "support/args.hpp"
#include "support/traceback.hpp"

namespace qv {

// The body receives the function object and its bound arguments, one per
// parameter, alive for the duration of the call.
using FunctionBody = PyObject* (*)(PyObject* function, PyObject* const* args);

struct FunctionDef {
    Signature signature;
    Entry entry;       // traceback entry of the function's failures
    int line;          // source line of the definition
    FunctionBody body;
};

// Creates the type once per process.  Returns false with an exception set.
bool ready_function_type();
// Makes the type unready (for after the interpreter that readied it has been
// finalized), dropping what it held without touching it.
void forget_function_type();

// A new function object.  `defaults` is what __defaults__ reports (None or a
// tuple); calls bind with the definition's own defaults, which are None.
PyObject* new_function(const FunctionDef* def, PyObject* qualname, PyObject* doc,
                       PyObject* defaults, PyObject* code, PyObject* globals);

// The definition behind `obj` when it is one of this module's functions.
const FunctionDef* function_def(PyObject* obj);

PyObject* function_globals(PyObject* function);

}  // namespace qv
