// apply_unidecoding(object): reduces the text inside a nested value to ASCII.
//
// The function behaves like this Python source (the line numbers are the
// ones its traceback entries carry):
//
//    7  def apply_unidecoding(object):
//   11      try:
//   12          if isinstance(object, str):
//   13              try:
//   14                  return unidecode(object.decode("utf-8"))
//   15              except:
//   16                  try:
//   17                      return unidecode(object.decode("utf-8", "ignore"))
//   18                  except:
//   19                      return unidecode(object.encode("ascii", "ignore").decode("ascii", "ignore"))
//   20          if isinstance(object, dict):
//   22              for key in object:
//   23                  object[key] = apply_unidecoding(object[key])
//   24          if isinstance(object, list):
//   25              for i, o in enumerate(object):
//   26                  object[i] = apply_unidecoding(o)
//   27          if isinstance(object, (float, int)):
//   28              object = str(object)
//   29      except Exception as e:
//   30          traceback.print_exc()
//   31      return object
#include "globals.hpp"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace qv {

namespace {

constexpr Entry entry = Entry::apply_unidecoding;

// ---- nesting bound ------------------------------------------------------

// Nested containers recurse through apply_unidecoding.  Besides the
// interpreter's recursion check, the machine stack taken by one run of
// directly nested calls is bounded, so that a raised recursion limit cannot
// make deep data overflow the stack: past the bound the call fails with
// RecursionError, which the caller's except clause prints like any other
// error.  A call reached through other code (a Python function that calls
// apply_unidecoding, say) starts a run of its own: that code's stack is its
// own business.  The calls of a run hand its base down.
constexpr std::uintptr_t stack_budget = 512 * 1024;

// The stack position (an address, as a number) of the outermost call of a
// run; the stack grows downwards on every supported platform.
using RunBase = std::uintptr_t;
constexpr RunBase new_run = 0;

// Places a call in its run (*base is set when it starts one); false, with
// RecursionError set, past the bound.
bool enter_run(RunBase* base) {
    const char marker = 0;
    const std::uintptr_t here = reinterpret_cast<std::uintptr_t>(&marker);
    if (*base == new_run || *base < here) {
        *base = here;
    } else if (*base - here > stack_budget) {
        PyErr_SetString(PyExc_RecursionError,
                        "maximum recursion depth exceeded while calling a Python object");
        return false;
    }
    return true;
}

Ref call_in_run(PyObject* function, PyObject* arg, RunBase base);

// ---- str -----------------------------------------------------------------

#if QV_PY310
// descriptor.__set__(obj, value) for a member descriptor of a built-in type.
bool set_member(PyObject* descriptor, PyObject* obj, PyObject* value) {
    return Py_TYPE(descriptor)->tp_descr_set(descriptor, obj, value) == 0;
}
#endif

// An exact str has no attribute `decode` (the type's attributes cannot
// change, and a str has no instance dict): reading it raises what the
// interpreter raises, made directly.  Its text is the interpreter's, in a
// new str each time; AttributeError.__init__, called with the message
// alone, sets nothing that __new__ has not set; from 3.10 on the read
// records name and obj on it (set through AttributeError's own member
// descriptors, as a generic attribute assignment would find them).
void raise_str_has_no_decode(PyObject* text) {
    static const char message_text[] = "'str' object has no attribute 'decode'";
    constexpr Py_ssize_t message_length = sizeof message_text - 1;
    Ref message = Ref::steal(PyUnicode_New(message_length, 127));
    Ref args = message ? Ref::steal(PyTuple_New(1)) : Ref();
    if (args) {
        std::memcpy(PyUnicode_1BYTE_DATA(message.get()), message_text, message_length);
        PyTuple_SET_ITEM(args.get(), 0, message.release());
    }
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyExc_AttributeError);
    Ref error = args ? Ref::steal(type->tp_new(type, args.get(), nullptr)) : Ref();
#if QV_PY310
    if (error && (!set_member(constants.attribute_error_name, error.get(), names.decode) ||
                  !set_member(constants.attribute_error_obj, error.get(), text))) {
        error.reset();
    }
#else
    (void)text;
#endif
    if (error) {
        PyErr_SetObject(PyExc_AttributeError, error.get());
    }
}

