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

#include <cstdint>

namespace qv {

namespace {

constexpr Entry init_entry = Entry::config_init;
constexpr Entry getattribute_entry = Entry::config_getattribute;

// ---- reading the instance's own attributes -------------------------------

// object.__getattribute__(self, name) with the captured builtin `object`.
Ref object_getattribute(PyObject* self, PyObject* name) {
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

// The __getattribute__ that a read of an attribute of `self` would run, when
// it is this module's own and nothing else (a __getattr__ hook) takes part
// in the read; null otherwise.  The answer depends on the type's attributes
// only; where the type has a stable version tag, the last answer is kept
// with it.
struct OwnHookCache {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    PyObject* hook = nullptr;  // borrowed from the type's namespace
};
OwnHookCache own_hook_cache;

PyObject* own_getattribute(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    OwnHookCache& cache = own_hook_cache;
    if (type == cache.type && cache.version != 0 &&
        compat::stable_type_version(type) == cache.version) {
        return cache.hook;
    }
    PyObject* hook = _PyType_Lookup(type, names.__getattribute__);
    if (hook == nullptr || function_def(hook) != &config_getattribute_def ||
        _PyType_Lookup(type, names.__getattr__) != nullptr) {
        hook = nullptr;
    }
    cache.type = type;
    cache.version = compat::stable_type_version(type);
    cache.hook = hook;
    return hook;
}

// `self.<name>` for one of the reserved names.  When the class's lookup is
// still this module's __getattribute__, the read is served as that function
// would serve it, without the round trip through the call protocol: the
// recursion check that the call would make is made here, and a failure of
// the lookup carries the same entry (line 59) the nested call would add.
//
// `checked` is the class's __getattribute__ when the caller has just found
// it to be this module's own and no code has run since.
Ref read_reserved(compat::SlotCalls& calls, PyObject* self, PyObject* name,
                  PyObject* checked = nullptr) {
    // Held for the read: the lookup may run code that rebinds the class's
    // __getattribute__.
    Ref hook = Ref::borrow(checked != nullptr ? checked : own_getattribute(self));
    if (!hook) {
        return Ref::steal(PyObject_GetAttr(self, name));
    }
    if (!calls.enter()) {
        return Ref();
    }
    Ref value = object_getattribute(self, name);
    calls.leave();
    if (!value) {
        add_traceback(getattribute_entry, 59, function_globals(hook.get()));
    }
    return value;
}

Ref read_reserved(PyObject* self, PyObject* name) {
    compat::SlotCalls calls;
    return read_reserved(calls, self, name);
}

// hasattr(self, "config_json"), where any exception counts as absent.
bool has_config_json(compat::SlotCalls& calls, PyObject* self) {
    Ref value;
    if (own_getattribute(self) != nullptr &&
        builtins.object.get() == reinterpret_cast<PyObject*>(&PyBaseObject_Type)) {
        if (calls.enter()) {
            value = Ref::steal(compat::generic_getattr_or_null(self, names.config_json));
            calls.leave();
        }
    } else {
        value = Ref::steal(PyObject_GetAttr(self, names.config_json));
    }
    if (!value) {
        PyErr_Clear();
    }
    return static_cast<bool>(value);
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

// item.upper().  For an exact str, str.upper is the built-in method and
// depends on the text alone, so the result for a name read before is kept
// (with its hash, which the option index needs next) and handed out as a
// new str with that text and hash.  Single characters are left to str.upper,
// whose results among them may be shared objects.
class UpperNames {
public:
    Ref upper(PyObject* item) {
        const Py_hash_t hash = PyUnicode_CheckExact(item) && PyUnicode_GET_LENGTH(item) > 1
                                   ? reinterpret_cast<PyASCIIObject*>(item)->hash
                                   : -1;
        if (hash == -1) {
            return call_upper(item);
        }
        Entry& entry = entries_[static_cast<std::size_t>(hash) % size];
        if (entry.name.get() != item) {
            Ref computed = call_upper(item);
            // (A str's hash cannot fail.)
            if (computed && PyUnicode_CheckExact(computed.get()) &&
                PyObject_Hash(computed.get()) != -1) {
                entry.name.set(Ref::borrow(item));
                entry.upper.set(computed.copy());
            }
            return computed;
        }
        return Ref::steal(compat::copy_str(entry.upper.get()));
    }

private:
    static Ref call_upper(PyObject* item) {
        PyObject* args[1] = {item};
        return Ref::steal(compat::call_method(names.upper, args, 1));
    }
    static constexpr std::size_t size = 64;
    struct Entry {
        Slot name;   // an exact str whose hash is known
        Slot upper;  // name.upper(), hashed
    };
    Entry entries_[size];
};
UpperNames upper_names;

Ref upper_cased(PyObject* item) { return upper_names.upper(item); }

// item == reserved, with the identity shortcut and no allocation for exact
// str operands; 1, 0 or -1 on error.
int equals(PyObject* item, PyObject* reserved) {
    if (item == reserved) {
        return 1;
    }
    if (PyUnicode_CheckExact(item)) {
        if (PyUnicode_GET_LENGTH(item) != PyUnicode_GET_LENGTH(reserved) ||
            compat::known_hashes_differ(item, reserved)) {
            return 0;
        }
        return PyUnicode_Compare(item, reserved) == 0;
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

// The `except ValueError` clause around the conversion: a ValueError (the
// captured builtin, or a subclass) being raised is taken over and dropped,
// giving None; any other exception stays raised (null returned).
Ref drop_value_error(PyObject* globals) {
    if (!PyErr_ExceptionMatches(builtins.value_error.get())) {
        return Ref();
    }
    Caught caught;
    if (!caught.take()) {
        add_traceback(getattribute_entry, 81, globals);
        return Ref();
    }
    return Ref::none();
}

// The file's value for a numeric or boolean default: the parser's
// conversion picked by the default's type.  A ValueError raised on the way
// (by the conversion, or by the bool test before it) gives None, silently.
Ref convert_file_value(compat::SlotCalls& calls, PyObject* globals, PyObject* self,
                       PyObject* result, PyObject* section_name, PyObject* item) {
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
    Ref parser = read_reserved(calls, self, names.parser);
    PyObject* args[3] = {parser.get(), section_name, item};
    Ref converted = parser ? Ref::steal(compat::call_method(method, args, 3)) : Ref();
    if (converted) {
        return converted;
    }
    add_traceback(getattribute_entry, line, globals);
    return drop_value_error(globals);
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

// `hook`: the class's __getattribute__ when the caller (the class's slot)
// has just found it to be this module's own; null otherwise.
Ref lookup_setting(compat::SlotCalls& calls, PyObject* globals, PyObject* self, PyObject* item,
                   PyObject* hook) {
    PyObject* const reserved[] = {names.filename, names.parser, names.config_json, names.module,
                                  names.variables};
    // An exact str can equal a reserved name only with the same length; and
    // comparing one runs no code, so the caller's finding about the hook
    // still holds afterwards.
    static const std::uint64_t lengths = reserved_lengths(reserved);
    const bool plain = PyUnicode_CheckExact(item);
    const Py_ssize_t length = plain ? PyUnicode_GET_LENGTH(item) : 0;
    const bool maybe_reserved =
        !plain || (length < 64 && (lengths & (std::uint64_t{1} << length)) != 0);
    for (PyObject* name : reserved) {
        int equal = maybe_reserved ? equals(item, name) : 0;
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
    Ref module = read_reserved(calls, self, names.module, plain ? hook : nullptr);
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
    if (!has_config_json(calls, self)) {
        return result;
    }

    // Is the option in the file?  The index is keyed by the upper-cased name.
    Ref upper = upper_cased(item);
    Ref config_json = upper ? read_reserved(calls, self, names.config_json) : Ref();
    int contained = config_json ? PySequence_Contains(config_json.get(), upper.get()) : -1;
    if (contained < 0) {
        add_traceback(getattribute_entry, 66, globals);
        return Ref();
    }
    if (!contained) {
        return result;
    }
    config_json = read_reserved(calls, self, names.config_json);
    Ref section_name =
        config_json ? Ref::steal(PyObject_GetItem(config_json.get(), upper.get())) : Ref();
    if (!section_name) {
        add_traceback(getattribute_entry, 67, globals);
        return Ref();
    }
    return convert_file_value(calls, globals, self, value, section_name.get(), item);
}

PyObject* getattribute_body(PyObject* function, PyObject* const* args) {
    compat::SlotCalls calls;
    return lookup_setting(calls, function_globals(function), args[0], args[1], nullptr)
        .release();
}

// ---- the class's attribute slot -------------------------------------------

// Because the class defines __getattribute__, the interpreter gives it a
// generic slot that looks the method up on the type and calls it with
// (self, name) through the call protocol.  The class's own slot is replaced
// by this one, which makes the same lookup and the same recursion check and
// runs the method's body without building the argument tuple.  Any change
// to the class's __getattribute__ or __getattr__ (and any class that merely
// inherits this slot) goes back to the interpreter's slot: the type resets
// its own slot on such changes, and every read checks the method again.
struct ClassSlot {
    Slot cls;  // kept alive: the pointer is compared with instances' types
    getattrofunc interpreter = nullptr;
};
ClassSlot class_slot;

PyObject* class_getattro(PyObject* self, PyObject* name) {
    PyObject* function =
        Py_TYPE(self) == reinterpret_cast<PyTypeObject*>(class_slot.cls.get())
            ? own_getattribute(self)
            : nullptr;
    if (function == nullptr) {
        return class_slot.interpreter(self, name);
    }
    // Held for the read, as the call protocol holds the method it calls.
    Ref hook = Ref::borrow(function);
    compat::SlotCalls calls;
    if (!calls.enter()) {
        return nullptr;
    }
    Ref value = lookup_setting(calls, function_globals(function), self, name, function);
    calls.leave();
    return value.release();
}

PyObject* Names::*const init_params[] = {&Names::self, &Names::filename};
PyObject* Names::*const getattribute_params[] = {&Names::self, &Names::item};

}  // namespace

void install_class_slot(PyObject* cls) {
    if (class_slot.cls || !PyType_Check(cls)) {
        return;
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
    PyObject* hook = _PyType_Lookup(type, names.__getattribute__);
    if (!PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE) || hook == nullptr ||
        function_def(hook) != &config_getattribute_def ||
        _PyType_Lookup(type, names.__getattr__) != nullptr ||
        type->tp_getattro == PyObject_GenericGetAttr || type->tp_getattro == nullptr) {
        return;
    }
    class_slot.cls.set(Ref::borrow(cls));
    class_slot.interpreter = type->tp_getattro;
    type->tp_getattro = class_getattro;
}

const FunctionDef config_init_def = {{"__init__", 2, 1, init_params}, init_entry, 41, init_body};
const FunctionDef config_getattribute_def = {
    {"__getattribute__", 2, 2, getattribute_params}, getattribute_entry, 56, getattribute_body};

}  // namespace qv
