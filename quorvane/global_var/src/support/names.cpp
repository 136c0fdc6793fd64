#include "support/names.hpp"

namespace qv {

Names names;
Constants constants;

namespace {

const char class_doc_text[] =
    "\n"
    "        This class sets the context to global variables used by globals.py\n"
    "        If the context is set by the filename, then variables\n"
    "        given in that file will be given priority\n"
    "        then the globals.py\n"
    "    ";

const char apply_doc_text[] = "\n    Recursively unidecode all unicode types\n    ";

bool intern(PyObject** slot, const char* text) {
    if (*slot == nullptr) {
        *slot = PyUnicode_InternFromString(text);
    }
    return *slot != nullptr;
}

}  // namespace

bool init_names() {
#define QV_INTERN_NAME(id, text) \
    if (!intern(&names.id, text)) return false;
    QV_NAMES(QV_INTERN_NAME)
#undef QV_INTERN_NAME

    Constants& c = constants;
    if (c.empty_tuple == nullptr && (c.empty_tuple = PyTuple_New(0)) == nullptr) return false;
    if (c.empty_bytes == nullptr &&
        (c.empty_bytes = PyBytes_FromStringAndSize(nullptr, 0)) == nullptr)
        return false;
    if (c.int_0 == nullptr && (c.int_0 = PyLong_FromLong(0)) == nullptr) return false;
    if (c.int_1 == nullptr && (c.int_1 = PyLong_FromLong(1)) == nullptr) return false;
    if (c.kwnames_package == nullptr &&
        (c.kwnames_package = PyTuple_Pack(1, names.package)) == nullptr)
        return false;
    if (!intern(&c.class_doc, class_doc_text)) return false;
    if (!intern(&c.apply_doc, apply_doc_text)) return false;
    if (!intern(&c.code_filename, "quorvane\\global_var\\globals.py")) return false;
    if (c.str_upper == nullptr &&
        (c.str_upper = PyObject_GetAttr(reinterpret_cast<PyObject*>(&PyUnicode_Type),
                                        names.upper)) == nullptr)
        return false;
#if QV_PY310
    PyTypeObject* attribute_error = reinterpret_cast<PyTypeObject*>(PyExc_AttributeError);
    PyObject** members[] = {&c.attribute_error_name, &c.attribute_error_obj};
    PyObject* member_names[] = {names.name, names.obj};
    for (int i = 0; i < 2; ++i) {
        if (*members[i] == nullptr) {
            PyObject* member = compat::type_lookup(attribute_error, member_names[i]);
            if (member == nullptr || Py_TYPE(member)->tp_descr_set == nullptr) {
                Py_XDECREF(member);
                PyErr_Format(PyExc_ImportError, "AttributeError has no member %R",
                             member_names[i]);
                return false;
            }
            *members[i] = member;
        }
    }
#endif
    return true;
}

void forget_names() {
    names = Names();
    constants = Constants();
}

}  // namespace qv
