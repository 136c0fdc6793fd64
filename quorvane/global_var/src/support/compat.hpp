// Every difference between the CPython versions this module builds for lives
// here; the rest of the code calls these wrappers.
//
// The module uses CPython's public C API, plus the exported functions of this
// table.  Each saves work that the public API would do and throw away (an
// exception made only to be cleared, a tuple made only to be unpacked, a
// type lookup without the type's cache); none reads or writes a private
// struct field but the one listed, and each has a public replacement that
// gives the same results.  Building with GLOBALS_PUBLIC_API_ONLY=ON
// (QV_PUBLIC_API_ONLY) uses the replacements everywhere; interpreters newer
// than 3.13, the newest against which the functions of this table were
// checked, and free-threaded builds (where borrowed references are not
// safe), select that mode on their own.  3.14 and 3.15 are built and tested
// in that mode.
//
//   _PyObject_LookupAttr (3.7-3.12): getattr(o, n, default) without making
//       the AttributeError it then clears.  Public: the type's tp_getattro,
//       called directly, and clearing the AttributeError; on 3.12 the
//       builtin getattr itself; from 3.13 on the public
//       PyObject_GetOptionalAttr.
//   _PyObject_GenericGetAttrWithDict with suppress=1 (3.7-3.11): a module's
//       own attributes without making the AttributeError.  Public:
//       PyObject_GetAttr on the module and clearing the AttributeError.
//   _PyType_Lookup (3.7-3.13): an attribute of a type through the type's
//       cache.  Public: a walk of tp_mro, looking in each type's dict.
//   _PyObject_Vectorcall (3.8), _PyObject_FastCallKeywords (3.7): calls
//       without an argument tuple.  Public: PyObject_Call with a tuple.
//   PyCodeObject.co_flags, written (3.7-3.10): the module's code objects
//       report flags 3 (these versions add CO_NOFREE; their struct no longer
//       changes).  Public: none; the code objects then report 0x43.
//
// Beyond this table, the module relies on the public semantics of type
// slots (a heap type's tp_getattro, written before the type is published;
// config_context.cpp), and, on 3.7-3.11 only, on the steps that the module
// type's attribute lookup takes for a missing name, which it follows
// without making the two AttributeErrors that the lookup makes and clears
// (getattr_optional in compat.cpp; 3.7-3.10 are no longer maintained, 3.11
// receives security fixes only).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x03070000
#error "CPython 3.7 or newer is required"
#endif

#define QV_PY38 (PY_VERSION_HEX >= 0x03080000)
#define QV_PY39 (PY_VERSION_HEX >= 0x03090000)
#define QV_PY310 (PY_VERSION_HEX >= 0x030A0000)
#define QV_PY311 (PY_VERSION_HEX >= 0x030B0000)
#define QV_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define QV_PY313 (PY_VERSION_HEX >= 0x030D0000)

// Free-threaded builds (no GIL).
#if defined(Py_GIL_DISABLED)
#define QV_FREE_THREADED 1
#else
#define QV_FREE_THREADED 0
#endif

// Public API only: asked for by the build, or chosen for interpreters newer
// than 3.13 (see the top of this file) and for free-threaded builds (where
// the borrowed references that the exported functions hand out are not
// safe).
#if defined(QV_PUBLIC_API_ONLY_REQUESTED) || PY_VERSION_HEX >= 0x030E0000 || QV_FREE_THREADED
#define QV_PUBLIC_API_ONLY 1
#else
#define QV_PUBLIC_API_ONLY 0
#endif

// The module's initialisation function is its only exported symbol: the
// build hides everything else.
#if defined(_WIN32)
#define QV_MODINIT_FUNC PyMODINIT_FUNC
#else
#define QV_MODINIT_FUNC extern "C" __attribute__((visibility("default"))) PyObject*
#endif