// text.encode("ascii", "ignore").decode("ascii", "ignore") for an exact str,
// without the bytes in between: its ASCII characters, in order, made into
// a str as bytes.decode("ascii", ...) makes one.  (The encode with
// "ignore" drops every other character, and the methods of str and bytes
// cannot change.)
Ref ascii_characters(PyObject* text) {
    if (!compat::unicode_ready(text)) {
        return Ref();
    }
    const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
    if (PyUnicode_IS_ASCII(text)) {
        return Ref::steal(PyUnicode_DecodeASCII(static_cast<const char*>(PyUnicode_DATA(text)),
                                                length, "ignore"));
    }
    const int kind = PyUnicode_KIND(text);
    const void* data = PyUnicode_DATA(text);
    std::string kept;
    kept.reserve(static_cast<std::size_t>(length));
    for (Py_ssize_t i = 0; i < length; ++i) {
        const Py_UCS4 character = PyUnicode_READ(kind, data, i);
        if (character < 128) {
            kept.push_back(static_cast<char>(character));
        }
    }
    return Ref::steal(
        PyUnicode_DecodeASCII(kept.data(), static_cast<Py_ssize_t>(kept.size()), "ignore"));
}

// One attempt: read the global unidecode, then prepare the text, then call.
Ref attempt(int number, PyObject* globals, PyObject* text) {
    Ref unidecode = read_global(globals, names.unidecode);
    if (!unidecode) {
        return Ref();
    }
    const bool plain = PyUnicode_CheckExact(text);
    Ref prepared;
    if (number < 3 && plain) {
        raise_str_has_no_decode(text);
        return Ref();
    }
    if (number < 3) {
        PyObject* args[3] = {text, names.utf_8, names.ignore};
        prepared = Ref::steal(compat::call_method(names.decode, args, number == 1 ? 2 : 3));
    } else if (plain) {
        prepared = ascii_characters(text);
    } else {
        PyObject* encode_args[3] = {text, names.ascii, names.ignore};
        Ref encoded = Ref::steal(compat::call_method(names.encode, encode_args, 3));
        if (!encoded) {
            return Ref();
        }
        PyObject* decode_args[3] = {encoded.get(), names.ascii, names.ignore};
        prepared = Ref::steal(compat::call_method(names.decode, decode_args, 3));
    }
    if (!prepared) {
        return Ref();
    }
    return call1(unidecode.get(), prepared.get());
}

// The three attempts, each run while the previous one's exception is the
// one being handled.  Returns null with the last exception set.
Ref transliterate(PyObject* globals, PyObject* text) {
    Ref result = attempt(1, globals, text);
    if (result) {
        return result;
    }
    add_traceback(entry, 14, globals);
    Caught first;  // a bare except: every exception matches
    if (!first.take_over()) {
        add_traceback(entry, 15, globals);
        return Ref();
    }
    Handling handling_first(std::move(first));
    result = attempt(2, globals, text);
    if (result) {
        return result;
    }
    add_traceback(entry, 17, globals);
    Caught second;
    if (!second.take_over()) {
        add_traceback(entry, 18, globals);
        return Ref();
    }
    Handling handling_second(std::move(second));
    result = attempt(3, globals, text);
    if (!result) {
        add_traceback(entry, 19, globals);
    }
    return result;
}

// ---- containers ----------------------------------------------------------

bool update_dict(PyObject* globals, PyObject* object, RunBase base) {
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        add_traceback(entry, 22, globals);
        return false;
    }
    Ref key;
    while (next_item(iterator.get(), key)) {
        Ref function = read_global(globals, names.apply_unidecoding);
        Ref value = function ? Ref::steal(PyObject_GetItem(object, key.get())) : Ref();
        Ref result = value ? call_in_run(function.get(), value.get(), base) : Ref();
        if (!result || PyObject_SetItem(object, key.get(), result.get()) < 0) {
            add_traceback(entry, 23, globals);
            return false;
        }
    }
    if (PyErr_Occurred()) {
        add_traceback(entry, 22, globals);
        return false;
    }
    return true;
}

