// The module quorvane.global_var.globals: its definition, the two-step
// initialisation and the module body.
//
// The body behaves like this Python source (the line numbers are the ones
// its traceback entries carry; failures ahead of line 1 carry line 1):
//
//    1  from configparser import ConfigParser
//    2  import importlib
//    3  from unidecode import unidecode
//    4  import traceback
//    7  def apply_unidecoding(object): ...
//   34  class config_global_var(object):
//           """..."""
//   41      def __init__(self, filename=None): ...
//   56      def __getattribute__(self, item): ...
//   87  g = config_global_var()
//    1  __test__ = {}
#include "globals.hpp"

#include <cstdio>
#include <mutex>

#ifndef QV_BUILD_MAJOR
#define QV_BUILD_MAJOR PY_MAJOR_VERSION
#endif
#ifndef QV_BUILD_MINOR
#define QV_BUILD_MINOR PY_MINOR_VERSION
#endif

namespace qv {

Builtins builtins;

Ref read_global(PyObject* globals, PyObject* name) {
    Ref value = Ref::steal(compat::dict_get(globals, name));
    if (value) {
        return value;
    }
    if (PyErr_Occurred()) {
        return Ref();
    }
    PyObject* found = nullptr;
    if (builtins.module && compat::lookup_attr(builtins.module.get(), name, &found) != 0) {
        return Ref::steal(found);
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

namespace {

// ---- process-wide state --------------------------------------------------

// Guards the two below.
compat::ProcessLock process_lock;
// The interpreter that first created the module; -1 until then.
int64_t owning_interpreter_id = -1;
// The module whose exec step has begun (and not failed).
Slot initialised_module;

constexpr Entry entry = Entry::module_init;

// ---- the end of the owning interpreter -------------------------------------

// Registered with Py_AtExit by the first create step of the interpreter that
// owns the module, and so called at the very end of Py_FinalizeEx, when that
// interpreter and every object of it are gone.  An application that embeds
// Python may initialise it again and import the module anew: everything
// process-wide belongs to the finalized interpreter, so it is dropped
// without being touched, and the next import starts from the beginning.
void forget_finalized_interpreter() {
    owning_interpreter_id = -1;
    initialised_module.forget();
    for (Slot* slot : {&builtins.module, &builtins.object, &builtins.enumerate, &builtins.map,
                       &builtins.value_error}) {
        slot->forget();
    }
    forget_served_class();
    forget_function_type();
    forget_traceback_entries();
    forget_names();
    compat::forget();
}

// ---- create step ---------------------------------------------------------

struct SpecAttribute {
    const char* spec_name;
    const char* module_name;
    bool copy_none;
};

const SpecAttribute spec_attributes[] = {
    {"loader", "__loader__", true},
    {"origin", "__file__", true},
    {"parent", "__package__", true},
    {"submodule_search_locations", "__path__", false},
};

PyObject* create_module(PyObject* spec, PyModuleDef*) {
    const int64_t interpreter = compat::current_interpreter_id();
    {
        std::lock_guard<compat::ProcessLock> hold(process_lock);
        if (owning_interpreter_id == -1) {
            if (interpreter == -1) {
                return nullptr;
            }
            owning_interpreter_id = interpreter;
            // (Without a free place in the interpreter's short list, the
            // module of a finalized interpreter stays in place, dead.)
            (void)Py_AtExit(forget_finalized_interpreter);
        } else if (interpreter != owning_interpreter_id) {
            PyErr_SetString(PyExc_ImportError,
                            "Interpreter change detected - this module can only be loaded into "
                            "one interpreter per process.");
            return nullptr;
        }
        if (initialised_module) {
            return Ref::borrow(initialised_module.get()).release();
        }
    }

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    Ref module = name ? Ref::steal(PyModule_NewObject(name.get())) : Ref();
    if (!module) {
        return nullptr;
    }
    PyObject* dict = PyModule_GetDict(module.get());
    for (const SpecAttribute& attribute : spec_attributes) {
        Ref value = Ref::steal(PyObject_GetAttrString(spec, attribute.spec_name));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
                return nullptr;
            }
            PyErr_Clear();
            continue;
        }
        if (value.is(Py_None) && !attribute.copy_none) {
            continue;
        }
        if (PyDict_SetItemString(dict, attribute.module_name, value.get()) < 0) {
            return nullptr;
        }
    }
    return module.release();
}

// ---- exec step: helpers ----------------------------------------------------

bool bind(PyObject* dict, PyObject* name, PyObject* value) {
    return PyDict_SetItem(dict, name, value) == 0;
}

bool check_version() {
    int major = 0;
    int minor = 0;
    compat::runtime_version(&major, &minor);
    if (major == QV_BUILD_MAJOR && minor == QV_BUILD_MINOR) {
        return true;
    }
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  QV_BUILD_MAJOR, QV_BUILD_MINOR, "quorvane.global_var.globals",
                  "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1) == 0;
}

// A value that an earlier, failed exec step published and this one
// replaced: that step's functions may still be running (on another thread,
// or in code they called) and use it without a reference of their own, so
// it is never released.  (Such values are the builtins module and the
// builtins it holds, captured again by each retried import.)
void keep_while_interpreter_lives(Ref replaced) { (void)replaced.release(); }

bool capture_builtin(Slot& slot, PyObject* name) {
    PyObject* value = nullptr;
    int found = compat::lookup_attr(builtins.module.get(), name, &value);
    if (found == 0) {
        PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    }
    if (found <= 0) {
        return false;
    }
    keep_while_interpreter_lives(slot.exchange(Ref::steal(value)));
    return true;
}

// from <module_name> import <name>
bool from_import(PyObject* dict, PyObject* module_name, PyObject* name) {
    Ref fromlist = Ref::steal(PyTuple_Pack(1, name));
    Ref locals = fromlist ? Ref::steal(PyDict_New()) : Ref();
    Ref module = locals ? Ref::steal(PyImport_ImportModuleLevelObject(
                              module_name, dict, locals.get(), fromlist.get(), 0))
                        : Ref();
    if (!module) {
        return false;
    }
    Ref value = Ref::steal(PyObject_GetAttr(module.get(), name));
    if (!value && PyErr_ExceptionMatches(PyExc_AttributeError)) {
        // A submodule of that name, already imported.
        PyErr_Clear();
        Ref package = Ref::steal(PyObject_GetAttr(module.get(), names.__name__));
        Ref prefix = package ? Ref::steal(PyUnicode_Concat(package.get(), names.dot)) : Ref();
        Ref full_name = prefix ? Ref::steal(PyUnicode_Concat(prefix.get(), name)) : Ref();
        if (full_name) {
            value = Ref::steal(compat::sys_modules_get(full_name.get()));
        }
    }
    if (!value) {
        PyErr_Format(PyExc_ImportError, "cannot import name %S", name);
        return false;
    }
    return bind(dict, name, value.get());
}

// Whether an entry of sys.modules is a module still being imported.
bool is_initializing(PyObject* module) {
    PyObject* spec = nullptr;
    bool initializing = false;
    if (compat::lookup_attr(module, names.__spec__, &spec) > 0) {
        PyObject* flag = nullptr;
        if (compat::lookup_attr(spec, names._initializing, &flag) > 0) {
            initializing = PyObject_IsTrue(flag) > 0;
            Py_DECREF(flag);
        }
        Py_DECREF(spec);
    }
    PyErr_Clear();
    return initializing;
}

// import <name>
bool import_module(PyObject* dict, PyObject* name) {
    Ref module = Ref::steal(compat::sys_modules_get(name));
    if (!module) {
        PyErr_Clear();
    } else if (is_initializing(module.get())) {
        module.reset();
    }
    if (!module) {
        Ref locals = Ref::steal(PyDict_New());
        module = locals ? Ref::steal(PyImport_ImportModuleLevelObject(name, dict, locals.get(),
                                                                       nullptr, 0))
                        : Ref();
        if (!module) {
            return false;
        }
    }
    return bind(dict, name, module.get());
}

Ref make_code(int argcount, std::initializer_list<PyObject*> locals, PyObject* name,
              int firstlineno) {
    Ref varnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(locals.size())));
    if (!varnames) {
        return Ref();
    }
    Py_ssize_t index = 0;
    for (PyObject* local : locals) {
        PyTuple_SET_ITEM(varnames.get(), index++, Ref::borrow(local).release());
    }
    return Ref::steal(
        compat::new_code(argcount, varnames.get(), constants.code_filename, name, firstlineno));
}

