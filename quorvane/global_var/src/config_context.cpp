// config_global_var: construction (__init__) and setting lookup
// (__getattribute__).
//
// The methods behave like this Python source (the line numbers are the ones
// their traceback entries carry):
//
//   41  def __init__(self, filename=None):
//   42      self.variables = []
//   43      if filename is not None:
//   44          self.filename = filename
//   45          self.parser = ConfigParser()
//   46          self.parser.read(self.filename)
//   47          self.config_json = {}
//   48          for section in self.parser.sections():
//   49              options = self.parser.options(section)
//   50              options_decoded = apply_unidecoding(options)
//   51              for x in map(str.upper, options_decoded):
//   52                  self.config_json[x] = section
//   53                  self.variables.append(x)
//   54      self.module = importlib.import_module(".global_var.global_var", package="quorvane")
//
//   56  def __getattribute__(self, item):
//   58      if item in ("filename", "parser", "config_json", "module", "variables"):  # by ==
//   59          return object.__getattribute__(self, item)
//   61      result = getattr(self.module, item, None)
//   62      if result is not None:
//   63          if isinstance(result, (int, float, complex, bool)) and hasattr(self, "config_json"):
//   66          if <item.upper(), called once> in self.config_json:
//   67              section_name = self.config_json[<the same upper-cased name>]
//                  variable_name = item
//   68              try:
//   70                  if isinstance(result, bool):
//   71                      config_result = self.parser.getboolean(section_name, variable_name)
//   74                  elif isinstance(result, int): ... getint ...
//   77                  elif isinstance(result, float): ... getfloat ...
//                      else: config_result = None
//   81              except ValueError as e:
//                      config_result = None
//                  result = config_result
//       return result
#include "globals.hpp"

#include <atomic>
#include <cstdint>

