#include "support/compat.hpp"

#include "support/names.hpp"
#include "support/ref.hpp"

#include <cstdlib>

namespace qv {
namespace compat {

void runtime_version(int* major, int* minor) {
#if QV_PY311
    *major = static_cast<int>((Py_Version >> 24) & 0xFF);
    *minor = static_cast<int>((Py_Version >> 16) & 0xFF);
#else
    // The leading "major.minor" of the version text.
    const char* text = Py_GetVersion();
    char* end = nullptr;
    *major = static_cast<int>(std::strtol(text, &end, 10));
    *minor = (end != nullptr && *end == '.') ? static_cast<int>(std::strtol(end + 1, nullptr, 10))
                                             : 0;
#endif
}

PyObject* new_code(int argcount, PyObject* varnames, PyObject* filename, PyObject* name,
                   int firstlineno) {
    const int nlocals = static_cast<int>(PyTuple_GET_SIZE(varnames));
    const int flags = CO_OPTIMIZED | CO_NEWLOCALS;
    PyObject* code = constants.empty_bytes;
    PyObject* empty = constants.empty_tuple;
#if QV_PY312
    return reinterpret_cast<PyObject*>(PyUnstable_Code_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames, empty, empty, filename,
        name, name, firstlineno, code, code));
#elif QV_PY311
    return reinterpret_cast<PyObject*>(PyCode_NewWithPosOnlyArgs(
        argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames, empty, empty, filename,
        name, name, firstlineno, code, code));
#else
#if QV_PY38
    PyCodeObject* made =
        PyCode_NewWithPosOnlyArgs(argcount, 0, 0, nlocals, 0, flags, code, empty, empty, varnames,
                                  empty, empty, filename, name, firstlineno, code);
#else
    PyCodeObject* made = PyCode_New(argcount, 0, nlocals, 0, flags, code, empty, empty, varnames,
                                    empty, empty, filename, name, firstlineno, code);
#endif
    // These versions add CO_NOFREE to code without free or cell variables;
    // the objects report exactly the two flags they were made with.
    if (made != nullptr) {
        made->co_flags = flags;
    }
    return reinterpret_cast<PyObject*>(made);
#endif
}

#if QV_PY312 && QV_DICT_VERSIONS
namespace {

// The version of a dict: a number that no other state of any dict of the
// interpreter has, taken anew by every change.
std::uint64_t dict_version(PyObject* dict) {
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#elif defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4996)
#endif
    return reinterpret_cast<PyDictObject*>(dict)->ma_version_tag;
#if defined(__GNUC__) || defined(__clang__)
#pragma GCC diagnostic pop
#elif defined(_MSC_VER)
#pragma warning(pop)
#endif
}

// Whether looking a str up in the dict (at `version`) can run no code:
// every key is an exact str, compared by its text.  The keys are walked
// once per state of a dict; the answer for the last state asked about is
// kept.
struct KeysVerdict {
    PyObject* dict = nullptr;  // compared only, like MissingName::dict below
    std::uint64_t version = 0;
    bool exact_strs = false;
};
KeysVerdict keys_verdict;

bool keys_are_exact_strs(PyObject* dict, std::uint64_t version) {
    if (keys_verdict.dict == dict && keys_verdict.version == version) {
        return keys_verdict.exact_strs;
    }
    bool exact_strs = true;
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (exact_strs && PyDict_Next(dict, &pos, &key, &value)) {
        exact_strs = PyUnicode_CheckExact(key);
    }
    keys_verdict = {dict, version, exact_strs};
    return exact_strs;
}

// Names that plain modules were found to lack, each with the module's dict
// and the dict's version at the time.  From 3.12 on the module type answers
// a missing name (for a three-argument getattr) with lookups in its dict
// alone: of the name and of __getattr__ (3.12 also looks up __name__ and
// __spec__, and uses neither).  Where
// the dict's keys are all exact strs, none of those lookups can run code,
// so while the dict keeps its version the answer is the same and nothing
// observable happens on the way to it.
//
// The dict is not kept alive (that would keep the module's values alive):
// its address is only compared, together with the version, which no later
// dict, even one at the same address, can have again.
struct MissingName {
    PyObject* dict = nullptr;
    Slot name;
    std::uint64_t version = 0;
};
constexpr std::size_t missing_name_slots = 64;
MissingName missing_names[missing_name_slots];

void remember_missing(MissingName& entry, PyObject* dict, PyObject* name,
                      std::uint64_t version) {
    entry.name.set(Ref::borrow(name));  // (releasing a str runs no code)
    entry.dict = dict;
    entry.version = version;
}

int module_getattr_optional(PyObject* module, PyObject* name, PyObject** result) {
    PyObject* dict = PyModule_GetDict(module);
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject*>(name)->hash;
    if (dict == nullptr || hash == -1) {
        return lookup_attr(module, name, result);
    }
    MissingName& entry = missing_names[static_cast<std::size_t>(hash) % missing_name_slots];
    const std::uint64_t version = dict_version(dict);
    if (entry.name.get() == name && entry.dict == dict && entry.version == version &&
        version != 0) {
        *result = nullptr;
        return 0;
    }
    const int found = lookup_attr(module, name, result);
    if (found == 0 && version != 0 && dict_version(dict) == version &&
        keys_are_exact_strs(dict, version) &&
        PyDict_GetItemWithError(dict, names.__getattr__) == nullptr &&
        !PyErr_Occurred()) {
        remember_missing(entry, dict, name, version);
    }
    return found;
}

}  // namespace
#endif

#if !QV_PY312
namespace {

// A dict entry, with a lookup error counted as an entry that is there (and
// cleared): the callers then take the general path, which meets it again.
PyObject* entry_or_error(PyObject* dict, PyObject* key, bool* failed) {
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr && PyErr_Occurred()) {
        PyErr_Clear();
        *failed = true;
    }
    return value;
}

// Before 3.12 the module type words the AttributeError for a missing name
// with the help of its spec (__spec__._initializing, and on some versions
// __spec__._uninitialized_submodules); Python code can observe those reads
// only through a spec whose attributes are not plain data.  True when they
// can run no code: no spec, or one whose class defines neither attribute
// and whose instance holds at most a bool and a list of strs under them.
bool missing_name_reads_are_inert(PyObject* dict) {
    bool failed = false;
    PyObject* module_name = entry_or_error(dict, names.__name__, &failed);
    if (failed) {
        return false;
    }
    if (module_name == nullptr || !PyUnicode_Check(module_name)) {
        return true;
    }
    PyObject* spec = entry_or_error(dict, names.__spec__, &failed);
    if (failed) {
        return false;
    }
    if (spec == nullptr || spec == Py_None) {
        return true;
    }
    PyTypeObject* type = Py_TYPE(spec);
    if (type->tp_getattro != PyObject_GenericGetAttr ||
        _PyType_Lookup(type, names._initializing) != nullptr ||
        _PyType_Lookup(type, names._uninitialized_submodules) != nullptr) {
        return false;
    }
    PyObject** slot = _PyObject_GetDictPtr(spec);
    if (slot == nullptr || *slot == nullptr) {
        return true;
    }
    PyObject* flag = entry_or_error(*slot, names._initializing, &failed);
    PyObject* pending = entry_or_error(*slot, names._uninitialized_submodules, &failed);
    if (failed || (flag != nullptr && !PyBool_Check(flag))) {
        return false;
    }
    if (pending != nullptr) {
        if (!PyList_CheckExact(pending)) {
            return false;
        }
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(pending); ++i) {
            if (!PyUnicode_CheckExact(PyList_GET_ITEM(pending, i))) {
                return false;
            }
        }
    }
    return true;
}