struct Codes {
    Ref apply_unidecoding, init, getattribute;
};

// class config_global_var(object): with its two methods.
Ref build_class(PyObject* dict, const Codes& codes, int* line) {
    *line = 34;
    Ref bases = Ref::steal(PyTuple_Pack(1, builtins.object.get()));
    if (!bases) {
        return Ref();
    }
    // The most derived metaclass of the bases.
    PyTypeObject* metatype = &PyType_Type;
    PyTypeObject* base_type = Py_TYPE(builtins.object.get());
    if (PyType_IsSubtype(base_type, metatype)) {
        metatype = base_type;
    }
    // Held: __prepare__ may run code that drops the last other reference.
    Ref metaclass_ref = Ref::borrow(reinterpret_cast<PyObject*>(metatype));
    PyObject* metaclass = metaclass_ref.get();
    Ref prepare = Ref::steal(PyObject_GetAttr(metaclass, names.__prepare__));
    PyObject* prepare_args[3] = {nullptr, names.config_global_var, bases.get()};
    Ref ns = prepare ? Ref::steal(compat::vectorcall(prepare.get(), prepare_args + 1,
                                                     2 | compat::args_offset))
                     : Ref();
    if (!ns || PyObject_SetItem(ns.get(), names.__module__, names.module_name) < 0 ||
        PyObject_SetItem(ns.get(), names.__qualname__, names.config_global_var) < 0 ||
        PyObject_SetItem(ns.get(), names.__doc__, constants.class_doc) < 0) {
        return Ref();
    }

    *line = 41;
    Ref init_qualname = Ref::steal(PyUnicode_FromString("config_global_var.__init__"));
    Ref init_defaults = init_qualname ? Ref::steal(PyTuple_Pack(1, Py_None)) : Ref();
    Ref init = init_defaults ? Ref::steal(new_function(&config_init_def, init_qualname.get(),
                                                       Py_None, init_defaults.get(),
                                                       codes.init.get(), dict))
                             : Ref();
    if (!init || PyObject_SetItem(ns.get(), names.__init__, init.get()) < 0) {
        return Ref();
    }

    *line = 56;
    Ref getattribute_qualname =
        Ref::steal(PyUnicode_FromString("config_global_var.__getattribute__"));
    Ref getattribute = getattribute_qualname
                           ? Ref::steal(new_function(&config_getattribute_def,
                                                     getattribute_qualname.get(), Py_None,
                                                     Py_None, codes.getattribute.get(), dict))
                           : Ref();
    if (!getattribute ||
        PyObject_SetItem(ns.get(), names.__getattribute__, getattribute.get()) < 0) {
        return Ref();
    }

    *line = 34;
    PyObject* class_args[4] = {nullptr, names.config_global_var, bases.get(), ns.get()};
    Ref cls = Ref::steal(compat::vectorcall(metaclass, class_args + 1, 3 | compat::args_offset));
    if (cls) {
        install_class_slot(cls.get());
    }
    return cls;
}