namespace qv {

namespace {

constexpr Entry init_entry = Entry::config_init;
constexpr Entry getattribute_entry = Entry::config_getattribute;

// ---- reading the instance's own attributes -------------------------------

// object.__getattribute__(self, name) with the captured builtin `object`.
inline Ref object_getattribute(PyObject* self, PyObject* name) {
    PyObject* object = builtins.object.get();
    if (object == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        return Ref::steal(PyObject_GenericGetAttr(self, name));
    }
    Ref method = Ref::steal(PyObject_GetAttr(object, names.__getattribute__));
    if (!method) {
        return Ref();
    }
    PyObject* args[3] = {nullptr, self, name};
    return Ref::steal(compat::vectorcall(method.get(), args + 1, 2 | compat::args_offset));
}

// Because the class defines __getattribute__, the interpreter gives it a
// slot that looks the method up on the type and calls it with (self, name)
// through the call protocol.  The class's own slot is replaced, before the
// class is published, by one that runs the method's body directly, after
// the recursion check that the call would make.
//
// What the lookup would find is known as long as the slot is in place: the
// class's MRO is fixed (its only base is object, and __bases__ cannot be
// assigned a class with another deallocator), and assigning or deleting
// __getattribute__ or __getattr__ on the class makes the type put a slot of
// the interpreter's back.  Subclasses get one of the interpreter's from the
// start.  (A write into the class's dict that bypasses the type, through
// the garbage collector's referents, would go unseen; the interpreter's own
// method cache does not see it either.)
//
// The slot serves the class directly once the module's exec step has
// succeeded: from then on the module, and with it the namespace that the
// class's functions have as their globals, is kept while the interpreter
// lives, so a read needs no reference of its own to the class or the
// namespace (without the GIL every thread would take such references on
// the same objects).  It holds the instance and the name, as the call it
// stands in for would.  Until then, and for the class of a failed exec
// step, it does what the interpreter's slot does (dispatch_getattro).
struct ServedClass {
    PyTypeObject* cls = nullptr;  // compared only
    PyObject* globals = nullptr;  // the namespace of the initialised module
};
ServedClass served_class;
std::atomic<const ServedClass*> served{nullptr};

PyObject* class_getattro(PyObject* self, PyObject* name);

// The globals of the class's __getattribute__ when reads of attributes of
// an instance of `type` are served by the class's own slot; null otherwise.
PyObject* served_by_class_slot(PyTypeObject* type) {
    const ServedClass* current = served.load(std::memory_order_acquire);
    if (current != nullptr && type == current->cls && type->tp_getattro == class_getattro) {
        return current->globals;
    }
    return nullptr;
}

// What a read through PyObject_GetAttr does last, from 3.10 on, when it
// fails: an AttributeError that names nothing gets the name and object.
void name_attribute_error(PyObject* obj, PyObject* name) {
#if QV_PY310
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return;
    }
    compat::RaisedException raised = compat::take_exception();
#if !QV_PY312
    PyErr_NormalizeException(&raised.type, &raised.value, &raised.traceback);
#endif
    if (PyErr_GivenExceptionMatches(raised.value, PyExc_AttributeError) &&
        compat::attribute_error_is_bare(raised.value) &&
        (PyObject_SetAttr(raised.value, names.name, name) < 0 ||
         PyObject_SetAttr(raised.value, names.obj, obj) < 0)) {
        // The failure is raised in its place.
        Ref dropped[] = {Ref::steal(raised.type), Ref::steal(raised.value),
                         Ref::steal(raised.traceback)};
        return;
    }
    compat::restore_exception(raised);
#else
    (void)obj;
    (void)name;
#endif
}

// `self.<name>` for one of the reserved names.  Where the class's slot would
// serve the read, it is served as that slot and the method would serve it:
// the same recursion check, the same lookup, and a failure carries the entry
// (line 59) that the nested call would add.
inline Ref read_reserved(PyObject* self, PyObject* name) {
    if (PyObject* globals = served_by_class_slot(Py_TYPE(self))) {
        if (!compat::enter_slot_call()) {
            return Ref();
        }
        Ref value = object_getattribute(self, name);
        compat::leave_slot_call();
        if (!value) {
            add_traceback(getattribute_entry, 59, globals);
            name_attribute_error(self, name);
        }
        return value;
    }
    return Ref::steal(PyObject_GetAttr(self, name));
}

// Whether object.__getattribute__(self, name) finds something, for an
// instance of the served class, without the AttributeError it would make
// for a missing name: when neither the class nor object holds the name,
// only the instance's dict can.  1 (with *found set to what the dict
// holds, when it was the dict that held it), 0, or -1 with the lookup's
// exception.
int instance_has_attribute(PyObject* self, PyObject* name, Ref* found) {
#if QV_PUBLIC_API_ONLY
    // The class's MRO is itself and object, and object (whose attributes
    // cannot change) has no attribute of the names read here (checked when
    // the class is served): the class's own dict is all the type's lookup
    // would search.
    Ref attribute = Ref::steal(compat::own_type_attribute(Py_TYPE(self), name));
#else
    Ref attribute = Ref::steal(compat::type_lookup(Py_TYPE(self), name));
#endif
    if (attribute) {
        // A class attribute (a descriptor, say): the general lookup.
        return Ref::steal(PyObject_GenericGetAttr(self, name)) ? 1 : -1;
    }
    Ref dict = Ref::steal(PyObject_GenericGetDict(self, nullptr));
    *found = dict ? Ref::steal(compat::dict_get(dict.get(), name)) : Ref();
    if (*found) {
        return 1;
    }
    return PyErr_Occurred() ? -1 : 0;
}

// hasattr(self, "config_json"), where any exception counts as absent.  A
// read served as the class's slot would serve it adds the entry (line 59)
// of the nested call to a failure before clearing it: from 3.12 on an
// exception carries its traceback, and whatever raised it may keep it.
// *index is what the read found in the instance's dict, when it was there.
bool has_config_json(PyObject* self, Ref* index) {
    PyObject* globals = served_by_class_slot(Py_TYPE(self));
    if (globals == nullptr ||
        builtins.object.get() != reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        Ref value = Ref::steal(PyObject_GetAttr(self, names.config_json));
        if (!value) {
            PyErr_Clear();
        }
        return static_cast<bool>(value);
    }
    if (!compat::enter_slot_call()) {
        PyErr_Clear();
        return false;
    }
    const int found = instance_has_attribute(self, names.config_json, index);
    compat::leave_slot_call();
    if (found < 0) {
        add_traceback(getattribute_entry, 59, globals);
        name_attribute_error(self, names.config_json);
        PyErr_Clear();
    }
    return found > 0;
}

bool set_attribute(PyObject* self, PyObject* name, PyObject* value) {
    return PyObject_SetAttr(self, name, value) == 0;
}

// ---- __init__ ------------------------------------------------------------

// Indexes one section: its option names, transliterated and upper-cased,
// into config_json (name -> section) and onto variables.
bool index_section(PyObject* globals, PyObject* self, PyObject* section) {
    Ref parser = read_reserved(self, names.parser);
    PyObject* options_args[2] = {parser.get(), section};
    Ref options = parser ? Ref::steal(compat::call_method(names.options, options_args, 2)) : Ref();
    if (!options) {
        add_traceback(init_entry, 49, globals);
        return false;
    }

    Ref apply = read_global(globals, names.apply_unidecoding);
    Ref options_decoded = apply ? call_apply_unidecoding(apply.get(), options.get()) : Ref();
    if (!options_decoded) {
        add_traceback(init_entry, 50, globals);
        return false;
    }

    Ref upper = Ref::steal(
        PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type), names.upper));
    PyObject* map_args[3] = {nullptr, upper.get(), options_decoded.get()};
    Ref mapped = upper ? Ref::steal(compat::vectorcall(builtins.map.get(), map_args + 1,
                                                       2 | compat::args_offset))
                       : Ref();
    Ref names_iter = mapped ? Ref::steal(PyObject_GetIter(mapped.get())) : Ref();
    if (!names_iter) {
        add_traceback(init_entry, 51, globals);
        return false;
    }
    Ref x;
    while (next_item(names_iter.get(), x)) {
        Ref config_json = read_reserved(self, names.config_json);
        if (!config_json || PyObject_SetItem(config_json.get(), x.get(), section) < 0) {
            add_traceback(init_entry, 52, globals);
            return false;
        }
        Ref variables = read_reserved(self, names.variables);
        bool appended = false;
        if (variables && PyList_CheckExact(variables.get())) {
            appended = PyList_Append(variables.get(), x.get()) == 0;
        } else if (variables) {
            PyObject* append_args[2] = {variables.get(), x.get()};
            appended = static_cast<bool>(
                Ref::steal(compat::call_method(names.append, append_args, 2)));
        }
        if (!appended) {
            add_traceback(init_entry, 53, globals);
            return false;
        }
    }
    if (PyErr_Occurred()) {
        add_traceback(init_entry, 51, globals);
        return false;
    }
    return true;
}