// A module's dict entry as the module type's own lookup reads it: with
// lookup errors swallowed before 3.10.
PyObject* module_dict_entry(PyObject* dict, PyObject* key) {
#if PY_VERSION_HEX < 0x030A0000
    return PyDict_GetItem(dict, key);
#else
    return PyDict_GetItemWithError(dict, key);
#endif
}

}  // namespace
#endif

int getattr_optional(PyObject* obj, PyObject* name, PyObject** result) {
#if !QV_PY312
    // Plain modules only: their type's own attributes are C-level and fixed,
    // so the generic part of the lookup runs no Python code and can be
    // repeated by the general path below when that must run.
    if (PyModule_CheckExact(obj) && PyUnicode_Check(name)) {
        *result = generic_getattr_or_null(obj, name);
        if (*result != nullptr) {
            return 1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        PyObject* dict = PyModule_GetDict(obj);
        if (dict == nullptr) {
            // A module made by ModuleType.__new__ alone has no dict at all.
            PyErr_Clear();
            return 0;
        }
        PyObject* hook = module_dict_entry(dict, names.__getattr__);
        if (hook != nullptr) {
            Py_INCREF(hook);
            PyObject* args[2] = {nullptr, name};
            *result = vectorcall(hook, args + 1, 1 | args_offset);
            Py_DECREF(hook);
            if (*result != nullptr) {
                return 1;
            }
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                return 0;
            }
            return -1;
        }
        if (PyErr_Occurred()) {
            return -1;
        }
        if (missing_name_reads_are_inert(dict)) {
            return 0;
        }
    }
#endif
#if QV_PY312 && QV_DICT_VERSIONS
    if (PyModule_CheckExact(obj) && PyUnicode_CheckExact(name)) {
        return module_getattr_optional(obj, name, result);
    }
#endif
    return lookup_attr(obj, name, result);
}

}  // namespace compat
}  // namespace qv