// The module body, statement by statement.  Returns false with the failing
// statement's line in *line; *cls is the class it built.
bool run_body(PyObject* dict, const Codes& codes, int* line, Ref* cls) {
    *line = 1;
    if (!from_import(dict, names.configparser, names.ConfigParser)) return false;
    *line = 2;
    if (!import_module(dict, names.importlib)) return false;
    *line = 3;
    if (!from_import(dict, names.unidecode, names.unidecode)) return false;
    *line = 4;
    if (!import_module(dict, names.traceback)) return false;

    *line = 7;
    Ref apply = Ref::steal(new_function(&apply_unidecoding_def, names.apply_unidecoding,
                                        constants.apply_doc, Py_None,
                                        codes.apply_unidecoding.get(), dict));
    if (!apply || !bind(dict, names.apply_unidecoding, apply.get())) return false;

    *cls = build_class(dict, codes, line);
    if (!*cls || !bind(dict, names.config_global_var, cls->get())) return false;

    *line = 87;
    Ref factory = read_global(dict, names.config_global_var);
    Ref g = factory ? call0(factory.get()) : Ref();
    if (!g || !bind(dict, names.g, g.get())) return false;

    *line = 1;
    Ref test = Ref::steal(PyDict_New());
    return test && bind(dict, names.__test__, test.get());
}