// Steps with a file name: parse the file and index its option names.
bool load_file(PyObject* globals, PyObject* self, PyObject* filename) {
    if (!set_attribute(self, names.filename, filename)) {
        add_traceback(init_entry, 44, globals);
        return false;
    }

    Ref parser_class = read_global(globals, names.ConfigParser);
    Ref new_parser = parser_class ? call0(parser_class.get()) : Ref();
    if (!new_parser || !set_attribute(self, names.parser, new_parser.get())) {
        add_traceback(init_entry, 45, globals);
        return false;
    }

    Ref parser = read_reserved(self, names.parser);
    Ref read = parser ? Ref::steal(PyObject_GetAttr(parser.get(), names.read)) : Ref();
    Ref file = read ? read_reserved(self, names.filename) : Ref();
    Ref files_read = file ? call1(read.get(), file.get()) : Ref();
    if (!files_read) {
        add_traceback(init_entry, 46, globals);
        return false;
    }

    Ref config_json = Ref::steal(PyDict_New());
    if (!config_json || !set_attribute(self, names.config_json, config_json.get())) {
        add_traceback(init_entry, 47, globals);
        return false;
    }

    parser = read_reserved(self, names.parser);
    Ref sections_method =
        parser ? Ref::steal(PyObject_GetAttr(parser.get(), names.sections)) : Ref();
    Ref sections = sections_method ? call0(sections_method.get()) : Ref();
    Ref sections_iter = sections ? Ref::steal(PyObject_GetIter(sections.get())) : Ref();
    if (!sections_iter) {
        add_traceback(init_entry, 48, globals);
        return false;
    }
    Ref section;
    while (next_item(sections_iter.get(), section)) {
        if (!index_section(globals, self, section.get())) {
            return false;
        }
    }
    if (PyErr_Occurred()) {
        add_traceback(init_entry, 48, globals);
        return false;
    }
    return true;
}

