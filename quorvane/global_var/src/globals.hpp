// What the module's three subsystems share: the captured builtins, global
// name lookup and the function definitions.
#pragma once

#include "support/function.hpp"
#include "support/names.hpp"

namespace qv {

// The builtins captured once by the exec step.
struct Builtins {
    Slot module;  // the builtins module
    Slot object;
    Slot enumerate;
    Slot map;
    Slot value_error;
};
extern Builtins builtins;

// A module global as the functions read it: the module's dict first, then
// the builtins; NameError "name '...' is not defined" when neither has it.
Ref read_global(PyObject* globals, PyObject* name);

// Calls `callable` with one argument.
inline Ref call1(PyObject* callable, PyObject* arg) {
    PyObject* args[2] = {nullptr, arg};
    return Ref::steal(compat::vectorcall(callable, args + 1, 1 | compat::args_offset));
}

inline Ref call0(PyObject* callable) {
    return Ref::steal(compat::vectorcall(callable, nullptr, 0));
}

// Transliteration (apply_unidecoding).
extern const FunctionDef apply_unidecoding_def;
// Calls apply_unidecoding through `function` (the module global): directly
// when it is this module's own function, else through the call protocol.
Ref call_apply_unidecoding(PyObject* function, PyObject* arg);

// Configuration context (config_global_var).
extern const FunctionDef config_init_def;
extern const FunctionDef config_getattribute_def;
// Gives the class just built (and not yet published) an attribute slot that
// runs its __getattribute__ directly (see the definition)...
void install_class_slot(PyObject* cls);
// ...which it does once the exec step that built the class has succeeded;
// `globals` is the namespace of the initialised module.
void serve_class(PyObject* cls, PyObject* globals);
// Drops the class served (for after its interpreter has been finalized).
void forget_served_class();

}  // namespace qv
