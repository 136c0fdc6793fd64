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
    if (!compat::unicode_ready(key)) {
        return -1;
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

// What is wrong with the keywords of a call, first offender first.
enum class KeywordProblem { none, not_str, given_twice, unexpected };

}  // namespace

bool bind_arguments(const Signature& sig, PyObject* args, PyObject* kwargs, Ref* values) {
    const Py_ssize_t npos = PyTuple_GET_SIZE(args);
    if (npos > sig.nparams || (kwargs == nullptr && npos < sig.nrequired)) {
        raise_count_error(sig, npos);
        return false;
    }
    for (Py_ssize_t i = 0; i < npos; ++i) {
        values[i] = Ref::borrow(PyTuple_GET_ITEM(args, i));
    }
    if (kwargs == nullptr) {
        return true;
    }

    // Keywords name parameters by their text: the dict's items are taken
    // (in one step, which another thread cannot interleave with), never
    // searched, so no key's __eq__ or __hash__ runs (a key that is not a
    // str names nothing).
    Ref items = Ref::steal(PyDict_Items(kwargs));
    if (!items) {
        return false;
    }
    Ref found[max_params];
    KeywordProblem problem = KeywordProblem::none;
    Ref culprit;
    for (Py_ssize_t n = 0; n < PyList_GET_SIZE(items.get()); ++n) {
        PyObject* item = PyList_GET_ITEM(items.get(), n);
        Ref key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        Ref value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        KeywordProblem this_problem = KeywordProblem::none;
        if (!PyUnicode_Check(key.get())) {
            this_problem = KeywordProblem::not_str;
        } else {
            int index = -1;
            for (int j = 0; j < sig.nparams && index < 0; ++j) {
                int same = same_name(sig.param(j), key.get());
                if (same < 0) {
                    return false;
                }
                if (same) {
                    index = j;
                }
            }
            if (index < 0) {
                this_problem = KeywordProblem::unexpected;
            } else if (index < npos) {
                this_problem = KeywordProblem::given_twice;
            } else {
                found[index] = std::move(value);
            }
        }
        if (problem == KeywordProblem::none && this_problem != KeywordProblem::none) {
            problem = this_problem;
            culprit = std::move(key);
        }
    }

    // Missing arguments are reported before anything wrong with keywords.
    for (int i = static_cast<int>(npos); i < sig.nrequired; ++i) {
        if (!found[i]) {
            raise_count_error(sig, i);
            return false;
        }
    }
    switch (problem) {
    case KeywordProblem::not_str:
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
        return false;
    case KeywordProblem::given_twice:
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                     sig.name, culprit.get());
        return false;
    case KeywordProblem::unexpected:
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name,
                     culprit.get());
        return false;
    case KeywordProblem::none:
        break;
    }
    for (int i = static_cast<int>(npos); i < sig.nparams; ++i) {
        if (found[i]) {
            values[i] = std::move(found[i]);
        }
    }
    return true;
}

}  // namespace qv
