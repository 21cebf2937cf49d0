#include "coroutine.hpp"

#include <cstring>

#include "call.hpp"
#include "messages.hpp"
#include "names.hpp"
#include "runtime.hpp"

namespace zorvik::py {

// ---------------------------------------------------------------- awaiting

namespace {
// Per thread: the interpreter may switch threads at any Python call inside a
// frame, and another thread's frames run another coroutine meanwhile.
thread_local Driver* running_driver = nullptr;
}  // namespace

Driver* Driver::running() noexcept { return running_driver; }
Driver::Running::Running(Driver* d) noexcept : saved_(std::exchange(running_driver, d)) {}
Driver::Running::~Running() { running_driver = saved_; }

int Driver::traverse(visitproc visit, void* arg) const {
    Py_VISIT(yielded.get());
    if (current) {
        Py_VISIT(current->awaitable().get());
        Py_VISIT(current->iterator().get());
    }
    for (const Held* h = held; h; h = h->next_) Py_VISIT(h->get());
    return 0;
}

Held::Held(Ref value) noexcept : ref_(std::move(value)), driver_(Driver::running()) {
    if (!driver_) return;
    next_ = driver_->held;
    if (next_) next_->prev_ = this;
    driver_->held = this;
}

Held::~Held() {
    if (!driver_) return;
    if (prev_)
        prev_->next_ = next_;
    else
        driver_->held = next_;
    if (next_) next_->prev_ = prev_;
}

Ref await_iterator(Borrowed awaitable) {
    PyTypeObject* type = awaitable.type();
    if (PyCoro_CheckExact(awaitable.get())) return borrow(awaitable);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) raise_format(PyExc_TypeError, msg::not_awaitable, type->tp_name);
    Ref iter = steal_or_throw(getter(awaitable.get()));
    if (PyCoro_CheckExact(iter.get())) raise(PyExc_TypeError, msg::await_coroutine);
    if (!PyIter_Check(iter.get())) raise_format(PyExc_TypeError, msg::await_not_iterator, iter.type()->tp_name);
    return iter;
}

bool PyAwait::await_suspend(std::coroutine_handle<> waiter) noexcept {
    try {
        iter_ = await_iterator(awaitable_);
    } catch (PyError& e) {
        fail(std::move(e));
        return false;
    }
    PyObject* out = nullptr;
    switch (PyIter_Send(iter_.get(), Py_None, &out)) {
        case PYGEN_RETURN:
            deliver(steal(out));
            return false;
        case PYGEN_ERROR:
            fail(PyError::fetch());
            return false;
        case PYGEN_NEXT:
            break;
    }
    waiter_ = waiter;
    driver_->yielded = steal(out);
    driver_->current = this;
    return true;
}

Ref PyAwait::await_resume() {
    iter_.reset();
    awaitable_.reset();
    auto outcome = std::exchange(outcome_, {});
    if (auto* e = std::get_if<PyError>(&outcome)) throw std::move(*e);
    return std::move(std::get<Ref>(outcome));
}

// ---------------------------------------------------------------- the type