namespace qv {
namespace compat {

// ---- calls ---------------------------------------------------------------

#if QV_PY38
constexpr size_t args_offset = PY_VECTORCALL_ARGUMENTS_OFFSET;
#else
constexpr size_t args_offset = 0;
#endif

#if QV_PY39 || !QV_PUBLIC_API_ONLY
inline PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                            PyObject* kwnames = nullptr) {
#if QV_PY39
    return PyObject_Vectorcall(callable, args, nargsf, kwnames);
#elif QV_PY38
    return _PyObject_Vectorcall(callable, args, nargsf, kwnames);
#else
    return _PyObject_FastCallKeywords(callable, const_cast<PyObject**>(args),
                                      static_cast<Py_ssize_t>(nargsf), kwnames);
#endif
}
#else
PyObject* vectorcall(PyObject* callable, PyObject* const* args, size_t nargsf,
                     PyObject* kwnames = nullptr);
#endif

// Calls obj.<name>(*args[1:]) where args[0] is obj, without materialising a
// bound method where the interpreter can avoid it.  The lookup is the
// ordinary attribute lookup either way.
inline PyObject* call_method(PyObject* name, PyObject* const* args, size_t nargs) {
#if QV_PY39
    return PyObject_VectorcallMethod(name, args, nargs, nullptr);
#else
    PyObject* method = PyObject_GetAttr(args[0], name);
    if (method == nullptr) {
        return nullptr;
    }
    PyObject* result = vectorcall(method, args + 1, nargs - 1);
    Py_DECREF(method);
    return result;
#endif
}

// ---- attribute lookup ----------------------------------------------------

// What the wrappers need from the builtins module, taken once by the exec
// step.  Returns false with an exception set.
bool init(PyObject* builtins_module);
// Drops what init() took, without touching it (after the interpreter has
// been finalized).
void forget();

// getattr(obj, name, <missing>): 1 with *result set, 0 when the attribute is
// missing (AttributeError cleared), -1 with an exception set.
#if QV_PUBLIC_API_ONLY && QV_PY312 && !QV_PY313
// 3.12 has no public call for it, and PyObject_GetAttr differs from it for
// modules (it words the AttributeError of a missing name, reading the spec).
int lookup_attr(PyObject* obj, PyObject* name, PyObject** result);
#else
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if QV_PY313
    return PyObject_GetOptionalAttr(obj, name, result);
#elif !QV_PUBLIC_API_ONLY
    return _PyObject_LookupAttr(obj, name, result);
#else
    // The type's own lookup, called as getattr calls it: PyObject_GetAttr
    // would also (from 3.10 on) record name and obj on an AttributeError
    // that a __getattr__ raised, before it is cleared.
    if (!PyUnicode_Check(name)) {
        *result = PyObject_GetAttr(obj, name);  // its TypeError
        return -1;
    }
    PyTypeObject* type = Py_TYPE(obj);
    if (type->tp_getattro != nullptr) {
        *result = type->tp_getattro(obj, name);
    } else if (type->tp_getattr != nullptr) {
        const char* text = PyUnicode_AsUTF8(name);
        *result = text != nullptr ? type->tp_getattr(obj, const_cast<char*>(text)) : nullptr;
    } else {
        *result = nullptr;
        return 0;
    }
    if (*result != nullptr) {
        return 1;
    }
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return -1;
    }
    PyErr_Clear();
    return 0;
#endif
}
#endif

// The three-argument getattr of the builtins, getattr(obj, name, None) less
// the None: same return values as lookup_attr.  For plain modules on the
// interpreters whose own lookup makes (and clears) two AttributeErrors for a
// missing name, the module type's lookup is followed step by step without
// making them (compat.cpp).
int getattr_optional(PyObject* obj, PyObject* name, PyObject** result);

// The attribute `name` that the type's MRO gives, as a new reference; null,
// with no exception set, when none does (a failing lookup is cleared, as the
// interpreter's own type lookup clears it).
PyObject* type_lookup(PyTypeObject* type, PyObject* name);

#if QV_PUBLIC_API_ONLY
// The attribute `name` in the type's own dict, as a new reference; null,
// with no exception set, when it has none (a failing lookup is cleared).
PyObject* own_type_attribute(PyTypeObject* type, PyObject* name);
#endif

// dict[key] as a new reference: null with no exception set when missing,
// null with an exception set on error.
inline PyObject* dict_get(PyObject* dict, PyObject* key) {
#if QV_PY313
    PyObject* value = nullptr;
    (void)PyDict_GetItemRef(dict, key, &value);
    return value;
#else
    PyObject* value = PyDict_GetItemWithError(dict, key);
    Py_XINCREF(value);
    return value;
#endif
}

// sys.modules[name] (the interpreter's dict), as a new reference; null with no
// exception set when missing.  (3.13's PyImport_GetModule also waits for a
// module that is still being imported and raises from its spec; the module
// body's imports read sys.modules plainly.)
PyObject* sys_modules_get(PyObject* name);

// ---- str -----------------------------------------------------------------

// Makes a str's canonical representation available (a no-op from 3.12 on).
inline bool unicode_ready(PyObject* text) {
#if QV_PY312
    (void)text;
    return true;
#else
    return PyUnicode_READY(text) == 0;
#endif
}

