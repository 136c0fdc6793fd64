#include "support/traceback.hpp"

#include <cstddef>

namespace qv {

namespace {

// Entries carry this file name, with two backslash characters between the
// components (the function's code objects carry the single-backslash form).
const char entry_filename[] = "quorvane\\\\global_var\\\\globals.py";

struct EntryLines {
    const char* function;
    int lines[16];  // the statements that can fail, ending with 0
};

const EntryLines entry_lines[] = {
    {"init quorvane.global_var.globals", {1, 2, 3, 4, 7, 34, 41, 56, 87}},
    {"quorvane.global_var.globals.apply_unidecoding",
     {7, 14, 15, 17, 18, 19, 22, 23, 25, 26, 28, 29, 30}},
    {"quorvane.global_var.globals.config_global_var.__init__",
     {41, 42, 44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54}},
    {"quorvane.global_var.globals.config_global_var.__getattribute__",
     {56, 58, 59, 61, 63, 66, 67, 70, 71, 74, 77, 81}},
};

constexpr std::size_t entry_count = sizeof entry_lines / sizeof entry_lines[0];
constexpr std::size_t max_lines = sizeof entry_lines[0].lines / sizeof(int);

// One code object per (function, line), made by init_traceback_entries()
// before any of the module's functions exists and kept while the
// interpreter lives.  Its first line is the entry's line and its line table
// is empty, so a frame made from it reports that line on every interpreter
// version.
PyObject* codes[entry_count][max_lines];

PyObject* new_entry_code(Entry entry, int line) {
    return reinterpret_cast<PyObject*>(PyCode_NewEmpty(
        entry_filename, entry_lines[static_cast<int>(entry)].function, line));
}

// The code object for an entry (a new reference).
Ref entry_code(Entry entry, int line) {
    const std::size_t index = static_cast<std::size_t>(entry);
    for (std::size_t i = 0; i < max_lines && entry_lines[index].lines[i] != 0; ++i) {
        if (entry_lines[index].lines[i] == line && codes[index][i] != nullptr) {
            return Ref::borrow(codes[index][i]);
        }
    }
    return Ref::steal(new_entry_code(entry, line));
}

}  // namespace

bool init_traceback_entries() {
    for (std::size_t index = 0; index < entry_count; ++index) {
        for (std::size_t i = 0; i < max_lines && entry_lines[index].lines[i] != 0; ++i) {
            if (codes[index][i] == nullptr) {
                codes[index][i] =
                    new_entry_code(static_cast<Entry>(index), entry_lines[index].lines[i]);
                if (codes[index][i] == nullptr) {
                    return false;
                }
            }
        }
    }
    return true;
}

void forget_traceback_entries() {
    for (auto& function_codes : codes) {
        for (PyObject*& code : function_codes) {
            code = nullptr;
        }
    }
}

void add_traceback(Entry entry, int line, PyObject* globals) {
    compat::RaisedException pending = compat::take_exception();
    Ref code = entry_code(entry, line);
    Ref frame;
    if (code) {
        frame = Ref::steal(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code.get()), globals, nullptr)));
    }
    if (!frame) {
        PyErr_Clear();
    }
    compat::restore_exception(pending);
    if (frame) {
        PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame.get()));
    }
}

Caught::Caught() : Caught(compat::take_exception()) {}

Caught::Caught(compat::RaisedException raised)
#if QV_PY312
    // (Raised exceptions are objects already.)
    : type_(Ref::borrow(reinterpret_cast<PyObject*>(Py_TYPE(raised.value)))),
#else
    : type_(Ref::steal(raised.type)),
#endif
      value_(Ref::steal(raised.value)),
      traceback_(Ref::steal(raised.traceback)) {
}

bool Caught::matches(PyObject* cls) const {
    return PyErr_GivenExceptionMatches(type_.get(), cls) != 0;
}

void Caught::reraise() {
    compat::restore_exception({type_.release(), value_.release(), traceback_.release()});
}

bool Caught::take_over() {
#if !QV_PY312
    // As the interpreter makes the object of an exception raised as a class
    // and arguments: an object of a subclass of the class raised is taken
    // as it is (and its class believed); anything else is the argument, or
    // tuple of arguments, of a call of the class.
    PyObject* value = value_ ? value_.get() : Py_None;
    if (type_.is(reinterpret_cast<PyObject*>(Py_TYPE(value)))) {
        // An object of the class raised (what the interpreter raises for a
        // missing attribute, say): nothing to make.
        PyException_SetTraceback(value, traceback_ ? traceback_.get() : Py_None);
        return true;
    }
    int is_subclass = 0;
    if (PyExceptionInstance_Check(value)) {
        PyObject* value_class = reinterpret_cast<PyObject*>(Py_TYPE(value));
        is_subclass = PyObject_IsSubclass(value_class, type_.get());
        if (is_subclass > 0) {
            type_ = Ref::borrow(value_class);
        }
    }
    if (is_subclass == 0) {
        Ref made;
        if (value == Py_None) {
            made = Ref::steal(PyObject_CallObject(type_.get(), nullptr));
        } else if (PyTuple_Check(value)) {
            made = Ref::steal(PyObject_CallObject(type_.get(), value));
        } else {
            made = Ref::steal(PyObject_CallFunctionObjArgs(type_.get(), value, nullptr));
        }
        if (made && !PyExceptionInstance_Check(made.get())) {
            PyErr_Format(PyExc_TypeError,
                         "calling %R should have returned an instance of BaseException, not %s",
                         type_.get(), Py_TYPE(made.get())->tp_name);
            made.reset();
        }
        value_ = std::move(made);
        is_subclass = value_ ? 1 : -1;
    }
    if (is_subclass < 0) {
        // The failure, with the traceback so far when it brings none.
        compat::RaisedException failure = compat::take_exception();
        if (failure.traceback == nullptr) {
            failure.traceback = traceback_.release();
        }
        compat::restore_exception(failure);
        return false;
    }
    PyException_SetTraceback(value_.get(), traceback_ ? traceback_.get() : Py_None);
#endif
    return true;
}

Handling::Handling(Caught&& caught)
    : saved_(compat::exchange_handled(
          {caught.type_.release(), caught.value_.release(), caught.traceback_.release()})) {}

Handling::~Handling() { compat::restore_handled(saved_); }

}  // namespace qv
