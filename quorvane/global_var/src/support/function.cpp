#include "support/function.hpp"

#include "support/names.hpp"

#include <cstddef>

namespace qv {

namespace {

struct FunctionObject {
    PyObject_HEAD
    const FunctionDef* def;
    PyObject* name;
    PyObject* qualname;
    PyObject* module;
    PyObject* doc;
    PyObject* defaults;
    PyObject* globals;
    PyObject* code;
    PyObject* annotations;
    PyObject* dict;
    PyObject* weakrefs;
};

// Filled in by ready_function_type(); zero until then.
PyTypeObject function_type;

FunctionObject* as_function(PyObject* obj) { return reinterpret_cast<FunctionObject*>(obj); }

PyObject* function_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    FunctionObject* f = as_function(self);
    const FunctionDef* def = f->def;
    const Signature& signature = def->signature;
    PyObject* values[max_params];
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr && npos >= signature.nrequired && npos <= signature.nparams) {
        // Positional arguments only: the tuple keeps them alive for the call.
        for (int i = 0; i < signature.nparams; ++i) {
            values[i] = i < npos ? PyTuple_GET_ITEM(args, i) : Py_None;
        }
        return def->body(self, values);
    }
    Ref bound[max_params];
    for (int i = 0; i < signature.nparams; ++i) {
        bound[i] = Ref::none();
    }
    if (!bind_arguments(signature, args, kwargs, bound)) {
        add_traceback(def->entry, def->line, f->globals);
        return nullptr;
    }
    for (int i = 0; i < signature.nparams; ++i) {
        values[i] = bound[i].get();
    }
    return def->body(self, values);
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) {
        return Ref::borrow(self).release();
    }
    return PyMethod_New(self, obj);
}

// The object fields, for the garbage collector.
const std::size_t object_fields[] = {
    offsetof(FunctionObject, name),     offsetof(FunctionObject, qualname),
    offsetof(FunctionObject, module),   offsetof(FunctionObject, doc),
    offsetof(FunctionObject, defaults), offsetof(FunctionObject, globals),
    offsetof(FunctionObject, code),     offsetof(FunctionObject, annotations),
    offsetof(FunctionObject, dict),
};

PyObject*& field_at(PyObject* self, std::size_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + offset);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    for (std::size_t offset : object_fields) {
        Py_VISIT(field_at(self, offset));
    }
    return 0;
}

int function_clear(PyObject* self) {
    for (std::size_t offset : object_fields) {
        Py_CLEAR(field_at(self, offset));
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_function(self)->weakrefs != nullptr) {
        PyObject_ClearWeakRefs(self);
    }
    function_clear(self);
    PyObject_GC_Del(self);
}

// ---- attributes ----------------------------------------------------------

// An attribute kept in a field of the object, and what it may be set to.
enum class Accepts { anything, str, tuple_or_none };
struct Attribute {
    const char* name;
    std::size_t offset;
    Accepts accepts;
};

Attribute attr_name = {"__name__", offsetof(FunctionObject, name), Accepts::str};
Attribute attr_qualname = {"__qualname__", offsetof(FunctionObject, qualname), Accepts::str};
Attribute attr_doc = {"__doc__", offsetof(FunctionObject, doc), Accepts::anything};
Attribute attr_module = {"__module__", offsetof(FunctionObject, module), Accepts::anything};
// __defaults__ is reported only: calls keep binding with the definition's
// own defaults.
Attribute attr_defaults = {"__defaults__", offsetof(FunctionObject, defaults),
                           Accepts::tuple_or_none};
Attribute attr_globals = {"__globals__", offsetof(FunctionObject, globals), Accepts::anything};
Attribute attr_code = {"__code__", offsetof(FunctionObject, code), Accepts::anything};

// The attributes that can be set are read and written under the object's
// critical section (without the GIL, a read must take its reference before
// a concurrent write releases the value).
PyObject* get_attribute(PyObject* self, void* closure) {
    PyObject* result;
    QV_BEGIN_CRITICAL_SECTION(self);
    PyObject* value = field_at(self, static_cast<Attribute*>(closure)->offset);
    result = Ref::borrow(value != nullptr ? value : Py_None).release();
    QV_END_CRITICAL_SECTION();
    return result;
}

