// The context core: construction, the skill's log, clean-up, and the class
// put together from the areas' method lists.
#include "context.hpp"

#include "messages.hpp"

namespace zorvik::skills {

namespace {

using py::Held;
using py::Type;

Ref path_join(Borrowed base, Borrowed part) { return py::steal_or_throw(PyNumber_TrueDivide(base.get(), part.get())); }

void make_directory(Borrowed path) {
    py::call_method_kw(path, id<"mkdir">, {}, {{id<"parents">, Py_True}, {id<"exist_ok">, Py_True}});
}

Ref init(const Args& a) {
    Borrowed self = a[0], skill_name = a[1];
    check_skill_name(skill_name);
    py::setattr(self, id<"skill_name">, skill_name);
    py::setattr(self, id<"_llm">, a[2]);
    py::setattr(self, id<"_llm_model">, a[3]);
    for (PyObject* field :
         {id<"_browser_instance">.get(), id<"_browser_context">.get(), id<"_page">.get(), id<"_playwright">.get()})
        py::setattr(self, field, Py_None);
    py::setattr(self, id<"_logs">, py::steal_or_throw(PyList_New(0)));
    Ref state_dir = module_global(id<"STATE_DIR">);
    Ref state_name = py::steal_or_throw(PyUnicode_FromFormat("%U.json", skill_name.get()));
    py::setattr(self, id<"_state_file">, path_join(state_dir, state_name));
    Ref output_dir = path_join(module_global(id<"OUTPUT_DIR">), skill_name);
    py::setattr(self, id<"_output_dir">, output_dir);
    make_directory(state_dir);
    make_directory(output_dir);
    return py::none();
}
constexpr py::FunctionDef init_def{
    .name = "__init__", .body = init,
    .params = {py::self_param,
               {"skill_name", Type::str},
               {"llm_client", Type::any, py::defaults::none},
               {"llm_model", Type::str, py::defaults::text(msg::default_model)}},
    .returns = "None"};

// "[" head "] " message, with str(head), as the f-string of a log line writes
// it. Written through a writer: joining the parts instead leaves log() below
// parity with plain Python (bench/bench_skill_engine.py).
Ref bracketed(Borrowed head, Borrowed message) {
    Py_ssize_t size =
        PyUnicode_GET_LENGTH(message.get()) + (PyUnicode_Check(head.get()) ? PyUnicode_GET_LENGTH(head.get()) : 0);
    PyUnicodeWriter* writer = PyUnicodeWriter_Create(size + 3);
    if (!writer) py::throw_pending();
    if (PyUnicodeWriter_WriteChar(writer, '[') < 0 || PyUnicodeWriter_WriteStr(writer, head.get()) < 0 ||
        PyUnicodeWriter_WriteASCII(writer, "] ", 2) < 0 || PyUnicodeWriter_WriteStr(writer, message.get()) < 0) {
        PyUnicodeWriter_Discard(writer);
        py::throw_pending();
    }
    return py::steal_or_throw(PyUnicodeWriter_Finish(writer));
}

// "[14:03:07] message" into the log; "[skill] message" to the module logger.
Ref log_body(const Args& a) {
    Borrowed self = a[0], message = a[1];
    Ref now = py::call(global_attr(id<"time">, id<"strftime">), id<"%H:%M:%S">);
    Ref entry = bracketed(now, message);
    py::call_method(py::getattr(self, id<"_logs">), id<"append">, entry);
    Ref line = bracketed(py::getattr(self, id<"skill_name">), message);
    py::call_method(module_global(id<"logger">), id<"info">, line);
    return py::none();
}
constexpr py::FunctionDef log_def{
    .name = "log", .body = log_body, .params = {py::self_param, {"message", Type::str}},
    .doc = "Log a message (visible in skill execution results).", .returns = "None"};

Ref get_logs_body(const Args& a) { return py::call_method(py::getattr(a[0], id<"_logs">), id<"copy">); }
constexpr py::FunctionDef get_logs_def{
    .name = "get_logs", .body = get_logs_body, .params = {py::self_param}, .doc = "Get all log entries.",
    .returns = "list[str]"};

py::Task<Ref> cleanup_body(const Args& a) {
    co_await py::call_method(a[0], id<"browser_close">);
    co_return py::none();
}
constexpr py::FunctionDef cleanup_def{
    .name = "cleanup", .body = cleanup_body, .params = {py::self_param},
    .doc = "Clean up resources (called automatically after skill execution).", .returns = "None"};

constexpr const py::FunctionDef* core_methods[] = {&log_def, &get_logs_def, &cleanup_def};

constexpr py::ClassDef context_class{
    .name = "ZorvikContext",
    .doc = "Everything a Python skill needs to interact with the world.\n"
           "    \n"
           "    This is the single object passed to every skill's run() function.\n"
           "    It provides a clean, high-level API so skills don't need to know\n"
           "    about the application's internals.\n"
           "    ",
    .init = init_def};

}  // namespace

Ref make_context_type() {
    Ref type = py::make_class(module_name, context_class);
    // In the order of the class body.
    for (Methods area :
         {browser_methods, llm_methods, file_methods, shell_methods, state_methods, Methods(core_methods)})
        py::install_methods(type, module_name, area);
    return type;
}

bool is_cancellation(Borrowed exc) {
    return PyErr_GivenExceptionMatches(exc.get(), global_attr(id<"asyncio">, id<"CancelledError">).get()) != 0;
}

namespace {

bool finished(Borrowed future) { return py::truth(py::call_method(future, id<"done">)); }

// What a finished future holds; nothing when it was cancelled or failed.
// Asking for its exception marks a failure as seen, so that asyncio does not
// report it as never retrieved: a start nobody waits for fails quietly.
Ref result_of(Borrowed future) {
    if (py::truth(py::call_method(future, id<"cancelled">))) return {};
    if (!py::call_method(future, id<"exception">).is_none()) return {};
    return py::call_method(future, id<"result">);
}

// Stops waiting on shield()'s outer future, which then lets go of the start.
// A loop already closed refuses to schedule the callbacks; it will run
// nothing more, the start included, so there is nothing left to undo.
void stop_waiting(Borrowed waiting) {
    py::quietly([&] { py::call_method(waiting, id<"cancel">); });
}

// The done-callback of a start whose awaiter has left: what it started goes
// to `release`, in a task of its own.
Ref release_late_start(const Args& a) {
    Borrowed release = a[0], future = a[1];
    if (Ref started = result_of(future))
        py::call_method(py::call_method(future, id<"get_loop">), id<"create_task">, py::call(release, started));
    return py::none();
}

constexpr py::FunctionDef late_start_def{
    .name = "release_late_start", .body = release_late_start, .params = {{"release"}, {"future"}}};

void leave_start(Borrowed inner, const py::FunctionDef& release_late) {
    Ref release = py::make_function(release_late, module_name, nullptr);
    Ref callback = py::make_function(late_start_def, module_name, nullptr);
    // Bound as a method is: the future arrives as the second argument.
    Ref bound = py::steal_or_throw(PyMethod_New(callback.get(), release.get()));
    py::call_method(inner, id<"add_done_callback">, bound);
}

}  // namespace

py::Task<void> await_start(Borrowed starting, Held& started, const py::FunctionDef& release_late) {
    Held inner = py::call(global_attr(id<"asyncio">, id<"ensure_future">), starting);
    Held waiting = py::call(global_attr(id<"asyncio">, id<"shield">), inner);
    Held failure;
    try {
        started = co_await waiting;
        co_return;
    } catch (py::PyError& e) {
        failure = e.take();
    }
    stop_waiting(waiting);
    // Only a cancellation waits for the start; a closing coroutine must not
    // suspend again, and other exceptions thrown in leave at once too.
    if (!finished(inner) && is_cancellation(failure)) {
        waiting = py::call(global_attr(id<"asyncio">, id<"shield">), inner);
        try {
            co_await waiting;
        } catch (py::PyError& e) {
            // Either the start's own failure, which gives way to the
            // cancellation, or a further one arriving before it finished.
            if (!finished(inner)) failure = e.take();
        }
        stop_waiting(waiting);
    }
    if (finished(inner))
        started = result_of(inner);
    else
        leave_start(inner, release_late);
    throw py::PyError(failure.take());
}

Ref import_from(const char* module, PyObject* name) {
    Ref m = py::import(module);
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(m.get(), name, &value) < 0) py::throw_pending();
    if (value) return py::steal(value);
    Ref module_name = py::text(module);
    PyObject* file = nullptr;
    if (PyObject_GetOptionalAttr(m.get(), id<"__file__">, &file) < 0) PyErr_Clear();
    Ref path = py::steal(file);
    Ref message =
        py::steal_or_throw(path ? PyUnicode_FromFormat(msg::import_name_missing, name, module_name.get(), path.get())
                                : PyUnicode_FromFormat(msg::import_name_unknown, name, module_name.get()));
    PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
    py::throw_pending();
}

void check_skill_name(Borrowed name) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(name.get());
    auto contains = [&](Py_UCS4 c) { return PyUnicode_FindChar(name.get(), c, 0, length, 1) >= 0; };
    bool dots = PyUnicode_EqualToUTF8(name.get(), ".") || PyUnicode_EqualToUTF8(name.get(), "..");
    if (length == 0 || dots || contains('/') || contains('\0'))
        py::raise_format(PyExc_ValueError, msg::invalid_skill_name, name.get());
}

}  // namespace zorvik::skills
