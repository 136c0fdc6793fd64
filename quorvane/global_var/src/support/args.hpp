// Argument binding for the module's functions: positional and keyword
// arguments matched to the parameter names, with the module's messages for
// wrong calls.
#pragma once

#include "support/names.hpp"

namespace qv {

constexpr int max_params = 2;

struct Signature {
    const char* name;             // the plain function name used in messages
    int nparams;                  // parameters, all positional-or-keyword
    int nrequired;                // leading parameters without a default
    PyObject* Names::*const* params;  // the parameter names, as fields of `names`

    PyObject* param(int index) const { return names.*params[index]; }
};

// Binds a call's positional tuple and keyword dict (or null).  On success
// every values[i] holds an owned reference (parameters that were not passed
// keep what the caller put there: their default).  On failure an exception
// (the TypeError of a wrong call) is set and false returned.
bool bind_arguments(const Signature& signature, PyObject* args, PyObject* kwargs, Ref* values);

}  // namespace qv
