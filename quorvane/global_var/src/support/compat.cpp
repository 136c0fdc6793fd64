#include "support/compat.hpp"

#include "support/names.hpp"
#include "support/ref.hpp"

#include <cstdlib>
#include <cstring>

namespace qv {
namespace compat {

void runtime_version(int* major, int* minor) {
#if QV_PY311
    *major = static_cast<int>((Py_Version >> 24) & 0xFF);
    *minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    // The leading "major.minor" of the version text.
    const char* text = Py_GetVersion();
    char* end = nullptr;
    *major = static_cast<int>(std::strtol(text, &end, 10));
    *minor = (end != nullptr && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10))
                                             : 0;
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
#if !QV_PUBLIC_API_ONLY
    // These versions add CO_NOFREE to code without free or cell variables;
    // the objects report exactly the two flags they were made with.
    if (made != nullptr) {
        made->co_flags = flags;
    }
#endif
    return reinterpret_cast<PyObject*>(made);
#endif
}

#if !QV_PY39 && QV_PUBLIC_API_ONLY
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames) {
    // args: the positional arguments, then the values of the keywords.
    const Py_ssize_t nargs = static_cast<Py_ssize_t>(nargsf & ~args_offset);
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    Ref positional = Ref::steal(PyTuple_New(nargs));
    if (!positional) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        PyTuple_SET_ITEM(positional.get(), i, Ref::borrow(args[i]).release());
    }
    Ref keywords;
    if (nkw > 0) {
        keywords = Ref::steal(PyDict_New());
        for (Py_ssize_t i = 0; keywords && i < nkw; ++i) {
            if (PyDict_SetItem(keywords.get(), PyTuple_GET_ITEM(kwnames, i), args[nargs + i]) < 0) {
                keywords.reset();
            }
        }
        if (!keywords) {
            return nullptr;
        }
    }
    return PyObject_Call(callable, positional.get(), keywords.get());
}
#endif

#if QV_PUBLIC_API_ONLY && QV_PY312 && !QV_PY313
namespace {

// The builtin getattr, made afresh from the builtins module's method table
// (a replaced builtins.getattr does not stand in for it), and the default
// it is given, an object nothing else can hold.
struct GenuineGetattr {
    PyObject* function = nullptr;
    PyObject* missing = nullptr;
};
GenuineGetattr genuine_getattr;

}  // namespace

bool init(PyObject* builtins_module) {
    if (genuine_getattr.function != nullptr) {
        return true;
    }
    PyModuleDef* def = PyModule_GetDef(builtins_module);
    for (PyMethodDef* method = def != nullptr ? def->m_methods : nullptr;
         method != nullptr && method->ml_name != nullptr; ++method) {
        if (std::strcmp(method->ml_name, "getattr") == 0) {
            genuine_getattr.missing =
                PyObject_CallNoArgs(reinterpret_cast<PyObject*>(&PyBaseObject_Type));
            genuine_getattr.function = genuine_getattr.missing != nullptr
                                           ? PyCFunction_NewEx(method, builtins_module, nullptr)
                                           : nullptr;
            return genuine_getattr.function != nullptr;
        }
    }
    PyErr_SetString(PyExc_ImportError, "the builtins module has no getattr");
    return false;
}

void forget() { genuine_getattr = GenuineGetattr(); }

int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
    PyObject* args[3] = {obj, name, genuine_getattr.missing};
    *result = PyObject_Vectorcall(genuine_getattr.function, args, 3, nullptr);
    if (*result == nullptr) {
        return -1;
    }
    if (*result == genuine_getattr.missing) {
        Py_CLEAR(*result);
        return 0;
    }
    return 1;
}
#else
bool init(PyObject*) { return true; }
void forget() {}
#endif

PyObject* type_lookup(PyTypeObject* type, PyObject* name) {
#if !QV_PUBLIC_API_ONLY
    // Owned at once: nothing runs between the lookup's end and this.
    PyObject* found = _PyType_Lookup(type, name);
    Py_XINCREF(found);
    return found;
#else
    // The MRO is held: a comparison with a key that is not a str may replace
    // it while the dicts are searched.
    Ref mro = Ref::borrow(type->tp_mro);
    if (!mro || !PyTuple_Check(mro.get())) {
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro.get()); ++i) {
        PyObject* base = PyTuple_GET_ITEM(mro.get(), i);
        if (!PyType_Check(base)) {
            continue;
        }
#if QV_PY312
        Ref dict = Ref::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(base)));
#else
        Ref dict = Ref::borrow(reinterpret_cast<PyTypeObject*>(base)->tp_dict);
#endif
        if (!dict) {
            continue;
        }
        PyObject* found = dict_get(dict.get(), name);
        if (found != nullptr) {
            return found;
        }
        if (PyErr_Occurred()) {
            PyErr_Clear();
            return nullptr;
        }
    }
    return nullptr;
#endif
}

#if QV_PUBLIC_API_ONLY
PyObject* own_type_attribute(PyTypeObject* type, PyObject* name) {
#if QV_PY312
    Ref dict = Ref::steal(PyType_GetDict(type));
#else
    Ref dict = Ref::borrow(type->tp_dict);
#endif
    PyObject* found = dict ? dict_get(dict.get(), name) : nullptr;
    if (found == nullptr) {
        PyErr_Clear();
    }
    return found;
}
#endif

PyObject* sys_modules_get(PyObject* name) {
    Ref modules = Ref::borrow(PyImport_GetModuleDict());
    if (!modules) {
        PyErr_SetString(PyExc_RuntimeError, "unable to get sys.modules");
        return nullptr;
    }
    // (The interpreter's own dict, whatever sys.modules is bound to.)
    return dict_get(modules.get(), name);
}

