// Interned strings and constants, created once by the module's exec step and
// kept while the interpreter that owns the module lives.
#pragma once

#include "support/ref.hpp"

namespace qv {

// (identifier, text).  Every attribute name, keyword, module name and string
// literal the module uses appears here exactly once.
#define QV_NAMES(X)                                                   \
    X(ConfigParser, "ConfigParser")                                   \
    X(ValueError, "ValueError")                                       \
    X(__builtins__, "__builtins__")                                   \
    X(__doc__, "__doc__")                                             \
    X(__file__, "__file__")                                           \
    X(__getattr__, "__getattr__")                                     \
    X(__getattribute__, "__getattribute__")                           \
    X(__init__, "__init__")                                           \
    X(__loader__, "__loader__")                                       \
    X(__module__, "__module__")                                       \
    X(__name__, "__name__")                                           \
    X(__package__, "__package__")                                     \
    X(__path__, "__path__")                                           \
    X(__prepare__, "__prepare__")                                     \
    X(__qualname__, "__qualname__")                                   \
    X(__spec__, "__spec__")                                           \
    X(__test__, "__test__")                                           \
    X(_initializing, "_initializing")                                 \
    X(_uninitialized_submodules, "_uninitialized_submodules")         \
    X(append, "append")                                               \
    X(apply_unidecoding, "apply_unidecoding")                         \
    X(ascii, "ascii")                                                 \
    X(config_global_var, "config_global_var")                         \
    X(config_json, "config_json")                                     \
    X(config_result, "config_result")                                 \
    X(configparser, "configparser")                                   \
    X(decode, "decode")                                               \
    X(defaults_module, ".global_var.global_var")                      \
    X(dot, ".")                                                       \
    X(e, "e")                                                         \
    X(encode, "encode")                                               \
    X(enumerate, "enumerate")                                         \
    X(filename, "filename")                                           \
    X(g, "g")                                                         \
    X(getboolean, "getboolean")                                       \
    X(getfloat, "getfloat")                                           \
    X(getint, "getint")                                               \
    X(i, "i")                                                         \
    X(ignore, "ignore")                                               \
    X(import_module, "import_module")                                 \
    X(importlib, "importlib")                                         \
    X(item, "item")                                                   \
    X(key, "key")                                                     \
    X(loader, "loader")                                               \
    X(map, "map")                                                     \
    X(module, "module")                                               \
    X(module_name, "quorvane.global_var.globals")                     \
    X(name, "name")                                                   \
    X(o, "o")                                                         \
    X(obj, "obj")                                                     \
    X(object, "object")                                               \
    X(options, "options")                                             \
    X(options_decoded, "options_decoded")                             \
    X(origin, "origin")                                               \
    X(package, "package")                                             \
    X(parent, "parent")                                               \
    X(parser, "parser")                                               \
    X(print_exc, "print_exc")                                         \
    X(quorvane, "quorvane")                                           \
    X(read, "read")                                                   \
    X(result, "result")                                               \
    X(section, "section")                                             \
    X(section_name, "section_name")                                   \
    X(sections, "sections")                                           \
    X(self, "self")                                                   \
    X(submodule_search_locations, "submodule_search_locations")       \
    X(traceback, "traceback")                                         \
    X(unidecode, "unidecode")                                         \
    X(upper, "upper")                                                 \
    X(utf_8, "utf-8")                                                 \
    X(variable_name, "variable_name")                                 \
    X(variables, "variables")                                         \
    X(x, "x")

struct Names {
#define QV_DECLARE_NAME(id, text) PyObject* id = nullptr;
    QV_NAMES(QV_DECLARE_NAME)
#undef QV_DECLARE_NAME
};

// Constants other than names.
struct Constants {
    PyObject* empty_tuple = nullptr;
    PyObject* empty_bytes = nullptr;
    PyObject* int_0 = nullptr;
    PyObject* int_1 = nullptr;
    PyObject* kwnames_package = nullptr;   // ("package",)
    PyObject* class_doc = nullptr;
    PyObject* apply_doc = nullptr;
    PyObject* code_filename = nullptr;     // one backslash between components
    PyObject* str_upper = nullptr;         // str.upper, the method descriptor
    // AttributeError's member descriptors `name` and `obj` (3.10 and newer).
    PyObject* attribute_error_name = nullptr;
    PyObject* attribute_error_obj = nullptr;
};

extern Names names;
extern Constants constants;

// Creates the names and constants; later calls find them made and return
// at once.  Returns false with an exception set on failure.
bool init_names();
// Drops them without touching them (for after their interpreter has been
// finalized); init_names() then makes them anew.
void forget_names();

}  // namespace qv
