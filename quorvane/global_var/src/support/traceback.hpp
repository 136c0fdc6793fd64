// Traceback entries and the handled-exception state.
#pragma once

#include "support/ref.hpp"

namespace qv {

// The functions whose failures carry a traceback entry of their own.
enum class Entry : int {
    module_init = 0,      // "init quorvane.global_var.globals"
    apply_unidecoding,    // "quorvane.global_var.globals.apply_unidecoding"
    config_init,          // "...config_global_var.__init__"
    config_getattribute,  // "...config_global_var.__getattribute__"
};

// Adds one entry for `entry` at source line `line` to the exception being
// raised, in a frame whose globals are `globals`.  The exception stays set;
// if the entry cannot be made the exception is left as it was.
void add_traceback(Entry entry, int line, PyObject* globals);

// An exception taken over by an except clause: normalised, with its
// traceback attached, and no longer the exception being raised.
class Caught {
public:
    // Takes the exception being raised.  When that fails (normalising it
    // raised), returns false with the new exception set.
    bool take();
    PyObject* value() const noexcept { return value_.get(); }

private:
    friend class Handling;
    Ref type_, value_, traceback_;
};

// While alive, makes a caught exception the one being handled (what
// sys.exc_info() reports and what new exceptions chain to); on destruction
// the previous state comes back.
class Handling {
public:
    explicit Handling(const Caught& caught);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    compat::HandledException saved_;
};

}  // namespace qv
