// Owned references to Python objects.
//
// `Ref` owns one strong reference (or none).  It is created explicitly from
// a borrowed pointer (`Ref::borrow`, which adds a reference) or from a new
// reference (`Ref::steal`, which takes it over), releases its reference when
// it goes out of scope, and hands it back out only through `release()`.
// Logic code never calls Py_INCREF/Py_DECREF itself.
#pragma once

#include "support/compat.hpp"

#include <atomic>
#include <utility>

namespace qv {

class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : ptr_(other.ptr_) { other.ptr_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = ptr_;
            ptr_ = other.ptr_;
            other.ptr_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(ptr_); }

    // Takes over a new reference (null allowed: a failed call).
    static Ref steal(PyObject* ptr) noexcept { return Ref(ptr); }
    // Adds a reference to a borrowed pointer (null allowed).
    static Ref borrow(PyObject* ptr) noexcept {
        Py_XINCREF(ptr);
        return Ref(ptr);
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* get() const noexcept { return ptr_; }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    bool is(PyObject* other) const noexcept { return ptr_ == other; }

    // Gives up ownership: the caller owns the returned reference.
    PyObject* release() noexcept {
        PyObject* ptr = ptr_;
        ptr_ = nullptr;
        return ptr;
    }
    // A second owned reference to the same object.
    Ref copy() const noexcept { return borrow(ptr_); }
    void reset() noexcept {
        PyObject* old = ptr_;
        ptr_ = nullptr;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject* ptr) noexcept : ptr_(ptr) {}
    PyObject* ptr_ = nullptr;
};

// A slot for an object that the module keeps while its interpreter lives.
// Readers on other threads may load the pointer at any time and use the
// object without a reference of their own, so a value, once published, is
// never released while the interpreter lives: `exchange` hands the old
// value back for the caller to keep.  The pointer is atomic (plain loads
// and stores on builds with a GIL).
class Slot {
public:
    PyObject* get() const noexcept { return ptr_.load(std::memory_order_acquire); }
    explicit operator bool() const noexcept { return get() != nullptr; }
    // Publishes `value` in one step and returns what the slot held.
    [[nodiscard]] Ref exchange(Ref value) noexcept {
        return Ref::steal(ptr_.exchange(value.release(), std::memory_order_acq_rel));
    }
    // Empties the slot, handing the value over (for a value no other thread
    // can be using).
    Ref take() noexcept { return exchange(Ref()); }
    // Drops the pointer without touching the object: for after the
    // interpreter that owned it has been finalized.
    void forget() noexcept { ptr_.store(nullptr, std::memory_order_release); }

private:
    std::atomic<PyObject*> ptr_{nullptr};
};

// Steps an iterator: true with `item` holding the next item; false at the
// end (no exception set) or when getting the item raised (exception set).
inline bool next_item(PyObject* iterator, Ref& item) {
    item = Ref::steal(PyIter_Next(iterator));
    return static_cast<bool>(item);
}

}  // namespace qv
