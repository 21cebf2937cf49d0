// Shell commands: one command line through the system shell, its output
// returned as text; a time-out or failure comes back as a marked text.
//
// The command leads a process group of its own, so that stopping it (on a
// time-out or when the awaiting task is cancelled) also stops whatever it
// started in the background instead of leaving it running.
#include "context.hpp"
#include "messages.hpp"

#include <cerrno>
#include <csignal>

namespace zorvik::skills {

namespace {

using py::Held;
using py::Type;

constexpr Py_ssize_t logged_command_chars = 50;
// How long a killed command may take to end before shell() goes on anyway;
// after SIGKILL to its group this is normally a few milliseconds.
constexpr double reap_grace_seconds = 5.0;

// asyncio.create_subprocess_shell(command, stdout=PIPE, stderr=PIPE, process_group=0)
Ref start_command(Borrowed command) {
    Ref pipe = py::getattr(global_attr(id<"asyncio">, id<"subprocess">), id<"PIPE">);
    Ref own_group = py::steal_or_throw(PyLong_FromLong(0));
    return py::call_kw(global_attr(id<"asyncio">, id<"create_subprocess_shell">), {command},
                       {{id<"stdout">, pipe}, {id<"stderr">, pipe}, {id<"process_group">, own_group}});
}

// asyncio.wait_for(proc.communicate(), timeout=timeout)
Ref communicate(Borrowed proc, Borrowed timeout) {
    return py::call_kw(global_attr(id<"asyncio">, id<"wait_for">), {py::call_method(proc, id<"communicate">)},
                       {{id<"timeout">, timeout}});
}

// bytes.decode("utf-8", errors="replace")
Ref decode(Borrowed data) {
    char* bytes = nullptr;
    Py_ssize_t size = 0;
    py::check(PyBytes_AsStringAndSize(data.get(), &bytes, &size));
    return py::steal_or_throw(PyUnicode_DecodeUTF8(bytes, size, "replace"));
}

// Standard output, then standard error after one line break when there is any.
Ref combined_output(Borrowed streams) {
    Ref out = py::steal_or_throw(PySequence_GetItem(streams.get(), 0));
    Ref err = py::steal_or_throw(PySequence_GetItem(streams.get(), 1));
    Ref text = decode(out);
    if (!py::truth(err)) return text;
    return py::steal_or_throw(PyUnicode_FromFormat("%U\n%U", text.get(), decode(err).get()));
}

Ref log_line(Borrowed command, Borrowed output) {
    Ref shown = py::steal_or_throw(PyUnicode_Substring(command.get(), 0, logged_command_chars));
    return py::steal_or_throw(PyUnicode_FromFormat("%s%U%s%zd%s", msg::shell_log, shown.get(), msg::shell_arrow,
                                                   PyUnicode_GET_LENGTH(output.get()), msg::chars));
}

// SIGKILL to the command's process group; a group that is already gone is fine.
void kill_group(Borrowed proc) {
    long pid = PyLong_AsLong(py::getattr(proc, id<"pid">).get());
    if (pid == -1 && PyErr_Occurred()) py::throw_pending();
    if (pid <= 0) return;  // never our own group or every process
    if (killpg(static_cast<pid_t>(pid), SIGKILL) == 0 || errno == ESRCH) return;
    PyErr_SetFromErrno(PyExc_OSError);
    py::throw_pending();
}

// Waits (briefly) until the killed command has exited and its pipes are read
// to the end, so that asyncio has closed its transport by the time shell() is
// done with it. Reading matters: a pipe whose unread output filled the
// stream's buffer is no longer watched, and would never see its end.
py::Task<void> reap(Borrowed proc) {
    Held grace = py::steal_or_throw(PyFloat_FromDouble(reap_grace_seconds));
    co_await py::await_quietly([&] { return communicate(proc, grace); });
}

py::Task<void> stop(Borrowed proc) {
    kill_group(proc);
    co_await reap(proc);
}

bool running(Borrowed proc) { return py::getattr(proc, id<"returncode">).is_none(); }

bool is_timeout(Borrowed exc) {
    return PyErr_GivenExceptionMatches(exc.get(), global_attr(id<"asyncio">, id<"TimeoutError">).get()) != 0;
}

// What shell() makes of an exception: the time-out text, the error text, or
// (cancellation and other non-Exception throwables) the exception itself,
// after the command's group has been killed. Only a cancellation waits for
// the reaping: a closing coroutine must not suspend again.
py::Task<Ref> after_failure(Borrowed proc, Borrowed failure, Borrowed timeout) {
    if (is_timeout(failure)) {
        if (proc) co_await stop(proc);
        co_return py::steal_or_throw(PyUnicode_FromFormat("%s%R%s", msg::shell_timeout, timeout.get(), msg::seconds));
    }
    if (PyErr_GivenExceptionMatches(failure.get(), PyExc_Exception)) {
        if (proc && running(proc)) co_await stop(proc);
        co_return prefixed(msg::shell_error, py::str_of(failure));
    }
    if (proc) {
        kill_group(proc);
        if (is_cancellation(failure)) co_await reap(proc);
    }
    throw py::PyError(py::borrow(failure));
}

// A command whose start finished only after shell() had given it up.
py::Task<Ref> stop_late_body(const Args& a) {
    co_await stop(a[0]);
    co_return py::none();
}

constexpr py::FunctionDef stop_late{.name = "stop_late_command", .body = stop_late_body, .params = {{"proc"}}};

py::Task<Ref> shell_body(const Args& a) {
    Borrowed self = a[0], command = a[1];
    Held timeout = py::steal_or_throw(PyFloat_FromDouble(a.number(2)));
    Held proc;
    Held failure;
    try {
        // A cancellation while the process is being created lets the
        // creation finish, so that the command's group is known and stopped.
        Held starting = start_command(command);
        co_await await_start(starting, proc, stop_late);
        Ref output = combined_output(co_await communicate(proc, timeout));
        log(self, log_line(command, output));
        co_return py::call_method(output, id<"strip">);
    } catch (py::PyError& e) {
        failure = e.take();
    }
    co_return co_await after_failure(proc, failure, timeout);
}
constexpr py::FunctionDef shell_def{
    .name = "shell", .body = shell_body,
    .params = {py::self_param, {"command", Type::str}, {"timeout", Type::real, py::defaults::real(30.0)}},
    .doc = "Run a shell command and return the output.", .returns = "str"};

constexpr const py::FunctionDef* methods[] = {&shell_def};

}  // namespace

const Methods shell_methods{methods};

}  // namespace zorvik::skills
