// C++20 coroutines that await Python awaitables.
//
// A Task is lazy: its body starts when it is first resumed, by the native
// coroutine object that owns it (coroutine.hpp) or by another Task awaiting
// it. Inside a body, `co_await obj` on a Python awaitable behaves like
// `await obj` in Python: the awaitable's __await__ iterator is driven by the
// owning native coroutine, whatever it yields passes out to the event loop,
// values and exceptions sent in pass to the iterator, and the frame resumes
// with the iterator's return value or with its exception thrown as PyError.
//
// What a frame keeps across an await is a `Held`: the collector reaches it
// through the native coroutine, as it reaches the locals of a suspended
// Python coroutine, so a reference cycle through a suspended native
// coroutine is collected like one through a Python coroutine.
#pragma once

#include "error.hpp"

#include <coroutine>
#include <stdexcept>
#include <utility>
#include <variant>

namespace zorvik::py {

class PyAwait;
class Held;

// Shared by every frame of one native coroutine: the awaiter waiting on a
// Python iterator, what that iterator yielded last, and the references the
// frames hold across their awaits.
struct Driver {
    PyAwait* current = nullptr;
    Ref yielded;
    Held* held = nullptr;

    // Visits every object the suspended frames keep alive.
    int traverse(visitproc visit, void* arg) const;

    // The driver whose frames this thread is running now, if any: a thread
    // resumes one native coroutine at a time, and one may resume another inside.
    static Driver* running() noexcept;
    class Running {
    public:
        explicit Running(Driver* d) noexcept;
        ~Running();
        Running(const Running&) = delete;
        Running& operator=(const Running&) = delete;

    private:
        Driver* saved_;
    };
};

// An owned reference that a coroutine frame keeps across its awaits,
// registered with the native coroutine running the frame. Declare locals
// that live through a `co_await` as Held; parameters of task functions are
// Borrowed from such locals.
class Held {
public:
    Held(Ref value = {}) noexcept;  // NOLINT(google-explicit-constructor): `Held x = co_await ...;`
    ~Held();
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    Held& operator=(Ref value) noexcept {
        ref_ = std::move(value);
        return *this;
    }

    PyObject* get() const noexcept { return ref_.get(); }
    operator Borrowed() const noexcept { return ref_.get(); }
    explicit operator bool() const noexcept { return bool(ref_); }
    bool is(Borrowed o) const noexcept { return ref_.is(o); }
    bool is_none() const noexcept { return ref_.is_none(); }
    const Ref& ref() const noexcept { return ref_; }
    Ref take() noexcept { return std::move(ref_); }

private:
    friend struct Driver;
    Ref ref_;
    Driver* driver_;
    Held* prev_ = nullptr;
    Held* next_ = nullptr;
};

// Runs `co_await obj` for a Python awaitable.
class PyAwait {
public:
    PyAwait(Ref awaitable, Driver* driver) noexcept : awaitable_(std::move(awaitable)), driver_(driver) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept;
    Ref await_resume();

    // Used by the owning native coroutine while the frame is suspended here.
    Borrowed awaitable() const noexcept { return awaitable_; }
    Borrowed iterator() const noexcept { return iter_; }
    std::coroutine_handle<> waiter() const noexcept { return waiter_; }
    void deliver(Ref value) noexcept { outcome_.emplace<Ref>(std::move(value)); }
    void fail(PyError error) noexcept { outcome_.emplace<PyError>(std::move(error)); }

private:
    Ref awaitable_;
    Driver* driver_;
    Ref iter_;
    std::variant<std::monostate, Ref, PyError> outcome_;
    std::coroutine_handle<> waiter_;
};

template <class T>
class Task;

// How a frame ended: not yet, with a value, or with an exception (every
// C++ exception leaving a body is turned into a PyError there).
template <class T>
class Outcome {
public:
    bool finished() const noexcept { return !std::holds_alternative<std::monostate>(state_); }
    PyError* error() noexcept { return std::get_if<PyError>(&state_); }
    void set_value(T value) noexcept { state_.template emplace<1>(std::move(value)); }
    void set_error(PyError error) noexcept { state_.template emplace<2>(std::move(error)); }
    // The value, or the exception thrown; reading an unfinished frame's
    // outcome is a bug, reported as SystemError.
    T take() {
        if (auto* e = std::get_if<PyError>(&state_)) throw std::move(*e);
        if (state_.index() != 1) throw std::logic_error("outcome of an unfinished native task read");
        return std::move(std::get<1>(state_));
    }

private:
    std::variant<std::monostate, T, PyError> state_;
};

struct Nothing {};

struct PromiseBase {
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;

    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
        bool await_ready() noexcept { return false; }
        template <class P>
        std::coroutine_handle<> await_suspend(std::coroutine_handle<P> h) noexcept {
            auto next = h.promise().continuation;
            return next ? next : std::noop_coroutine();
        }
        void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }

