// Owned and borrowed references to Python objects. Every strong reference the
// binding layer holds lives in an OwnedRef, so that each path out of a function,
// error paths included, releases exactly what it owns.
#pragma once

#include "py/compat.hpp"

#include <utility>

namespace korvane::py {

class OwnedRef {
public:
    OwnedRef() noexcept = default;
    // Takes over a new reference (may be null, as returned by a failing C API call).
    static OwnedRef steal(PyObject* o) noexcept { return OwnedRef(o); }
    // Adds a reference to a borrowed object.
    static OwnedRef borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return OwnedRef(o);
    }

    OwnedRef(const OwnedRef&) = delete;
    OwnedRef& operator=(const OwnedRef&) = delete;
    OwnedRef(OwnedRef&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    OwnedRef& operator=(OwnedRef&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    ~OwnedRef() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller (for returning to the interpreter or
    // for APIs that steal, such as PyList_SET_ITEM).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

private:
    explicit OwnedRef(PyObject* o) noexcept : p_(o) {}
    PyObject* p_ = nullptr;
};

// A reference owned by someone else, valid for the duration of a call.
class BorrowedRef {
public:
    explicit BorrowedRef(PyObject* o) noexcept : p_(o) {}
    PyObject* get() const noexcept { return p_; }

private:
    PyObject* p_;
};

}  // namespace korvane::py
