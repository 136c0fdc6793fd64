#include "support/compat.hpp"

#include "support/names.hpp"

#include <cstdio>

namespace qv {
namespace compat {

void runtime_version(int* major, int* minor) {
#if QV_PY311
    *major = static_cast<int>((Py_Version >> 24) & 0xFF);
    *minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    *major = 0;
    *minor = 0;
    if (std::sscanf(Py_GetVersion(), "%d.%d", major, minor) != 2) {
        *major = 0;
        *minor = 0;
    }
#endif
}

PyObject* new_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name,
                   int firstlineno) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    PyObject* code = constants.empty_bytes;
    PyObject* empty = constants.empty_tuple;
#if QV_PY312
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames, empty, empty, filename,
        name, name, firstlineno, code, code));
#elif QV_PY311
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames, empty, empty, filename,
        name, name, firstlineno, code, code));
#else
#if QV_PY38
    PyCodeObject* made =
        PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames,
                                  empty, empty, filename, name, firstlineno, code);
#else
    PyCodeObject* made = PyCode_New(argcount, 0, nlocals, 0, flags, code, empty, empty, varnames,
                                    empty, empty, filename, name, firstlineno, code);
#endif
    // These versions add CO_NOFREE to code without free or cell variables;
    // the objects report exactly the two flags they were made with.
    if (made != nullptr) {
        made->co_flags = flags;
    }
    return reinterpret_cast<PyObject*>(made);
#endif
}

#if !QV_PY312
namespace {

// What the module type's own lookup does for a missing name after the
// __getattr__ hook: 3.8 to 3.11 consult __spec__._initializing to word the
// error (a read that Python code can observe, so it is made here too).
void consult_spec_like_module_lookup(PyObject* dict) {
#if QV_PY38
    PyObject* module_name = PyDict_GetItemWithError(dict, names.__name__);
    if (module_name == nullptr || !PyUnicode_Check(module_name)) {
        PyErr_Clear();
        return;
    }
    Py_INCREF(module_name);
    PyObject* spec = PyDict_GetItemWithError(dict, names.__spec__);
    Py_XINCREF(spec);
    if (spec != nullptr) {
        PyObject* flag = nullptr;
        if (lookup_attr(spec, names._initializing, &flag) > 0) {
            (void)PyObject_IsTrue(flag);
            Py_DECREF(flag);
        }
        Py_DECREF(spec);
    }
    PyErr_Clear();
    Py_DECREF(module_name);
#else
    (void)dict;
#endif
}

}  // namespace
#endif

int getattr_optional(PyObject* obj, PyObject* name, PyObject** result) {
#if !QV_PY312
    if (Py_TYPE(obj)->tp_getattro == PyModule_Type.tp_getattro && PyUnicode_Check(name)) {
        *result = generic_getattr_or_null(obj, name);
        if (*result != nullptr) {
            return 1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        PyObject* dict = PyModule_GetDict(obj);
        PyObject* hook = PyDict_GetItemWithError(dict, names.__getattr__);
        if (hook != nullptr) {
            Py_INCREF(hook);
            PyObject* args[2] = {nullptr, name};
            *result = vectorcall(hook, args + 1, 1 | args_offset);
            Py_DECREF(hook);
            if (*result != nullptr) {
                return 1;
            }
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        consult_spec_like_module_lookup(dict);
        return 0;
    }
#endif
    return lookup_attr(obj, name, result);
}

}  // namespace compat
}  // namespace qv
