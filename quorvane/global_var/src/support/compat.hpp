// Every difference between the CPython versions this module builds for
// (3.7 to 3.13) lives here; the rest of the code calls these wrappers.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#if PY_VERSION_HEX < 0x03070000
#error "CPython 3.7 or newer is required"
#endif

#define QV_PY38 (PY_VERSION_HEX >= 0x03080000)
#define QV_PY39 (PY_VERSION_HEX >= 0x03090000)
#define QV_PY311 (PY_VERSION_HEX >= 0x030B0000)
#define QV_PY312 (PY_VERSION_HEX >= 0x030C0000)
#define QV_PY313 (PY_VERSION_HEX >= 0x030D0000)
// Dicts carry a version (ma_version_tag) that every change renews, drawn
// from one counter of the interpreter, up to 3.13; 3.14 drops it.
#define QV_DICT_VERSIONS (PY_VERSION_HEX < 0x030E0000)

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

// getattr(obj, name, <missing>): 1 with *result set, 0 when the attribute is
// missing (AttributeError swallowed), -1 with an exception set.
inline int lookup_attr(PyObject* obj, PyObject* name, PyObject** result) {
#if QV_PY313
    return PyObject_GetOptionalAttr(obj, name, result);
#else
    return _PyObject_LookupAttr(obj, name, result);
#endif
}

// Generic attribute lookup that reports a missing attribute by returning
// null with no exception set, instead of creating an AttributeError.
inline PyObject* generic_getattr_or_null(PyObject* obj, PyObject* name) {
    return _PyObject_GenericGetAttrWithDict(obj, name, nullptr, 1);
}

// The three-argument getattr of the builtins, with a module fast path on the
// interpreters whose own lookup would create (and discard) an AttributeError
// for a missing module attribute.  The module type's rules are kept: data
// descriptors, the module-level __getattr__ hook and, where the interpreter
// consults it while reporting a missing name, the spec's _initializing flag.
int getattr_optional(PyObject* obj, PyObject* name, PyObject** result);

// ---- str -----------------------------------------------------------------

// True when both strs have their hash computed and the hashes differ (so
// the texts do); false says nothing.
inline bool known_hashes_differ(PyObject* a, PyObject* b) {
    const Py_hash_t ha = reinterpret_cast<PyASCIIObject*>(a)->hash;
    const Py_hash_t hb = reinterpret_cast<PyASCIIObject*>(b)->hash;
    return ha != -1 && hb != -1 && ha != hb;
}

// A new str with the text and the known hash of `text`, an exact str in its
// canonical (narrowest) representation.
inline PyObject* copy_str(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    PyObject* copy = PyUnicode_New(length, PyUnicode_MAX_CHAR_VALUE(text));
    if (copy != nullptr) {
        std::memcpy(PyUnicode_DATA(copy), PyUnicode_DATA(text),
                    static_cast<std::size_t>(length) * PyUnicode_KIND(text));
        reinterpret_cast<PyASCIIObject*>(copy)->hash =
            reinterpret_cast<PyASCIIObject*>(text)->hash;
    }
    return copy;
}

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

// The exception being raised, taken out of the thread state and normalised
// (type, instance, traceback), with the traceback attached to the instance.
struct RaisedException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

// Takes the current exception.  Returns false when normalising it raised a
// new exception, which is then the current one again.
inline bool fetch_exception(RaisedException& out) {
#if QV_PY312
    PyObject* value = PyErr_GetRaisedException();
    out.value = value;
    out.type = Py_NewRef(reinterpret_cast<PyObject*>(Py_TYPE(value)));
    out.traceback = PyException_GetTraceback(value);
    return true;
#else
    PyErr_Fetch(&out.type, &out.value, &out.traceback);
    PyErr_NormalizeException(&out.type, &out.value, &out.traceback);
    if (PyErr_Occurred()) {
        Py_CLEAR(out.type);
        Py_CLEAR(out.value);
        Py_CLEAR(out.traceback);
        return false;
    }
    if (out.value == nullptr) {
        out.value = Py_None;
        Py_INCREF(out.value);
    }
    if (out.traceback != nullptr && PyExceptionInstance_Check(out.value)) {
        PyException_SetTraceback(out.value, out.traceback);
    }
    return true;
#endif
}

// The handled exception of the innermost exception-state item of the
// thread (what an except clause sets).  exchange_handled() installs new
// references and hands back the previous ones; on 3.11 and later only the
// value is kept by the interpreter.
struct HandledException {
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
};

inline HandledException exchange_handled(HandledException next) {
    _PyErr_StackItem* item = PyThreadState_Get()->exc_info;
    HandledException previous;
    previous.value = item->exc_value;
    item->exc_value = next.value;
#if QV_PY311
    Py_XDECREF(next.type);
    Py_XDECREF(next.traceback);
#else
    previous.type = item->exc_type;
    previous.traceback = item->exc_traceback;
    item->exc_type = next.type;
    item->exc_traceback = next.traceback;
#endif
    return previous;
}

// ---- objects -------------------------------------------------------------

// Gives a statically allocated object (a type) its first reference.
inline void init_static_object_header(PyObject* obj) {
#if QV_PY39
    Py_SET_REFCNT(obj, 1);
#else
    Py_REFCNT(obj) = 1;
#endif
}