namespace {

enum class Phase : unsigned char { created, suspended, running, finished };

struct Payload {
    Ref name;
    Ref qualname;
    std::array<Ref, Args::max> pinned;
    Args args;
    Driver driver;  // before the task: the frames' Held locals unlink from it
    Task<Ref> task;
    Phase phase = Phase::created;
    Result result = Result::any;
};

struct CoroutineObject {
    PyObject_HEAD union { Payload p; };
};

CoroutineObject* as_coro(PyObject* self) { return reinterpret_cast<CoroutineObject*>(self); }

// Ends the frame and lets go of everything the call held. Releasing may run
// arbitrary code (finalisers), which must find the coroutine already finished:
// callers set the phase first, and the payload is emptied before anything is
// released.
void release_frame(Payload& p) noexcept {
    p.driver.current = nullptr;
    Task<Ref> frame = std::move(p.task);
    Ref yielded = std::move(p.driver.yielded);
    std::array<Ref, Args::max> pinned = std::move(p.pinned);
    p.args.obj.fill(nullptr);
    frame.destroy();
}

// An exception leaving a coroutine body, as Python presents it: a
// StopIteration cannot leave a coroutine and becomes RuntimeError.
void restore_body_error(PyError error) noexcept {
    if (!error.matches(PyExc_StopIteration)) return error.restore();
    Ref cause = error.take();
    PyErr_SetString(PyExc_RuntimeError, msg::coro_raised_stop);
    Ref wrapped = steal(PyErr_GetRaisedException());
    PyException_SetCause(wrapped.get(), Ref(cause).release());
    PyException_SetContext(wrapped.get(), cause.release());
    PyErr_SetRaisedException(wrapped.release());
}

// Resumes the C++ frames at `h` and reports what happened: the body either
// finished or is suspended on a Python iterator that yielded.
PySendResult run_frames(Payload& p, std::coroutine_handle<> h, PyObject** presult) noexcept {
    p.phase = Phase::running;
    {
        Driver::Running running(&p.driver);
        h.resume();
    }
    *presult = nullptr;
    if (!p.task.done()) {
        p.phase = Phase::suspended;
        *presult = p.driver.yielded.release();
        return PYGEN_NEXT;
    }
    p.phase = Phase::finished;
    Outcome<Ref> outcome = std::move(p.task.promise().outcome);
    // The frame goes first: its clean-up may run code, which must not see
    // this call's outcome already raised.
    release_frame(p);
    if (PyError* error = outcome.error()) {
        restore_body_error(std::move(*error));
        return PYGEN_ERROR;
    }
    return guard(PYGEN_ERROR, [&] {
        Ref value = outcome.take();
        check_result(p.result, value);
        *presult = value.release();
        return PYGEN_RETURN;
    });
}

// Gives the waiting frame the outcome of its iterator and resumes it.
PySendResult resume_waiter(Payload& p, PySendResult inner, PyObject* value, PyObject** presult) noexcept {
    PyAwait* waiting = p.driver.current;
    p.driver.current = nullptr;
    if (inner == PYGEN_RETURN)
        waiting->deliver(steal(value));
    else
        waiting->fail(PyError::fetch());
    return run_frames(p, waiting->waiter(), presult);
}

bool check_can_run(Payload& p) {
    if (p.phase == Phase::running) {
        PyErr_SetString(PyExc_ValueError, msg::coro_running);
        return false;
    }
    if (p.phase == Phase::finished) {
        PyErr_SetString(PyExc_RuntimeError, msg::coro_reuse);
        return false;
    }
    return true;
}

PySendResult coro_send(PyObject* self, PyObject* arg, PyObject** presult) {
    Payload& p = as_coro(self)->p;
    *presult = nullptr;
    if (!check_can_run(p)) return PYGEN_ERROR;
    if (p.phase == Phase::created) {
        if (arg != Py_None) {
            PyErr_SetString(PyExc_TypeError, msg::coro_non_none_start);
            return PYGEN_ERROR;
        }
        p.task.promise().driver = &p.driver;
        return run_frames(p, p.task.handle(), presult);
    }
    p.phase = Phase::running;
    PyObject* out = nullptr;
    PySendResult inner = PyIter_Send(p.driver.current->iterator().get(), arg, &out);
    if (inner == PYGEN_NEXT) {
        p.phase = Phase::suspended;
        *presult = out;
        return PYGEN_NEXT;
    }
    return resume_waiter(p, inner, out, presult);
}

// Closes the iterator being awaited, as `yield from` does on GeneratorExit.
// Returns false with an exception set when closing it failed.
bool close_iterator(Borrowed iter) {
    PyObject* close = nullptr;
    if (PyObject_GetOptionalAttr(iter.get(), id<"close">, &close) < 0) return false;
    if (!close) return true;
    Ref method = steal(close);
    Ref r = steal(PyObject_CallNoArgs(method.get()));
    return bool(r);
}

// Throws `exc` into the coroutine, forwarding it to the awaited iterator
// first, as the interpreter does for `await`.
PySendResult coro_throw_into(Payload& p, Borrowed exc, PyObject** presult) {
    *presult = nullptr;
    if (!check_can_run(p)) return PYGEN_ERROR;
    if (p.phase == Phase::created) {
        p.phase = Phase::finished;
        release_frame(p);
        PyErr_SetRaisedException(borrow(exc).release());
        return PYGEN_ERROR;
    }
    p.phase = Phase::running;
    Borrowed iter = p.driver.current->iterator();
    if (PyErr_GivenExceptionMatches(exc.get(), PyExc_GeneratorExit)) {
        if (!close_iterator(iter)) return resume_waiter(p, PYGEN_ERROR, nullptr, presult);
        PyErr_SetRaisedException(borrow(exc).release());
        return resume_waiter(p, PYGEN_ERROR, nullptr, presult);
    }
    PyObject* throw_method = nullptr;
    if (PyObject_GetOptionalAttr(iter.get(), id<"throw">, &throw_method) < 0)
        return resume_waiter(p, PYGEN_ERROR, nullptr, presult);
    if (throw_method) {
        Ref method = steal(throw_method);
        PyObject* yielded = PyObject_CallOneArg(method.get(), exc.get());
        if (yielded) {
            p.phase = Phase::suspended;
            *presult = yielded;
            return PYGEN_NEXT;
        }
    } else {
        PyErr_SetRaisedException(borrow(exc).release());
    }
    // A StopIteration at the await, thrown in or raised by throw(), is the
    // awaitable's return value, as the interpreter treats it.
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        Ref stop = steal(PyErr_GetRaisedException());
        PyObject* value = PyObject_GetAttr(stop.get(), id<"value">);
        if (!value) return resume_waiter(p, PYGEN_ERROR, nullptr, presult);
        return resume_waiter(p, PYGEN_RETURN, value, presult);
    }
    return resume_waiter(p, PYGEN_ERROR, nullptr, presult);
}

