// Python exceptions carried through C++ code.
//
// Code inside the layer and the modules throws; the functions the interpreter
// calls run their bodies through guard(), which turns what was thrown back
// into a raised Python exception.
#pragma once

#include "ref.hpp"

#include <exception>
#include <new>

namespace zorvik::py {

// A raised Python exception, taken out of the interpreter's error indicator.
class PyError : public std::exception {
public:
    // Takes the pending exception; there must be one.
    static PyError fetch() noexcept;
    // The C++ exception being handled, as a Python one: a PyError as it is,
    // bad_alloc as MemoryError, anything else as SystemError. Only valid
    // inside a catch block; the one place where every exception is caught.
    static PyError current() noexcept;
    explicit PyError(Ref exc) noexcept : exc_(std::move(exc)) {}

    const char* what() const noexcept override { return "Python exception"; }
    Borrowed value() const noexcept { return exc_; }
    bool matches(PyObject* type) const noexcept { return PyErr_GivenExceptionMatches(exc_.get(), type) != 0; }
    // "catches Exception" handlers use this: cancellation and other
    // BaseExceptions are not ordinary failures.
    bool is_exception() const noexcept { return matches(PyExc_Exception); }
    // Puts the exception back into the error indicator.
    void restore() noexcept { PyErr_SetRaisedException(exc_.release()); }
    Ref take() noexcept { return std::move(exc_); }
    // Marks this exception as raised while `original` was being handled, as
    // in a `finally` block: `original` becomes its __context__ unless it has one.
    void set_context(Ref original) noexcept;

private:
    Ref exc_;
};

[[noreturn]] void throw_pending();
[[noreturn]] void raise(PyObject* type, const char* message);
[[noreturn]] void raise_format(PyObject* type, const char* format, ...);

inline void check(int rc) {
    if (rc < 0) throw_pending();
}
inline Ref Ref::steal_or_throw(PyObject* p) {
    if (!p) throw_pending();
    return Ref(p);
}
inline Ref steal_or_throw(PyObject* p) { return Ref::steal_or_throw(p); }

// Runs `body`, dropping an ordinary failure (an Exception); cancellation,
// KeyboardInterrupt, a closing coroutine and the other BaseExceptions pass.
template <class F>
void quietly(F&& body) {
    try {
        body();
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
    }
}

// Runs the body of a function the interpreter calls: whatever it throws
// becomes the raised Python exception, and `failure` is returned.
template <class R, class F>
R guard(R failure, F&& body) noexcept {
    try {
        return body();
    } catch (...) {
        PyError::current().restore();
        return failure;
    }
}

template <class F>
PyObject* guard_object(F&& body) noexcept {
    return guard<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

}  // namespace zorvik::py
