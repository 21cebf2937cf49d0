// C++20 coroutines that await Python awaitables.
//
// A Task is lazy: its body starts when it is first resumed, by the native
// coroutine object that owns it (coroutine.hpp) or by another Task awaiting
// it. Inside a body, `co_await obj` on a Python awaitable behaves like
// `await obj` in Python: the awaitable's __await__ iterator is driven by the
// owning native coroutine, whatever it yields passes out to the event loop,
// values and exceptions sent in pass to the iterator, and the frame resumes
// with the iterator's return value or with its exception thrown as PyError.
#pragma once

#include "error.hpp"

#include <coroutine>
#include <exception>
#include <optional>
#include <utility>

namespace zorvik::py {

class PyAwait;

// Shared by every frame of one native coroutine: which awaiter is waiting on
// a Python iterator, and what that iterator yielded last.
struct Driver {
    PyAwait* current = nullptr;
    Ref yielded;
};

// Runs `co_await obj` for a Python awaitable.
class PyAwait {
public:
    PyAwait(Ref awaitable, Driver* driver) noexcept : awaitable_(std::move(awaitable)), driver_(driver) {}

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> waiter) noexcept;
    Ref await_resume();

    // Used by the owning native coroutine while the frame is suspended here.
    Borrowed iterator() const noexcept { return iter_; }
    std::coroutine_handle<> waiter() const noexcept { return waiter_; }
    void deliver(Ref value) noexcept { result_ = std::move(value); }
    void fail(PyError error) noexcept { error_.emplace(std::move(error)); }

private:
    Ref awaitable_;
    Driver* driver_;
    Ref iter_;
    Ref result_;
    std::optional<PyError> error_;
    std::coroutine_handle<> waiter_;
};

template <class T>
class Task;

struct PromiseBase {
    Driver* driver = nullptr;
    std::coroutine_handle<> continuation;
    std::exception_ptr error;

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
    void unhandled_exception() noexcept { error = std::current_exception(); }

    PyAwait await_transform(Ref awaitable) noexcept { return PyAwait(std::move(awaitable), driver); }
    template <class U>
    auto await_transform(Task<U>&& task) noexcept;
};

template <class T>
struct Promise : PromiseBase {
    std::optional<T> value;
    Task<T> get_return_object() noexcept;
    void return_value(T v) noexcept(std::is_nothrow_move_constructible_v<T>) { value.emplace(std::move(v)); }
    T take() {
        if (error) std::rethrow_exception(error);
        return std::move(*value);
    }
};

template <>
struct Promise<void> : PromiseBase {
    Task<void> get_return_object() noexcept;
    void return_void() noexcept {}
    void take() {
        if (error) std::rethrow_exception(error);
    }
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
    T take() { return h_.promise().take(); }
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

// The iterator that `await obj` drives, checked as the interpreter checks it.
Ref await_iterator(Borrowed awaitable);

}  // namespace zorvik::py