// What send() and throw() hand back to Python for each outcome.
PyObject* send_result_to_python(PySendResult status, PyObject* result) {
    if (status == PYGEN_NEXT) return result;
    if (status == PYGEN_RETURN) {
        // None ends a coroutine with a bare StopIteration; any other value
        // is the exception's one argument, even a tuple.
        Ref value = steal(result);
        if (value.is_none()) {
            PyErr_SetNone(PyExc_StopIteration);
        } else if (PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.get())) {
            PyErr_SetRaisedException(stop);
        }
    }
    return nullptr;
}

PyObject* Coroutine_send(PyObject* self, PyObject* arg) {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self, arg, &result);
    return send_result_to_python(status, result);
}

PyObject* Coroutine_iternext(PyObject* self) {
    PyObject* result = nullptr;
    PySendResult status = coro_send(self, Py_None, &result);
    if (status == PYGEN_RETURN && result == Py_None) {
        // Iteration simply ends, without an exception.
        Py_DECREF(result);
        return nullptr;
    }
    return send_result_to_python(status, result);
}

// throw(value), throw(type[, value[, traceback]]): normalised as generators do.
Ref normalise_thrown(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) raise_format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
    PyObject* typ = args[0];
    PyObject* val = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb))
        raise(PyExc_TypeError, "throw() third argument must be a traceback object");
    Ref exc;
    if (PyExceptionClass_Check(typ)) {
        if (val != Py_None && PyObject_TypeCheck(val, reinterpret_cast<PyTypeObject*>(typ)))
            exc = borrow(val);
        else if (val == Py_None)
            exc = steal_or_throw(PyObject_CallNoArgs(typ));
        else
            exc = steal_or_throw(PyObject_CallOneArg(typ, val));
        if (!PyExceptionInstance_Check(exc.get()))
            raise_format(PyExc_TypeError, msg::throw_type, Py_TYPE(exc.get())->tp_name);
    } else if (PyExceptionInstance_Check(typ)) {
        if (val != Py_None) raise(PyExc_TypeError, "instance exception may not have a separate value");
        exc = borrow(typ);
    } else {
        raise_format(PyExc_TypeError, msg::throw_type, Py_TYPE(typ)->tp_name);
    }
    if (tb != Py_None) check(PyException_SetTraceback(exc.get(), tb));
    return exc;
}

PyObject* Coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    Ref exc = guard(Ref(), [&] { return normalise_thrown(args, nargs); });
    if (!exc) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = coro_throw_into(as_coro(self)->p, exc, &result);
    return send_result_to_python(status, result);
}