bool update_list(PyObject* globals, PyObject* object, RunBase base) {
    Ref iterator = Ref::steal(PyObject_GetIter(object));
    if (!iterator) {
        add_traceback(entry, 25, globals);
        return false;
    }
    // The enumerate counter; its int object is made only where an item
    // assignment other than a plain list's needs it.
    Py_ssize_t counter = 0;
    Ref item;
    while (next_item(iterator.get(), item)) {
        const Py_ssize_t index = counter++;
        Ref function = read_global(globals, names.apply_unidecoding);
        Ref result = function ? call_in_run(function.get(), item.get(), base) : Ref();
        bool stored = false;
        if (result) {
            if (PyList_CheckExact(object)) {
                stored = PyList_SetItem(object, index, result.release()) == 0;
            } else {
                Ref index_object = Ref::steal(PyLong_FromSsize_t(index));
                stored = index_object &&
                         PyObject_SetItem(object, index_object.get(), result.get()) == 0;
            }
        }
        if (!stored) {
            add_traceback(entry, 26, globals);
            return false;
        }
    }
    if (PyErr_Occurred()) {
        add_traceback(entry, 25, globals);
        return false;
    }
    return true;
}

// ---- the function --------------------------------------------------------

// The except clause's body: traceback.print_exc().
bool print_exception(PyObject* globals) {
    Ref module = read_global(globals, names.traceback);
    Ref print_exc = module ? Ref::steal(PyObject_GetAttr(module.get(), names.print_exc)) : Ref();
    Ref printed = print_exc ? call0(print_exc.get()) : Ref();
    return static_cast<bool>(printed);
}

// The try block: null with the exception set when a statement of it failed.
Ref apply_try_block(PyObject* globals, Ref& object, RunBase base) {
    PyObject* obj = object.get();
    if (PyUnicode_Check(obj)) {
        return transliterate(globals, obj);
    }
    if (PyDict_Check(obj) && !update_dict(globals, obj, base)) {
        return Ref();
    }
    if (PyList_Check(obj) && !update_list(globals, obj, base)) {
        return Ref();
    }
    if (PyFloat_Check(obj) || PyLong_Check(obj)) {
        Ref text = Ref::steal(PyObject_Str(obj));
        if (!text) {
            add_traceback(entry, 28, globals);
            return Ref();
        }
        object = std::move(text);
    }
    return object.copy();
}

Ref apply(PyObject* globals, Ref object, RunBase base) {
    if (!enter_run(&base)) {
        return Ref();
    }
    Ref result = apply_try_block(globals, object, base);
    if (result) {
        return result;
    }
    // except Exception as e: traceback.print_exc()
    Caught caught;
    if (!caught.matches(PyExc_Exception)) {
        caught.reraise();
        return Ref();
    }
    if (!caught.take_over()) {
        add_traceback(entry, 29, globals);
        return Ref();
    }
    {
        Handling handling(std::move(caught));
        if (!print_exception(globals)) {
            add_traceback(entry, 30, globals);
            return Ref();
        }
    }
    return object;
}

PyObject* apply_body(PyObject* function, PyObject* const* args) {
    return apply(function_globals(function), Ref::borrow(args[0]), new_run).release();
}

PyObject* Names::*const apply_params[] = {&Names::object};

}  // namespace

const FunctionDef apply_unidecoding_def = {
    {"apply_unidecoding", 1, 1, apply_params}, entry, 7, apply_body};

namespace {

// Calls apply_unidecoding through `function`: directly, in the run of `base`,
// when it is this module's own function (what the call protocol would add
// around it is the recursion check), else through the call protocol.
Ref call_in_run(PyObject* function, PyObject* arg, RunBase base) {
    if (function_def(function) != &apply_unidecoding_def) {
        return call1(function, arg);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) {
        return Ref();
    }
    Ref result = apply(function_globals(function), Ref::borrow(arg), base);
    Py_LeaveRecursiveCall();
    return result;
}

}  // namespace

Ref call_apply_unidecoding(PyObject* function, PyObject* arg) {
    return call_in_run(function, arg, new_run);
}

}  // namespace qv
