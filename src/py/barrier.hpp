// The exception barrier between the C++ core and the interpreter. The core
// reports failures as BufrError values, but the standard library can still
// throw: std::bad_alloc whenever memory runs out, std::length_error and the
// like on a broken invariant. An exception that unwound into CPython's C
// frames would terminate the process, so every function the interpreter
// calls (module functions, methods, getters, type slots) runs its work inside
// this barrier, which turns
//   std::bad_alloc (and std::bad_array_new_length)  -> MemoryError
//   any other std::exception                        -> SystemError with its what()
//   anything else thrown                            -> SystemError
// and returns the failure value of the function's return type (null for an
// object, -1 for an int, a Py_ssize_t or a hash).
//
// Two forms:
//   guarded([&] { ...; return result; })     runs a callable inside the barrier;
//   barrier<fn>                              a function pointer of fn's own type
//                                            whose body is fn inside the barrier,
//                                            for method tables, getters and slots:
//     {"name", barrier<get_name>, nullptr, nullptr, nullptr}                // PyGetSetDef
//     {Py_tp_repr, reinterpret_cast<void*>(barrier<value_repr>)}            // PyType_Slot
//     {"f", KORVANE_PY_FUNCTION(f), METH_VARARGS | METH_KEYWORDS, doc}      // PyMethodDef
//
// ReleasedGil lets other Python threads run while the core works on inputs
// it owns (a file read into a private buffer, say). It is a scope guard, so
// an exception thrown inside the scope takes the lock back while unwinding,
// before the barrier sets the Python exception.
#pragma once

#include "py/pyref.hpp"

#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace korvane::py {

// Sets the Python exception for the C++ exception being handled. Call only
// from inside a catch block, with the interpreter lock held.
inline void raise_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_Format(PyExc_SystemError, "internal error in korvane: %s", e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "internal error in korvane: unknown C++ exception");
    }
}

// Runs fn() and returns its result; when fn throws, sets the matching Python
// exception and returns the failure value of fn's return type.
template <typename Fn>
auto guarded(Fn&& fn) noexcept -> std::invoke_result_t<Fn&> {
    using R = std::invoke_result_t<Fn&>;
    static_assert(std::is_pointer_v<R> || std::is_integral_v<R>,
                  "the barrier returns null or -1 on failure: wrap functions returning a pointer or an integer");
    try {
        return fn();
    } catch (...) {
        raise_current_exception();
    }
    if constexpr (std::is_pointer_v<R>)
        return nullptr;
    else
        return static_cast<R>(-1);
}

template <auto Fn>
struct Barrier;

template <typename R, typename... Args, R (*Fn)(Args...)>
struct Barrier<Fn> {
    static R call(Args... args) noexcept {
        return guarded([&]() -> R { return Fn(std::forward<Args>(args)...); });
    }
};

// `fn` inside the barrier, as a function pointer of the same type.
template <auto Fn>
inline constexpr auto barrier = &Barrier<Fn>::call;

// Releases the interpreter lock for the life of the object. Nothing inside the
// scope may touch a Python object.
class ReleasedGil {
public:
    ReleasedGil() noexcept : state_(PyEval_SaveThread()) {}
    ~ReleasedGil() { PyEval_RestoreThread(state_); }
    ReleasedGil(const ReleasedGil&) = delete;
    ReleasedGil& operator=(const ReleasedGil&) = delete;

    // For long work inside the scope: takes the lock back for a moment to run
    // the signal handlers (Ctrl-C), and returns true when one raised; the
    // exception is then set, and interrupted() stays true.
    bool poll_signals() noexcept {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() < 0;
        state_ = PyEval_SaveThread();
        interrupted_ = interrupted_ || raised;
        return raised;
    }
    static bool poll(void* self) noexcept { return static_cast<ReleasedGil*>(self)->poll_signals(); }
    bool interrupted() const noexcept { return interrupted_; }

private:
    PyThreadState* state_;
    bool interrupted_ = false;
};

}  // namespace korvane::py

// A METH_VARARGS | METH_KEYWORDS function inside the barrier, cast for a PyMethodDef.
#define KORVANE_PY_FUNCTION(fn) \
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(::korvane::py::barrier<fn>))
