#include "support/args.hpp"

namespace qv {

namespace {

void raise_count_error(const Signature& sig, Py_ssize_t given) {
    const char* bound;
    Py_ssize_t expected;
    if (given < sig.nrequired) {
        bound = "at least";
        expected = sig.nrequired;
    } else {
        bound = "at most";
        expected = sig.nparams;
    }
    if (sig.nrequired == sig.nparams) {
        bound = "exactly";
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 sig.name, bound, expected, expected == 1 ? "" : "s", given);
}

// 1 when the str `key` names `param`, 0 when not, -1 on error.
int same_name(PyObject* param, PyObject* key) {
    if (param == key) {
        return 1;
    }
    if (PyUnicode_GET_LENGTH(param) != PyUnicode_GET_LENGTH(key)) {
        return 0;
    }
    int cmp = PyUnicode_Compare(param, key);
    if (cmp == -1 && PyErr_Occurred()) {
        return -1;
    }
    return cmp == 0;
}

// Matches every keyword against the parameters that were not given by
// position; the first keyword that fits none of them is an error.
bool bind_remaining_keywords(const Signature& sig, PyObject* kwargs, Py_ssize_t npos,
                             PyObject** borrowed) {
    Py_ssize_t pos = 0;
    PyObject* key;
    PyObject* value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
        int index = -1;
        for (int j = static_cast<int>(npos); j < sig.nparams; ++j) {
            if (sig.param(j) == key) {
                index = j;
                break;
            }
        }
        if (index < 0) {
            if (!PyUnicode_Check(key)) {
                PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
                return false;
            }
            for (int j = static_cast<int>(npos); j < sig.nparams && index < 0; ++j) {
                int same = same_name(sig.param(j), key);
                if (same < 0) {
                    return false;
                }
                if (same) {
                    index = j;
                }
            }
        }
        if (index >= 0) {
            borrowed[index] = value;
            continue;
        }
        for (int j = 0; j < npos; ++j) {
            int same = same_name(sig.param(j), key);
            if (same < 0) {
                return false;
            }
            if (same) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                             sig.name, key);
                return false;
            }
        }
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     key);
        return false;
    }
    return true;
}

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* values) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    PyObject* borrowed[max_params] = {};
    for (int i = 0; i < sig.nparams; ++i) {
        borrowed[i] = values[i].get();
    }
    if (npos > sig.nparams || (kwargs == nullptr && npos < sig.nrequired)) {
        raise_count_error(sig, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        borrowed[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t unmatched = PyDict_GET_SIZE(kwargs);
        for (int i = static_cast<int>(npos); i < sig.nparams; ++i) {
            if (i >= sig.nrequired && unmatched == 0) {
                break;
            }
            PyObject* value = PyDict_GetItemWithError(kwargs, sig.param(i));
            if (value != nullptr) {
                borrowed[i] = value;
                --unmatched;
            } else if (PyErr_Occurred()) {
                return false;
            } else if (i < sig.nrequired) {
                raise_count_error(sig, i);
                return false;
            }
        }
        if (unmatched > 0 && !bind_remaining_keywords(sig, kwargs, npos, borrowed)) {
            return false;
        }
    }
    // Own the arguments: a keyword dict may be the caller's and change while
    // the function runs.
    for (int i = 0; i < sig.nparams; ++i) {
        values[i] = Ref::borrow(borrowed[i]);
    }
    return true;
}

}  // namespace qv