bool attribute_error_is_bare(PyObject* error) {
#if QV_PY310 && !QV_PUBLIC_API_ONLY
    const PyAttributeErrorObject* fields = reinterpret_cast<PyAttributeErrorObject*>(error);
    return fields->name == nullptr && fields->obj == nullptr;
#else
    PyTypeObject* base = reinterpret_cast<PyTypeObject*>(PyExc_AttributeError);
    for (PyObject* field : {names.name, names.obj}) {
        Ref member = Ref::steal(type_lookup(base, field));
        descrgetfunc get = member ? Py_TYPE(member.get())->tp_descr_get : nullptr;
        Ref value = get != nullptr ? Ref::steal(get(member.get(), error, reinterpret_cast<PyObject*>(
                                                                            Py_TYPE(error))))
                                   : Ref();
        if (!value.is(Py_None)) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
#endif
}

// ---- the handled exception -------------------------------------------------

HandledException exchange_handled(HandledException next) {
    HandledException previous;
#if QV_PY311
    previous.value = PyErr_GetHandledException();
    PyErr_SetHandledException(next.value);
    Py_XDECREF(next.type);
    Py_XDECREF(next.value);
    Py_XDECREF(next.traceback);
#else
    PyErr_GetExcInfo(&previous.type, &previous.value, &previous.traceback);
    PyErr_SetExcInfo(next.type, next.value, next.traceback);
#endif
    return previous;
}

void restore_handled(HandledException previous) {
#if QV_PY311
    PyErr_SetHandledException(previous.value);
    Py_XDECREF(previous.type);
    Py_XDECREF(previous.value);
    Py_XDECREF(previous.traceback);
#else
    PyErr_SetExcInfo(previous.type, previous.value, previous.traceback);
#endif
}

// ---- module attributes -------------------------------------------------------

#if !QV_PY312 && !QV_PUBLIC_API_ONLY
namespace {

// The end of a lookup: a raised AttributeError means "missing".
int missing_unless_other_error() {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
}

// A module dict entry as the module type's lookup reads it (a new
// reference): before 3.10 lookup errors are swallowed.
PyObject* module_entry(PyObject* dict, PyObject* key) {
#if QV_PY310
    return dict_get(dict, key);
#else
    PyObject* value = PyDict_GetItem(dict, key);
    Py_XINCREF(value);
    return value;
#endif
}

#if QV_PY38
// What the module type reads of the spec while wording the AttributeError
// for a missing name: bool(spec._initializing), and on 3.11, when that is
// false, `name in spec._uninitialized_submodules`.  Every error is cleared.
void read_spec_of_missing_name(PyObject* spec, PyObject* name) {
    PyObject* flag = nullptr;
    int initializing = 0;
    if (lookup_attr(spec, names._initializing, &flag) > 0) {
        initializing = PyObject_IsTrue(flag);
        Py_DECREF(flag);
    }
    PyErr_Clear();
#if QV_PY311
    PyObject* pending = nullptr;
    if (initializing <= 0 && lookup_attr(spec, names._uninitialized_submodules, &pending) > 0) {
        (void)PySequence_Contains(pending, name);
        Py_DECREF(pending);
    }
    PyErr_Clear();
#else
    (void)initializing;
    (void)name;
#endif
}
#endif

// getattr(module, name, <missing>) for a plain module, step by step as the
// module type's lookup makes it on these versions, without the two
// AttributeErrors that the lookup makes and the caller clears: every
// dictionary lookup, hook call and spec read of that lookup happens, in its
// order, with its error handling.
int module_getattr_optional(PyObject* module, PyObject* name, PyObject** result) {
    // The generic lookup: the type's attributes, then the module's dict.
    *result = _PyObject_GenericGetAttrWithDict(module, name, nullptr, 1);
    if (*result != nullptr) {
        return 1;
    }
    if (PyErr_Occurred() && missing_unless_other_error() < 0) {
        return -1;
    }
    // A module made by ModuleType.__new__ alone (3.7, 3.8) has no dict.
    Ref dict = Ref::borrow(PyModule_GetDict(module));
    if (!dict) {
        PyErr_Clear();
        return 0;
    }
    // The module's __getattr__ hook.
    Ref hook = Ref::steal(module_entry(dict.get(), names.__getattr__));
    if (hook) {
        PyObject* args[2] = {nullptr, name};
        *result = vectorcall(hook.get(), args + 1, 1 | args_offset);
        return *result != nullptr ? 1 : missing_unless_other_error();
    }
    if (PyErr_Occurred()) {
        return missing_unless_other_error();
    }
    // The name of the module, and (from 3.8 on) its spec, for the message.
    Ref module_name = Ref::steal(module_entry(dict.get(), names.__name__));
    if (module_name && PyUnicode_Check(module_name.get())) {
#if QV_PY38
        Ref spec = Ref::steal(module_entry(dict.get(), names.__spec__));
        if (!spec && PyErr_Occurred()) {
            return missing_unless_other_error();
        }
        if (spec) {
            read_spec_of_missing_name(spec.get(), name);
        }
#endif
        return 0;
    }
    if (PyErr_Occurred()) {
        return missing_unless_other_error();
    }
    return 0;
}

}  // namespace
#endif

int getattr_optional(PyObject* obj, PyObject* name, PyObject** result) {
#if !QV_PY312 && !QV_PUBLIC_API_ONLY
    if (PyModule_CheckExact(obj) && PyUnicode_Check(name)) {
        return module_getattr_optional(obj, name, result);
    }
#endif
    return lookup_attr(obj, name, result);
}

}  // namespace compat
}  // namespace qv