// ---- exceptions ----------------------------------------------------------

// The exception being raised: before 3.12 the triple, whose value may still
// be the argument(s) of the class raised; from 3.12 on the exception object
// alone.
struct RaisedException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// The exception being raised, taken out of the thread state as it is
// (restore_exception() puts it back).
inline RaisedException take_exception() {
    RaisedException out;
#if QV_PY312
    out.value = PyErr_GetRaisedException();
#else
    PyErr_Fetch(&out.type, &out.value, &out.traceback);
#endif
    return out;
}

// Whether an AttributeError object has neither `name` nor `obj` (what
// PyObject_GetAttr fills in from 3.10 on).  The public API reads the two
// through AttributeError's own member descriptors, which give None for
// unset, and so also takes two that were set to None for unset.
bool attribute_error_is_bare(PyObject* error);

// Raises a fetched exception again (the references are handed over).
inline void restore_exception(RaisedException raised) {
#if QV_PY312
    Py_XDECREF(raised.type);
    Py_XDECREF(raised.traceback);
    PyErr_SetRaisedException(raised.value);
#else
    PyErr_Restore(raised.type, raised.value, raised.traceback);
#endif
}

// The handled exception (what an except clause sets and sys.exc_info()
// reports).  The public API reads the topmost exception-state item that
// holds an exception and writes the innermost one: an except clause of the
// module saves what is seen and puts it back into the innermost item.  That
// differs from the interpreter's own clauses only inside a generator or
// coroutine that handles nothing itself, called while an outer frame handles
// an exception: the generator's item then holds that exception afterwards.
struct HandledException {
    PyObject* type = nullptr;  // (3.7-3.10: the triple; 3.11+: the value only)
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// Installs `next` (the references are handed over) and returns what was
// seen before (new references).
HandledException exchange_handled(HandledException next);

// Puts back what exchange_handled() returned (the references are handed
// over); the state it replaces is released afterwards, so a finalizer run by
// the release sees the restored state.
void restore_handled(HandledException previous);

// ---- recursion -----------------------------------------------------------

// The recursion check that the interpreter makes around a call of one of the
// module's functions from a type slot (the function called through tp_call),
// for the shortcuts that run such a function's body directly.  Before 3.8
// the slot calls a bound method, which checks once more on its way to the
// function.
inline bool enter_slot_call() {
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return false;
    }
#if !QV_PY38
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        Py_LeaveRecursiveCall();
        return false;
    }
#endif
    return true;
}

inline void leave_slot_call() {
    Py_LeaveRecursiveCall();
#if !QV_PY38
    Py_LeaveRecursiveCall();
#endif
}

// ---- objects -------------------------------------------------------------

// Gives a statically allocated type its object header, as the headers'
// PyObject_HEAD_INIT spells it for the interpreter version (immortal where
// the interpreter has immortal objects).
inline void init_static_object_header(PyTypeObject* type) {
    PyObject header[] = {PyObject_HEAD_INIT(nullptr)};
    type->ob_base.ob_base = header[0];
}

// ---- threads -------------------------------------------------------------

// A critical section on one object (a no-op before 3.13; on free-threaded
// builds the object's own lock).  No return from inside it.
#if QV_PY313
#define QV_BEGIN_CRITICAL_SECTION(op) Py_BEGIN_CRITICAL_SECTION(op)
#define QV_END_CRITICAL_SECTION() Py_END_CRITICAL_SECTION()
#else
#define QV_BEGIN_CRITICAL_SECTION(op) {
#define QV_END_CRITICAL_SECTION() }
#endif

// The lock of the module's process-wide state: a PyMutex where there is no
// GIL; nothing where the GIL serialises the module's code already.  Nothing
// that can run Python code is done while it is held.
class ProcessLock {
public:
#if QV_FREE_THREADED
    void lock() { PyMutex_Lock(&mutex_); }
    void unlock() { PyMutex_Unlock(&mutex_); }

private:
    PyMutex mutex_{};
#else
    void lock() {}
    void unlock() {}
#endif
};

// ---- interpreter ---------------------------------------------------------

inline int64_t current_interpreter_id() {
#if QV_PY39
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
    // (interp is the one public member of the thread state of these versions.)
    return PyInterpreterState_GetID(PyThreadState_Get()->interp);
#endif
}

// The running interpreter's major and minor version.
void runtime_version(int* major, int* minor);

// A code object for introspection only: no byte code, no constants, no
// names, an empty line table; flags optimized and new-locals.
PyObject* new_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name,
                   int firstlineno);

}  // namespace compat
}  // namespace qv