PyObject* init_body(PyObject* function, PyObject* const* args) {
    PyObject* globals = function_globals(function);
    PyObject* self = args[0];
    PyObject* filename = args[1];

    Ref variables = Ref::steal(PyList_New(0));
    if (!variables || !set_attribute(self, names.variables, variables.get())) {
        add_traceback(init_entry, 42, globals);
        return nullptr;
    }
    if (filename != Py_None && !load_file(globals, self, filename)) {
        return nullptr;
    }

    Ref importlib = read_global(globals, names.importlib);
    Ref import_module =
        importlib ? Ref::steal(PyObject_GetAttr(importlib.get(), names.import_module)) : Ref();
    PyObject* import_args[3] = {nullptr, names.defaults_module, names.quorvane};
    Ref module = import_module
                     ? Ref::steal(compat::vectorcall(import_module.get(), import_args + 1,
                                                     1 | compat::args_offset,
                                                     constants.kwnames_package))
                     : Ref();
    if (!module || !set_attribute(self, names.module, module.get())) {
        add_traceback(init_entry, 54, globals);
        return nullptr;
    }
    return Ref::none().release();
}

// ---- __getattribute__ ----------------------------------------------------

// item == reserved, with the identity shortcut; comparing two exact strs
// runs no code (a reserved name is an exact str, not empty).  1, 0 or -1 on
// error.
int equals(PyObject* item, PyObject* reserved) {
    if (item == reserved) {
        return 1;
    }
    if (PyUnicode_CheckExact(item)) {
        if (!compat::unicode_ready(item)) {
            return -1;
        }
        return PyUnicode_GET_LENGTH(item) == PyUnicode_GET_LENGTH(reserved) &&
               PyUnicode_READ_CHAR(item, 0) == PyUnicode_READ_CHAR(reserved, 0) &&
               PyUnicode_Compare(item, reserved) == 0;
    }
    Ref outcome = Ref::steal(PyObject_RichCompare(item, reserved, Py_EQ));
    return outcome ? PyObject_IsTrue(outcome.get()) : -1;
}

// isinstance(value, bool) as PyObject_IsInstance answers it, without asking
// where the answer cannot depend on anything Python code can change: the
// instances of these built-in types report their own type as __class__.
int is_bool(PyObject* value) {
    if (PyBool_Check(value)) {
        return 1;
    }
    if (PyLong_CheckExact(value) || PyFloat_CheckExact(value) || PyComplex_CheckExact(value) ||
        PyUnicode_CheckExact(value) || PyList_CheckExact(value) || PyDict_CheckExact(value) ||
        PyTuple_CheckExact(value) || PyBytes_CheckExact(value)) {
        return 0;
    }
    return PyObject_IsInstance(value, reinterpret_cast<PyObject*>(&PyBool_Type));
}

// The `except ValueError` clause around the conversion, for the exception
// being raised: a ValueError (the captured builtin, or a subclass) is taken
// and dropped, giving None; anything else is raised again (null returned).
Ref drop_value_error(PyObject* globals) {
    Caught caught;
    if (!caught.matches(builtins.value_error.get())) {
        caught.reraise();
        return Ref();
    }
    if (!caught.take_over()) {
        add_traceback(getattribute_entry, 81, globals);
        return Ref();
    }
    return Ref::none();
}