// Exec steps 7 to 10: everything whose failure carries a traceback entry.
// *stored tells whether step 7 put the module into sys.modules; *cls is the
// class the body built.
bool exec_body(PyObject* module, PyObject* dict, int* line, bool* stored, Ref* cls) {
    *line = 1;
    PyObject* modules = PyImport_GetModuleDict();
    int present = PyDict_Contains(modules, names.module_name);
    if (present < 0 || (!present && PyDict_SetItem(modules, names.module_name, module) < 0)) {
        return false;
    }
    *stored = !present;
    if (!capture_builtin(builtins.object, names.object) ||
        !capture_builtin(builtins.enumerate, names.enumerate) ||
        !capture_builtin(builtins.map, names.map) ||
        !capture_builtin(builtins.value_error, names.ValueError)) {
        return false;
    }
    Codes codes;
    codes.apply_unidecoding =
        make_code(1, {names.object, names.key, names.i, names.o, names.e},
                  names.apply_unidecoding, 7);
    codes.init = make_code(2,
                           {names.self, names.filename, names.section, names.options,
                            names.options_decoded, names.x},
                           names.__init__, 41);
    codes.getattribute = make_code(2,
                                   {names.self, names.item, names.result, names.section_name,
                                    names.variable_name, names.config_result, names.e},
                                   names.__getattribute__, 56);
    if (!codes.apply_unidecoding || !codes.init || !codes.getattribute) {
        return false;
    }
    return run_body(dict, codes, line, cls);
}

// The builtins module: sys.modules' entry, as the interpreter keeps it,
// imported only when that entry is missing.
Ref find_builtins_module() {
    Ref key = Ref::steal(PyUnicode_FromString("builtins"));
    if (!key) {
        return Ref();
    }
    Ref module = Ref::steal(compat::sys_modules_get(key.get()));
    if (!module && !PyErr_Occurred()) {
        module = Ref::steal(PyImport_Import(key.get()));
    }
    return module;
}

// A failed exec step is not remembered (the module is released after the
// lock is given up: releasing it may run code).
void forget_initialised_module() {
    Ref dropped;
    std::lock_guard<compat::ProcessLock> hold(process_lock);
    dropped = initialised_module.take();
}

// After a failed exec step nothing of it is kept: not the module, and not
// the sys.modules entry that step 7 made (the import system removes only the
// entry under the name it imported).  The exception being raised is left as
// it is.
void forget_failed_exec(PyObject* module, bool stored) {
    compat::RaisedException pending = compat::take_exception();
    if (stored) {
        PyObject* modules = PyImport_GetModuleDict();
        Ref entry = Ref::steal(compat::dict_get(modules, names.module_name));
        if (entry.is(module)) {
            PyDict_DelItem(modules, names.module_name);
        }
        PyErr_Clear();
    }
    forget_initialised_module();
    compat::restore_exception(pending);
}

int exec_module(PyObject* module) {
    {
        std::lock_guard<compat::ProcessLock> hold(process_lock);
        if (initialised_module) {
            if (initialised_module.get() == module) {
                return 0;
            }
            PyErr_SetString(PyExc_RuntimeError,
                            "Module 'globals' has already been imported. Re-initialisation is "
                            "not supported.");
            return -1;
        }
        Ref empty = initialised_module.exchange(Ref::borrow(module));
    }

    PyObject* dict = PyModule_GetDict(module);
    Ref builtins_module = find_builtins_module();
    bool ready = builtins_module &&
                 PyDict_SetItemString(dict, "__builtins__", builtins_module.get()) == 0 &&
                 check_version() && compat::init(builtins_module.get()) && init_names() &&
                 init_traceback_entries() && ready_function_type();
    if (!ready) {
        forget_initialised_module();
        return -1;
    }
    keep_while_interpreter_lives(builtins.module.exchange(std::move(builtins_module)));

    int line = 1;
    bool stored = false;
    Ref cls;
    if (!exec_body(module, dict, &line, &stored, &cls)) {
        add_traceback(entry, line, dict);
        forget_failed_exec(module, stored);
        return -1;
    }
    serve_class(cls.get(), dict);
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if QV_FREE_THREADED
    // Everything the module shares between threads is safe without the GIL.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "globals", nullptr, 0, no_methods, module_slots,
    nullptr,               nullptr,   nullptr,
};

}  // namespace

}  // namespace qv

QV_MODINIT_FUNC PyInit_globals(void) { return PyModuleDef_Init(&qv::module_def); }