int set_attribute(PyObject* self, PyObject* value, void* closure) {
    const Attribute& attribute = *static_cast<Attribute*>(closure);
    switch (attribute.accepts) {
    case Accepts::str:
        if (value == nullptr || !PyUnicode_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a string object", attribute.name);
            return -1;
        }
        break;
    case Accepts::tuple_or_none:
        if (value != nullptr && value != Py_None && !PyTuple_Check(value)) {
            PyErr_Format(PyExc_TypeError, "%s must be set to a tuple object", attribute.name);
            return -1;
        }
        break;
    case Accepts::anything:
        break;
    }
    Ref old;
    QV_BEGIN_CRITICAL_SECTION(self);
    PyObject*& slot = field_at(self, attribute.offset);
    old = Ref::steal(slot);
    slot = Ref::borrow(value != nullptr ? value : Py_None).release();
    QV_END_CRITICAL_SECTION();
    return 0;
}

PyObject* function_repr(PyObject* self) {
    Ref qualname = Ref::steal(get_attribute(self, &attr_qualname));
    return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

PyObject* get_kwdefaults(PyObject*, void*) { return Ref::none().release(); }

PyObject* get_annotations(PyObject* self, void*) {
    FunctionObject* f = as_function(self);
    PyObject* result;
    QV_BEGIN_CRITICAL_SECTION(self);
    if (f->annotations == nullptr) {
        f->annotations = PyDict_New();
    }
    result = Ref::borrow(f->annotations).release();
    QV_END_CRITICAL_SECTION();
    return result;
}
int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value == Py_None) {
        value = nullptr;
    }
    if (value != nullptr && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    Ref old;
    QV_BEGIN_CRITICAL_SECTION(self);
    old = Ref::steal(as_function(self)->annotations);
    as_function(self)->annotations = Ref::borrow(value).release();
    QV_END_CRITICAL_SECTION();
    return 0;
}

PyGetSetDef function_getset[] = {
    {const_cast<char*>("__name__"), get_attribute, set_attribute, nullptr, &attr_name},
    {const_cast<char*>("__qualname__"), get_attribute, set_attribute, nullptr, &attr_qualname},
    {const_cast<char*>("__doc__"), get_attribute, set_attribute, nullptr, &attr_doc},
    {const_cast<char*>("__module__"), get_attribute, set_attribute, nullptr, &attr_module},
    {const_cast<char*>("__defaults__"), get_attribute, set_attribute, nullptr, &attr_defaults},
    {const_cast<char*>("__kwdefaults__"), get_kwdefaults, nullptr, nullptr, nullptr},
    {const_cast<char*>("__annotations__"), get_annotations, set_annotations, nullptr, nullptr},
    {const_cast<char*>("__globals__"), get_attribute, nullptr, nullptr, &attr_globals},
    {const_cast<char*>("__code__"), get_attribute, nullptr, nullptr, &attr_code},
    {const_cast<char*>("__dict__"), PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr,
     nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

bool ready_function_type() {
    if (function_type.tp_flags & Py_TPFLAGS_READY) {
        return true;
    }
    PyTypeObject& t = function_type;
    compat::init_static_object_header(&t);
    t.tp_name = "quorvane.global_var.globals.compiled_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
#if QV_PY38
    t.tp_flags |= Py_TPFLAGS_METHOD_DESCRIPTOR;
#endif
    t.tp_call = function_call;
    t.tp_descr_get = function_descr_get;
    t.tp_repr = function_repr;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_dealloc = function_dealloc;
    t.tp_getset = function_getset;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    return PyType_Ready(&t) == 0;
}

void forget_function_type() { function_type = PyTypeObject(); }

PyObject* new_function(const FunctionDef* def, PyObject* qualname, PyObject* doc,
                       PyObject* defaults, PyObject* code, PyObject* globals) {
    FunctionObject* f = PyObject_GC_New(FunctionObject, &function_type);
    if (f == nullptr) {
        return nullptr;
    }
    f->def = def;
    f->name = PyUnicode_InternFromString(def->signature.name);
    f->qualname = Ref::borrow(qualname).release();
    f->module = Ref::borrow(names.module_name).release();
    f->doc = Ref::borrow(doc).release();
    f->defaults = Ref::borrow(defaults).release();
    f->globals = Ref::borrow(globals).release();
    f->code = Ref::borrow(code).release();
    f->annotations = nullptr;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    PyObject_GC_Track(reinterpret_cast<PyObject*>(f));
    if (f->name == nullptr) {
        Py_DECREF(f);
        return nullptr;
    }
    return reinterpret_cast<PyObject*>(f);
}

const FunctionDef* function_def(PyObject* obj) {
    return Py_TYPE(obj) == &function_type ? as_function(obj)->def : nullptr;
}

PyObject* function_globals(PyObject* function) { return as_function(function)->globals; }

}  // namespace qv
