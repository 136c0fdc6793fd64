#include "support/traceback.hpp"

namespace qv {

namespace {

// Entries carry this file name, with two backslash characters between the
// components (the function's code objects carry the single-backslash form).
const char entry_filename[] = "quorvane\\\\global_var\\\\globals.py";

const char* const entry_names[] = {
    "init quorvane.global_var.globals",
    "quorvane.global_var.globals.apply_unidecoding",
    "quorvane.global_var.globals.config_global_var.__init__",
    "quorvane.global_var.globals.config_global_var.__getattribute__",
};

constexpr int entry_count = 4;
constexpr int max_line = 128;

// One code object per (function, line), made on first use.  Its first line
// is the entry's line and its line table is empty, so a frame made from it
// reports that line on every interpreter version.
PyObject* code_cache[entry_count][max_line];

PyObject* entry_code(Entry entry, int line) {
    const int index = static_cast<int>(entry);
    PyObject** slot = (line > 0 && line < max_line) ? &code_cache[index][line] : nullptr;
    if (slot != nullptr && *slot != nullptr) {
        return *slot;
    }
    PyObject* code = reinterpret_cast<PyObject*>(
        PyCode_NewEmpty(entry_filename, entry_names[index], line));
    if (code != nullptr && slot != nullptr) {
        *slot = code;  // kept for the life of the process
    }
    return code;
}

}  // namespace

void add_traceback(Entry entry, int line, PyObject* globals) {
#if QV_PY312
    PyObject* pending = PyErr_GetRaisedException();
#else
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
#endif
    PyObject* code = entry_code(entry, line);
    PyFrameObject* frame = nullptr;
    if (code != nullptr) {
        frame = PyFrame_New(PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code),
                            globals, nullptr);
        if (line <= 0 || line >= max_line) {
            Py_DECREF(code);
        }
    }
    PyErr_Clear();
#if QV_PY312
    PyErr_SetRaisedException(pending);
#else
    PyErr_Restore(type, value, tb);
#endif
    if (frame != nullptr) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

bool Caught::take() {
    compat::RaisedException raised;
    if (!compat::fetch_exception(raised)) {
        return false;
    }
    type_ = Ref::steal(raised.type);
    value_ = Ref::steal(raised.value);
    traceback_ = Ref::steal(raised.traceback);
    return true;
}

Handling::Handling(const Caught& caught) {
    compat::HandledException next;
    next.type = caught.type_.copy().release();
    next.value = caught.value_.copy().release();
    next.traceback = caught.traceback_.copy().release();
    saved_ = compat::exchange_handled(next);
}

Handling::~Handling() {
    // Restore first, release afterwards: a finalizer run by the release sees
    // the restored state.
    compat::HandledException dropped = compat::exchange_handled(saved_);
    Py_XDECREF(dropped.type);
    Py_XDECREF(dropped.value);
    Py_XDECREF(dropped.traceback);
}

}  // namespace qv