// ---- types ---------------------------------------------------------------

// A version tag of the type that changes whenever the type or one of its
// bases is modified and is never handed out again, or 0 where there is no
// such tag.  Before 3.11, sys._clear_type_cache() invalidated every tag and
// handed the old numbers out anew, so nothing is promised there.
inline unsigned int stable_type_version(PyTypeObject* type) {
#if QV_PY313
    return type->tp_version_tag;
#elif QV_PY311
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#else
    (void)type;
    return 0;
#endif
}

// ---- observers of Python calls ------------------------------------------

#if QV_PY312 && !QV_PY313
extern "C" unsigned long long qv_interpreter_monitoring_version(void);
#endif
#if QV_PY38 && !QV_PY39
extern "C" int qv_interpreter_evaluates_frames_itself(void);
#endif

// Whether the interpreter runs Python frames with its own evaluation
// function, rather than one installed through the frame-evaluation hook.
inline bool default_frame_evaluation() {
#if QV_PY39
    return _PyInterpreterState_GetEvalFrameFunc(PyInterpreterState_Get()) ==
           _PyEval_EvalFrameDefault;
#elif QV_PY38
    return qv_interpreter_evaluates_frames_itself() != 0;
#else
    return PyThreadState_Get()->interp->eval_frame == _PyEval_EvalFrameDefault;
#endif
}

// Whether a call of the Python code `code` made now on this thread could be
// seen by anything but the code itself: a trace or profile function, a
// replaced frame evaluator, or a sys.monitoring tool (whose events for the
// code are known only once the code is up to date with the interpreter's
// instrumentation).
inline bool python_calls_observed(PyObject* code) {
    PyThreadState* tstate = PyThreadState_Get();
    if (tstate->c_tracefunc != nullptr || tstate->c_profilefunc != nullptr ||
        !default_frame_evaluation()) {
        return true;
    }
#if QV_PY312
    PyCodeObject* co = reinterpret_cast<PyCodeObject*>(code);
#if QV_PY313
    const unsigned long long current = tstate->eval_breaker & ~static_cast<uintptr_t>(0xFF);
#else
    const unsigned long long current = qv_interpreter_monitoring_version();
#endif
    if (static_cast<unsigned long long>(co->_co_instrumentation_version) != current) {
        return true;
    }
    if (co->_co_monitoring != nullptr) {
        for (uint8_t tools : co->_co_monitoring->active_monitors.tools) {
            if (tools != 0) {
                return true;
            }
        }
    }
#else
    (void)code;
#endif
    return false;
}

// The recursion check that the interpreter makes around a call of one of
// the module's functions from a type slot (the function called through
// tp_call), for several such calls in one thread: the thread state is looked
// up once.  Before 3.8 the slot calls a bound method, which checks once more
// on its way to the function.  From 3.11 on, the counter is stepped here
// while it is far from the limit, exactly as the interpreter's inline check
// steps it; near the limit the interpreter's own check runs and reports.
class SlotCalls {
public:
#if QV_PY311 && !defined(USE_STACKCHECK)
    SlotCalls() : tstate_(PyThreadState_Get()) {}
    bool enter() {
        if (remaining() > 1) {
            --remaining();
            return true;
        }
        return Py_EnterRecursiveCall(where) == 0;
    }
    void leave() { ++remaining(); }

private:
#if QV_PY312
    int& remaining() { return tstate_->c_recursion_remaining; }
#else
    int& remaining() { return tstate_->recursion_remaining; }
#endif
    PyThreadState* tstate_;
#else
    bool enter() {
        if (Py_EnterRecursiveCall(where)) {
            return false;
        }
#if !QV_PY38
        if (Py_EnterRecursiveCall(where)) {
            Py_LeaveRecursiveCall();
            return false;
        }
#endif
        return true;
    }
    void leave() {
        Py_LeaveRecursiveCall();
#if !QV_PY38
        Py_LeaveRecursiveCall();
#endif
    }

private:
#endif
    static constexpr const char* where = " while calling a Python object";
};

// Whether a Python function that makes one call of a C method could run
// from here without meeting the recursion limit, or the headroom the
// interpreter grants after it was met.
inline bool has_recursion_headroom() {
    PyThreadState* tstate = PyThreadState_Get();
    constexpr int margin = 4;
#if QV_PY312
    return tstate->recursion_headroom == 0 && tstate->c_recursion_remaining > margin &&
           tstate->py_recursion_remaining > margin;
#elif QV_PY311
    return tstate->recursion_headroom == 0 && tstate->recursion_remaining > margin;
#elif PY_VERSION_HEX >= 0x030A0000
    return tstate->recursion_headroom == 0 &&
           tstate->recursion_depth + margin < Py_GetRecursionLimit();
#elif QV_PY39
    return !tstate->overflowed && tstate->recursion_depth + margin < Py_GetRecursionLimit();
#else
    return !tstate->overflowed && tstate->recursion_depth + margin < _Py_CheckRecursionLimit;
#endif
}

// ---- interpreter ---------------------------------------------------------

inline int64_t current_interpreter_id() {
#if QV_PY39
    return PyInterpreterState_GetID(PyInterpreterState_Get());
#else
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
