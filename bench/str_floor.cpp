// The work that apply_unidecoding must do for a plain str, and nothing else:
// a bench-only extension that measures the floor of the str path.
//
//   str_floor.run(text, globals, n)
//
// does, n times, what the chain of attempts makes observable for an exact
// str: three reads of the global `unidecode` from `globals`; the two
// AttributeErrors ("'str' object has no attribute 'decode'", with name and
// obj from 3.10 on), each raised (the second chained to the first), given
// its traceback entry (a new frame of an empty code object at lines 14 and
// 17) and made the exception being handled; the ASCII characters of the
// text as a new str; the call of `unidecode` with it; the handled
// exception put back, and everything released.  It uses the cheapest
// public calls for each step and no error handling beyond what keeps it
// from crashing: it is a measuring stick, not a replacement.  Returns the
// last result.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <frameobject.h>

#include <string>

namespace {

PyObject* codes[2];
PyObject* name_member;
PyObject* obj_member;
PyObject* decode_name;
PyObject* unidecode_name;

PyObject* raise_no_decode(PyObject* text) {
    static const char message[] = "'str' object has no attribute 'decode'";
    PyObject* text_object = PyUnicode_New(sizeof message - 1, 127);
    memcpy(PyUnicode_DATA(text_object), message, sizeof message - 1);
    PyObject* args = PyTuple_Pack(1, text_object);
    Py_DECREF(text_object);
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyExc_AttributeError);
    PyObject* error = type->tp_new(type, args, nullptr);
    Py_DECREF(args);
#if PY_VERSION_HEX >= 0x030A0000
    Py_TYPE(name_member)->tp_descr_set(name_member, error, decode_name);
    Py_TYPE(obj_member)->tp_descr_set(obj_member, error, text);
#else
    (void)text;
#endif
    PyErr_SetObject(PyExc_AttributeError, error);
    Py_DECREF(error);
    return nullptr;
}

// Adds the entry, takes the exception over and makes it the handled one;
// returns what was handled before (3.11+: the value; else the triple).
struct Handled {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
};

Handled enter_clause(PyObject* code, PyObject* globals) {
    PyObject* frame = reinterpret_cast<PyObject*>(PyFrame_New(
        PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(code), globals, nullptr));
    PyTraceBack_Here(reinterpret_cast<PyFrameObject*>(frame));
    Py_DECREF(frame);
    Handled previous;
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* value = PyErr_GetRaisedException();
    previous.value = PyErr_GetHandledException();
    PyErr_SetHandledException(value);
    Py_DECREF(value);
#else
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    PyException_SetTraceback(value, traceback);
#if PY_VERSION_HEX >= 0x030B0000
    previous.value = PyErr_GetHandledException();
    PyErr_SetHandledException(value);
    Py_DECREF(type);
    Py_DECREF(value);
    Py_DECREF(traceback);
#else
    PyErr_GetExcInfo(&previous.type, &previous.value, &previous.traceback);
    PyErr_SetExcInfo(type, value, traceback);
#endif
#endif
    return previous;
}

void leave_clause(Handled previous) {
#if PY_VERSION_HEX >= 0x030B0000
    PyErr_SetHandledException(previous.value);
    Py_XDECREF(previous.value);
#else
    PyErr_SetExcInfo(previous.type, previous.value, previous.traceback);
#endif
}

PyObject* ascii_characters(PyObject* text) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return PyUnicode_DecodeASCII(static_cast<const char*>(PyUnicode_DATA(text)), length,
                                     "ignore");
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::string kept;
    for (Py_ssize_t i = 0; i < length; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 128) {
            kept.push_back(static_cast<char>(c));
        }
    }
    return PyUnicode_DecodeASCII(kept.data(), static_cast<Py_ssize_t>(kept.size()), "ignore");
}

PyObject* global(PyObject* globals) {
    PyObject* value = PyDict_GetItemWithError(globals, unidecode_name);
    Py_XINCREF(value);
    return value;
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3 || !PyUnicode_CheckExact(args[0]) || !PyDict_Check(args[1])) {
        PyErr_SetString(PyExc_TypeError, "run(text: str, globals: dict, n: int)");
        return nullptr;
    }
    PyObject* text = args[0];
    PyObject* globals = args[1];
    const long n = PyLong_AsLong(args[2]);
    PyObject* result = nullptr;
    for (long i = 0; i < n; ++i) {
        Py_XDECREF(result);
        PyObject* unidecode = global(globals);
        Py_DECREF(unidecode);
        raise_no_decode(text);
        Handled outer = enter_clause(codes[0], globals);
        unidecode = global(globals);
        Py_DECREF(unidecode);
        raise_no_decode(text);
        Handled first = enter_clause(codes[1], globals);
        unidecode = global(globals);
        PyObject* prepared = ascii_characters(text);
        PyObject* call_args[2] = {nullptr, prepared};
        result = PyObject_Vectorcall(unidecode, call_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                     nullptr);
        Py_DECREF(prepared);
        Py_DECREF(unidecode);
        leave_clause(first);
        leave_clause(outer);
        if (result == nullptr) {
            return nullptr;
        }
    }
    return result;
}

PyMethodDef methods[] = {
    {"run", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(run)), METH_FASTCALL,
     nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "str_floor", nullptr, -1, methods,
                          nullptr,               nullptr,     nullptr, nullptr};

}  // namespace

PyMODINIT_FUNC PyInit_str_floor(void) {
    const char* file = "quorvane\\\\global_var\\\\globals.py";
    const char* function = "quorvane.global_var.globals.apply_unidecoding";
    codes[0] = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, 14));
    codes[1] = reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, function, 17));
    decode_name = PyUnicode_InternFromString("decode");
    unidecode_name = PyUnicode_InternFromString("unidecode");
    name_member = PyObject_GetAttrString(PyExc_AttributeError, "name");
    obj_member = PyObject_GetAttrString(PyExc_AttributeError, "obj");
    PyObject* module = PyModule_Create(&module_def);
#ifdef Py_GIL_DISABLED
    // (Its state is written here, before anything can call it, and only read after.)
    if (module != nullptr) {
        PyUnstable_Module_SetGIL(module, Py_MOD_GIL_NOT_USED);
    }
#endif
    return module;
}