    PyAwait await_transform(Ref awaitable) noexcept { return PyAwait(std::move(awaitable), driver); }
    PyAwait await_transform(const Held& awaitable) noexcept { return PyAwait(awaitable.ref(), driver); }
    template <class U>
    auto await_transform(Task<U>&& task) noexcept;
};

template <class T>
struct Promise : PromiseBase {
    Outcome<T> outcome;
    Task<T> get_return_object() noexcept;
    void return_value(T v) noexcept { outcome.set_value(std::move(v)); }
    void unhandled_exception() noexcept { outcome.set_error(PyError::current()); }
};

template <>
struct Promise<void> : PromiseBase {
    Outcome<Nothing> outcome;
    Task<void> get_return_object() noexcept;
    void return_void() noexcept { outcome.set_value({}); }
    void unhandled_exception() noexcept { outcome.set_error(PyError::current()); }
};

template <class T = Ref>
class [[nodiscard]] Task {
public:
    using promise_type = Promise<T>;
    using Handle = std::coroutine_handle<promise_type>;

    Task() noexcept = default;
    explicit Task(Handle h) noexcept : h_(h) {}
    Task(Task&& o) noexcept : h_(std::exchange(o.h_, {})) {}
    Task& operator=(Task&& o) noexcept {
        if (this != &o) {
            destroy();
            h_ = std::exchange(o.h_, {});
        }
        return *this;
    }
    ~Task() { destroy(); }

    explicit operator bool() const noexcept { return bool(h_); }
    bool done() const noexcept { return h_.done(); }
    Handle handle() const noexcept { return h_; }
    promise_type& promise() const noexcept { return h_.promise(); }
    T take() {
        if constexpr (std::is_void_v<T>)
            h_.promise().outcome.take();
        else
            return h_.promise().outcome.take();
    }
    // Destroys the frame: locals are released in reverse order.
    void destroy() noexcept {
        if (h_) std::exchange(h_, {}).destroy();
    }

private:
    Handle h_;
};

template <class T>
Task<T> Promise<T>::get_return_object() noexcept {
    return Task<T>(std::coroutine_handle<Promise<T>>::from_promise(*this));
}
inline Task<void> Promise<void>::get_return_object() noexcept {
    return Task<void>(std::coroutine_handle<Promise<void>>::from_promise(*this));
}

// `co_await task` inside another task: starts the inner frame by symmetric
// transfer and resumes the outer one when it finishes.
template <class T>
class TaskAwaiter {
public:
    TaskAwaiter(Task<T> task, Driver* driver) noexcept : task_(std::move(task)), driver_(driver) {}
    bool await_ready() const noexcept { return false; }
    std::coroutine_handle<> await_suspend(std::coroutine_handle<> outer) noexcept {
        task_.promise().continuation = outer;
        task_.promise().driver = driver_;
        return task_.handle();
    }
    T await_resume() { return task_.take(); }

private:
    Task<T> task_;
    Driver* driver_;
};

template <class U>
auto PromiseBase::await_transform(Task<U>&& task) noexcept {
    return TaskAwaiter<U>(std::move(task), driver);
}

// quietly() for an await: `co_await await_quietly([&] { return awaitable; })`
// awaits what the function returns, dropping an ordinary failure of either.
template <class F>
Task<void> await_quietly(F make_awaitable) {
    try {
        co_await make_awaitable();
    } catch (PyError& e) {
        if (!e.is_exception()) throw;
    }
}

// The iterator that `await obj` drives, checked as the interpreter checks it.
Ref await_iterator(Borrowed awaitable);

}  // namespace zorvik::py
