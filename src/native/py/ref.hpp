// Owning and borrowed references to Python objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

namespace zorvik::py {

class Ref;

// A non-owning view of an object someone else keeps alive.
class Borrowed {
public:
    constexpr Borrowed() noexcept = default;
    constexpr Borrowed(PyObject* p) noexcept : p_(p) {}
    inline Borrowed(const Ref& r) noexcept;

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Borrowed o) const noexcept { return p_ == o.p_; }
    bool is_none() const noexcept { return p_ == Py_None; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

private:
    PyObject* p_ = nullptr;
};

// An owned reference: copying increments, moving steals, destruction releases.
class Ref {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref& o) noexcept : p_(o.p_) { Py_XINCREF(p_); }
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ~Ref() { Py_XDECREF(p_); }

    Ref& operator=(const Ref& o) noexcept {
        Ref tmp(o);
        swap(tmp);
        return *this;
    }
    Ref& operator=(Ref&& o) noexcept {
        Ref tmp(std::move(o));
        swap(tmp);
        return *this;
    }

    static Ref steal(PyObject* p) noexcept { return Ref(p); }
    static Ref borrow(Borrowed b) noexcept {
        Py_XINCREF(b.get());
        return Ref(b.get());
    }
    // Takes a new reference returned by the C API; a null one means a Python
    // error is pending, which is thrown (defined in error.hpp).
    static Ref steal_or_throw(PyObject* p);

    PyObject* get() const noexcept { return p_; }
    PyObject* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool is(Borrowed o) const noexcept { return p_ == o.get(); }
    bool is_none() const noexcept { return p_ == Py_None; }
    Borrowed borrowed() const noexcept { return p_; }
    PyTypeObject* type() const noexcept { return Py_TYPE(p_); }

    // Hands the reference over to the caller (usually the interpreter).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept { Ref().swap(*this); }
    void swap(Ref& o) noexcept { std::swap(p_, o.p_); }

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

inline Borrowed::Borrowed(const Ref& r) noexcept : p_(r.get()) {}

inline Ref steal(PyObject* p) noexcept { return Ref::steal(p); }
inline Ref borrow(Borrowed b) noexcept { return Ref::borrow(b); }
inline Ref none() noexcept { return Ref::borrow(Py_None); }
inline Ref boolean(bool b) noexcept { return Ref::borrow(b ? Py_True : Py_False); }

// Process-wide storage whose content is never destroyed: what a module keeps
// here stays valid until the process ends, past the interpreter's
// finalisation, when releasing references would no longer be safe.
template <class T>
class Static {
public:
    Static() noexcept = default;
    Static(const Static&) = delete;
    Static& operator=(const Static&) = delete;

    template <class... A>
    T& emplace(A&&... args) {
        if (ptr_) ptr_->~T();
        ptr_ = nullptr;
        ptr_ = new (buf_) T(std::forward<A>(args)...);
        return *ptr_;
    }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }
    T& operator*() const noexcept { return *ptr_; }
    T* operator->() const noexcept { return ptr_; }

private:
    alignas(T) unsigned char buf_[sizeof(T)];
    T* ptr_ = nullptr;
};

}  // namespace zorvik::py