// close(): GeneratorExit inside; a coroutine that yields again has ignored it.
PyObject* close_coroutine(PyObject* self) {
    Payload& p = as_coro(self)->p;
    if (p.phase == Phase::created || p.phase == Phase::finished) {
        p.phase = Phase::finished;
        release_frame(p);
        Py_RETURN_NONE;
    }
    Ref exit = steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    if (!exit) return nullptr;
    PyObject* result = nullptr;
    PySendResult status = coro_throw_into(p, exit, &result);
    if (status == PYGEN_NEXT) {
        Py_DECREF(result);
        PyErr_SetString(PyExc_RuntimeError, msg::coro_ignored_exit);
        return nullptr;
    }
    if (status == PYGEN_RETURN) return result;
    if (PyErr_ExceptionMatches(PyExc_StopIteration) || PyErr_ExceptionMatches(PyExc_GeneratorExit)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* Coroutine_close(PyObject* self, PyObject*) { return close_coroutine(self); }

PyObject* Coroutine_await(PyObject* self) { return Py_NewRef(self); }

PyObject* Coroutine_repr(PyObject* self) {
    return PyUnicode_FromFormat("<coroutine object %U at %p>", as_coro(self)->p.qualname.get(), self);
}

void Coroutine_finalize(PyObject* self) {
    Payload& p = as_coro(self)->p;
    if (p.phase == Phase::finished) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (p.phase == Phase::created) {
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, msg::coro_never_awaited, p.qualname.get()) < 0)
            PyErr_WriteUnraisable(self);
        p.phase = Phase::finished;
        release_frame(p);
    } else if (p.phase == Phase::suspended) {
        Ref r = steal(close_coroutine(self));
        if (!r) PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int Coroutine_traverse(PyObject* self, visitproc visit, void* arg) {
    Payload& p = as_coro(self)->p;
    Py_VISIT(Py_TYPE(self));
    for (auto& r : p.pinned) Py_VISIT(r.get());
    return p.driver.traverse(visit, arg);
}

int Coroutine_clear(PyObject* self) {
    Payload& p = as_coro(self)->p;
    if (p.phase != Phase::running) {
        if (p.phase != Phase::finished) p.phase = Phase::finished;
        release_frame(p);
    }
    return 0;
}

void Coroutine_dealloc(PyObject* self) {
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;
    PyObject_GC_UnTrack(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_ClearWeakRefs(self);
    as_coro(self)->p.~Payload();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_coro(self)->p.name.get()); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_coro(self)->p.qualname.get()); }
int set_text(Ref& slot, PyObject* value, const char* what) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be set to a string object", what);
        return -1;
    }
    slot = borrow(value);
    return 0;
}
int set_name(PyObject* self, PyObject* value, void*) { return set_text(as_coro(self)->p.name, value, "__name__"); }
int set_qualname(PyObject* self, PyObject* value, void*) {
    return set_text(as_coro(self)->p.qualname, value, "__qualname__");
}
PyObject* get_running(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->p.phase == Phase::running); }
PyObject* get_suspended(PyObject* self, void*) { return PyBool_FromLong(as_coro(self)->p.phase == Phase::suspended); }
PyObject* get_await(PyObject* self, void*) {
    Payload& p = as_coro(self)->p;
    if (p.phase == Phase::suspended && p.driver.current) return Py_NewRef(p.driver.current->iterator().get());
    Py_RETURN_NONE;
}
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }

PyMethodDef coroutine_methods[] = {
    {"send", Coroutine_send, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Coroutine_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value or "
     "raise\nStopIteration."},
    {"close", Coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, set_name, nullptr, nullptr},
    {"__qualname__", get_qualname, set_qualname, nullptr, nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "object being awaited on, or None", nullptr},
    {"cr_frame", get_none, nullptr, nullptr, nullptr},
    {"cr_code", get_none, nullptr, nullptr, nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

template <class F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}

PyType_Slot coroutine_slots[] = {
    {Py_am_await, slot(Coroutine_await)},
    {Py_am_send, slot(coro_send)},
    {Py_tp_iternext, slot(Coroutine_iternext)},
    {Py_tp_repr, slot(Coroutine_repr)},
    {Py_tp_finalize, slot(Coroutine_finalize)},
    {Py_tp_traverse, slot(Coroutine_traverse)},
    {Py_tp_clear, slot(Coroutine_clear)},
    {Py_tp_dealloc, slot(Coroutine_dealloc)},
    {Py_tp_methods, coroutine_methods},
    {Py_tp_getset, coroutine_getset},
    {0, nullptr},
};

PyType_Spec coroutine_spec = {
    "zorvik.native_coroutine",
    sizeof(CoroutineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_MANAGED_WEAKREF | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    coroutine_slots,
};

}  // namespace

Ref make_coroutine_type() {
    Ref type = steal_or_throw(PyType_FromSpec(&coroutine_spec));
    Ref coroutine_abc = getattr(import("collections.abc"), id<"Coroutine">);
    call_method(coroutine_abc, id<"register">, type);
    return type;
}

Ref make_coroutine(AsyncBody body, const Args& args, Borrowed name, Borrowed qualname, Result result) {
    auto* type = reinterpret_cast<PyTypeObject*>(runtime().coroutine_type.get());
    auto* self = PyObject_GC_New(CoroutineObject, type);
    if (!self) throw_pending();
    Payload* p = new (&self->p) Payload{};
    Ref owner = steal(reinterpret_cast<PyObject*>(self));
    p->name = borrow(name);
    p->qualname = borrow(qualname);
    p->result = result;
    for (std::size_t i = 0; i < p->pinned.size(); ++i) {
        p->pinned[i] = borrow(args.obj[i]);
        p->args.obj[i] = args.obj[i];
    }
    std::memcpy(p->args.real.data(), args.real.data(), sizeof args.real);
    p->task = body(p->args);
    PyObject_GC_Track(self);
    return owner;
}

}  // namespace zorvik::py
