// Traceback entries and except clauses: the exception being handled.
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

// Makes the code objects of every entry the module adds.  Returns false with
// an exception set on failure; later calls find them made.
bool init_traceback_entries();
// Drops them without touching them (after their interpreter has been
// finalized).
void forget_traceback_entries();

// Adds one entry for `entry` at source line `line` to the exception being
// raised, in a frame whose globals are `globals`.  The exception stays set;
// if the entry cannot be made the exception is left as it was.
void add_traceback(Entry entry, int line, PyObject* globals);

// The exception an except clause is reached with.  The clause matches it
// on the class it was raised with; a clause that matches then takes it over,
// which makes the exception object when it was raised as a class and
// arguments (possible before 3.12), and making it can fail.
class Caught {
public:
    // Takes the exception being raised (there must be one), as raised.
    Caught();
    Caught(const Caught&) = delete;
    Caught& operator=(const Caught&) = delete;

    // Whether the clause `except cls` matches it.
    bool matches(PyObject* cls) const;
    // Raises it again, unchanged (a clause that does not match).
    void reraise();
    // Takes it over for a matching clause: its object, with its traceback.
    // False when making the object failed: that failure is then the
    // exception being raised, and the clause is left with it.
    bool take_over();

private:
    explicit Caught(compat::RaisedException raised);
    friend class Handling;
    Ref type_, value_, traceback_;
};

// While alive, makes a caught exception (taken over, and handed over to it)
// the one being handled (what sys.exc_info() reports and what new
// exceptions chain to); on destruction the previous state comes back.
class Handling {
public:
    explicit Handling(Caught&& caught);
    ~Handling();
    Handling(const Handling&) = delete;
    Handling& operator=(const Handling&) = delete;

private:
    compat::HandledException saved_;
};

}  // namespace qv