// The file's value for a numeric or boolean default: the parser's
// conversion picked by the default's type.  A ValueError raised on the way
// (by the conversion, or by the bool test before it) gives None, silently.
Ref convert_file_value(PyObject* globals, PyObject* self, PyObject* result,
                       PyObject* section_name, PyObject* item) {
    int line;
    PyObject* method;
    int boolean = is_bool(result);
    if (boolean < 0) {
        add_traceback(getattribute_entry, 70, globals);
        return drop_value_error(globals);
    }
    if (boolean) {
        line = 71;
        method = names.getboolean;
    } else if (PyLong_Check(result)) {
        line = 74;
        method = names.getint;
    } else if (PyFloat_Check(result)) {
        line = 77;
        method = names.getfloat;
    } else {
        return Ref::none();
    }
    Ref parser = read_reserved(self, names.parser);
    PyObject* args[3] = {parser.get(), section_name, item};
    Ref converted = parser ? Ref::steal(compat::call_method(method, args, 3)) : Ref();
    if (converted) {
        return converted;
    }
    add_traceback(getattribute_entry, line, globals);
    return drop_value_error(globals);
}

// item.upper().  For an exact str the method is str.upper, whose type
// cannot change: it is called without looking it up.
Ref upper_cased(PyObject* item) {
    PyObject* args[2] = {nullptr, item};
    if (PyUnicode_CheckExact(item)) {
        return Ref::steal(
            compat::vectorcall(constants.str_upper, args + 1, 1 | compat::args_offset));
    }
    return Ref::steal(compat::call_method(names.upper, args + 1, 1));
}

// Lengths (below 64) of the reserved names, as bits.
std::uint64_t reserved_lengths(PyObject* const (&reserved)[5]) {
    std::uint64_t bits = 0;
    for (PyObject* name : reserved) {
        const Py_ssize_t length = PyUnicode_GET_LENGTH(name);
        bits |= length < 64 ? std::uint64_t{1} << length : 0;
    }
    return bits;
}

Ref lookup_setting(PyObject* globals, PyObject* self, PyObject* item) {
    PyObject* const reserved[] = {names.filename, names.parser, names.config_json, names.module,
                                  names.variables};
    // An exact str can equal a reserved name only with the same length.
    static const std::uint64_t lengths = reserved_lengths(reserved);
    if (PyUnicode_CheckExact(item) && !compat::unicode_ready(item)) {
        add_traceback(getattribute_entry, 58, globals);
        return Ref();
    }
    const bool plain = PyUnicode_CheckExact(item);
    const Py_ssize_t length = plain ? PyUnicode_GET_LENGTH(item) : 0;
    const bool maybe_reserved =
        !plain || (length < 64 && (lengths & (std::uint64_t{1} << length)) != 0);
    for (PyObject* name : reserved) {
        if (!maybe_reserved) {
            break;
        }
        int equal = equals(item, name);
        if (equal < 0) {
            add_traceback(getattribute_entry, 58, globals);
            return Ref();
        }
        if (equal) {
            Ref value = object_getattribute(self, item);
            if (!value) {
                add_traceback(getattribute_entry, 59, globals);
            }
            return value;
        }
    }

    // The default, from the defaults module.
    Ref module = read_reserved(self, names.module);
    PyObject* found = nullptr;
    if (!module || compat::getattr_optional(module.get(), item, &found) < 0) {
        add_traceback(getattribute_entry, 61, globals);
        return Ref();
    }
    Ref result = found ? Ref::steal(found) : Ref::none();

    // Only numbers and booleans are taken from the file, and only when there
    // is one.
    if (result.is(Py_None)) {
        return result;
    }
    PyObject* value = result.get();
    if (!PyLong_Check(value) && !PyFloat_Check(value) && !PyComplex_Check(value)) {
        int boolean = is_bool(value);
        if (boolean < 0) {
            add_traceback(getattribute_entry, 63, globals);
            return Ref();
        }
        if (!boolean) {
            return result;
        }
    }
    Ref index;
    if (!has_config_json(self, &index)) {
        return result;
    }

    // Is the option in the file?  The index is keyed by the upper-cased name.
    Ref upper = upper_cased(item);
    Ref config_json;
    if (upper && index && PyUnicode_CheckExact(item)) {
        // Nothing has run since the presence test read the instance's dict
        // (an exact str's upper() runs no code): the same read again finds
        // the same object, after the same recursion check.
        config_json = std::move(index);
    } else if (upper) {
        config_json = read_reserved(self, names.config_json);
    }
    int contained = config_json ? PySequence_Contains(config_json.get(), upper.get()) : -1;
    if (contained < 0) {
        add_traceback(getattribute_entry, 66, globals);
        return Ref();
    }
    if (!contained) {
        return result;
    }
    config_json = read_reserved(self, names.config_json);
    Ref section_name =
        config_json ? Ref::steal(PyObject_GetItem(config_json.get(), upper.get())) : Ref();
    if (!section_name) {
        add_traceback(getattribute_entry, 67, globals);
        return Ref();
    }
    return convert_file_value(globals, self, value, section_name.get(), item);
}

PyObject* getattribute_body(PyObject* function, PyObject* const* args) {
    return lookup_setting(function_globals(function), args[0], args[1]).release();
}

// ---- the class's attribute slot -------------------------------------------

// The interpreter's slot for a class with __getattribute__ and no
// __getattr__: the method looked up on the type and called with (self,
// name), unbound (before 3.8, bound to self and called with the name).
PyObject* dispatch_getattro(PyObject* self, PyObject* name) {
    Ref hook = Ref::steal(compat::type_lookup(Py_TYPE(self), names.__getattribute__));
    if (!hook) {
        return PyObject_GenericGetAttr(self, name);
    }
#if QV_PY38
    PyObject* args[3] = {nullptr, self, name};
    return compat::vectorcall(hook.get(), args + 1, 2 | compat::args_offset);
#else
    descrgetfunc bind = Py_TYPE(hook.get())->tp_descr_get;
    Ref bound = bind != nullptr
                    ? Ref::steal(bind(hook.get(), self, reinterpret_cast<PyObject*>(Py_TYPE(self))))
                    : hook.copy();
    return bound ? call1(bound.get(), name).release() : nullptr;
#endif
}

PyObject* class_getattro(PyObject* self, PyObject* name) {
    PyObject* globals = served_by_class_slot(Py_TYPE(self));
    if (globals == nullptr) {
        return dispatch_getattro(self, name);
    }
    if (!compat::enter_slot_call()) {
        return nullptr;
    }
    // The call this stands in for holds its arguments until it returns; the
    // caller may hold neither (a borrowed instance whose last reference goes
    // while a default's __getattr__ or the parser runs).
    Ref held_self = Ref::borrow(self);
    Ref held_name = Ref::borrow(name);
    Ref value = lookup_setting(globals, self, name);
    compat::leave_slot_call();
    return value.release();
}

PyObject* Names::*const init_params[] = {&Names::self, &Names::filename};
PyObject* Names::*const getattribute_params[] = {&Names::self, &Names::item};

}  // namespace

void install_class_slot(PyObject* cls) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_Check(cls) || !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) ||
        type->tp_getattro == PyObject_GenericGetAttr || type->tp_getattro == nullptr ||
        type->tp_getattro == class_getattro || type->tp_base != &PyBaseObject_Type) {
        return;
    }
    Ref hook = Ref::steal(compat::type_lookup(type, names.__getattribute__));
    Ref getattr_hook = Ref::steal(compat::type_lookup(type, names.__getattr__));
    if (!hook || function_def(hook.get()) != &config_getattribute_def || getattr_hook) {
        return;
    }
    type->tp_getattro = class_getattro;
}

void serve_class(PyObject* cls, PyObject* globals) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!PyType_Check(cls) || type->tp_getattro != class_getattro ||
        served.load(std::memory_order_acquire) != nullptr) {
        return;
    }
    Ref object_attribute = Ref::steal(compat::type_lookup(&PyBaseObject_Type, names.config_json));
    if (object_attribute) {
        return;
    }
    served_class.cls = type;
    served_class.globals = globals;
    served.store(&served_class, std::memory_order_release);
}

void forget_served_class() {
    served.store(nullptr, std::memory_order_release);
    served_class = ServedClass();
}

const FunctionDef config_init_def = {{"__init__", 2, 1, init_params}, init_entry, 41, init_body};
const FunctionDef config_getattribute_def = {
    {"__getattribute__", 2, 2, getattribute_params}, getattribute_entry, 56, getattribute_body};

}  // namespace qv
