// The browser methods of ZorvikContext: one headless Chromium page driven
// through Playwright's async API, opened on first use by browser_open and
// kept until browser_close releases it.
//
// Every page operation starts with `await self.browser_open()`, looked up on
// the instance, so a subclass that overrides the opening is honoured. Except
// for the opening, nothing here catches: Playwright's errors reach the skill
// unchanged.
#include "context.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {

// The saved session: home / ".zorvik" / "browser_session" / "state.json".
constexpr const char* session_dir_name = "browser_session";
constexpr const char* session_file = "state.json";

using py::Held;
using py::Type;

// What one opening has started so far, so a failed or cancelled opening can
// release exactly that.
struct Opening {
    Held driver;
    Held browser;
    Held context;
    Held page;
};

Ref join(Borrowed base, const char* part) {
    return py::steal_or_throw(PyNumber_TrueDivide(base.get(), py::text(part).get()));
}

// Path.home() / ".zorvik" / "browser_session", created with its parents;
// the home directory is asked for at every call, not at import.
Ref session_dir() {
    Ref home = py::call_method(module_global(id<"Path">), id<"home">);
    Ref dir = join(join(home, msg::zorvik_dir), session_dir_name);
    py::call_method_kw(dir, id<"mkdir">, {}, {{id<"parents">, Py_True}, {id<"exist_ok">, Py_True}});
    return dir;
}

Ref as_float(const Args& a, int i) { return py::steal_or_throw(PyFloat_FromDouble(a.number(i))); }

void log_text(Borrowed self, const char* prefix, Borrowed value) { log(self, prefixed(prefix, value)); }

// async_playwright().start()
Ref start_driver() {
    return py::call_method(py::call(import_from("playwright.async_api", id<"async_playwright">)), id<"start">);
}

// driver.chromium.launch(headless=True, args=[...])
Ref launch(Borrowed driver) {
    Ref switches = py::steal_or_throw(PyList_New(2));
    PyList_SET_ITEM(switches.get(), 0, py::text("--no-sandbox").release());
    PyList_SET_ITEM(switches.get(), 1, py::text("--disable-dev-shm-usage").release());
    return py::call_method_kw(py::getattr(driver, id<"chromium">), id<"launch">, {},
                              {{id<"headless">, Py_True}, {id<"args">, switches}});
}

// browser.new_context(), with the saved session when there is one.
Ref new_context(Borrowed browser, Borrowed dir) {
    Ref state_file = join(dir, session_file);
    if (!py::truth(py::call_method(state_file, id<"exists">))) return py::call_method(browser, id<"new_context">);
    return py::call_method_kw(browser, id<"new_context">, {}, {{id<"storage_state">, py::str_of(state_file)}});
}

// Awaits `target.<method>()`, dropping an ordinary failure of the call.
py::Task<void> call_quietly(Borrowed target, PyObject* method) {
    co_await py::await_quietly([&] { return py::call_method(target, method); });
}

// What an opening started after it was given up: a driver is stopped, the
// rest closed, their ordinary errors dropped.
py::Task<Ref> stop_late_body(const Args& a) {
    co_await call_quietly(a[0], id<"stop">);
    co_return py::none();
}
constexpr py::FunctionDef stop_late{.name = "stop_late_driver", .body = stop_late_body, .params = {{"started"}}};

py::Task<Ref> close_late_body(const Args& a) {
    co_await call_quietly(a[0], id<"close">);
    co_return py::none();
}
constexpr py::FunctionDef close_late{.name = "close_late_start", .body = close_late_body, .params = {{"started"}}};

// Steps of the opening that may fail; each object is recorded in `o` as soon
// as it exists and stored in the context's field as the opening goes. Each
// start finishes even when the opening is cancelled meanwhile (see
// await_start), so that what it started is recorded and can be released.
py::Task<Ref> open_steps(Borrowed self, Opening& o) {
    Held starting = start_driver();
    co_await await_start(starting, o.driver, stop_late);
    py::setattr(self, id<"_playwright">, o.driver);
    Held dir = session_dir();
    starting = launch(o.driver);
    co_await await_start(starting, o.browser, close_late);
    py::setattr(self, id<"_browser_instance">, o.browser);
    starting = new_context(o.browser, dir);
    co_await await_start(starting, o.context, close_late);
    py::setattr(self, id<"_browser_context">, o.context);
    starting = py::call_method(o.context, id<"new_page">);
    co_await await_start(starting, o.page, close_late);
    py::setattr(self, id<"_page">, o.page);
    log(self, py::text(msg::browser_opened));
    co_return o.page.ref();
}

// One release call of a close, its ordinary errors dropped. A cancellation
// does not cut the close short: it is kept in `cancelled`, the remaining
// calls are made, and the caller raises it at the end, so that nothing that
// was opened outlives a cancelled clean-up. A closing coroutine (GeneratorExit)
// cannot await the rest and leaves at once.
py::Task<void> release_step(Borrowed target, PyObject* method, Held& cancelled) {
    try {
        co_await call_quietly(target, method);
    } catch (py::PyError& e) {
        if (!is_cancellation(e.value())) throw;
        cancelled = e.take();
    }
}

// Undoes a failed opening: closes the context, the browser and the driver it
// started, in browser_close's order, dropping their errors. The fields that
// point at what was closed go back to None, so the context is Closed just as
// after browser_close: `_playwright` keeps the stopped driver, which a later
// browser_close stops again harmlessly.
py::Task<void> release(Borrowed self, const Opening& o) {
    Held cancelled;
    if (o.context) co_await release_step(o.context, id<"close">, cancelled);
    if (o.browser) co_await release_step(o.browser, id<"close">, cancelled);
    if (o.driver) co_await release_step(o.driver, id<"stop">, cancelled);
    const std::pair<PyObject*, const Held*> fields[] = {
        {id<"_page">, &o.page}, {id<"_browser_instance">, &o.browser}, {id<"_browser_context">, &o.context}};
    for (auto [field, object] : fields) {
        if (*object && py::getattr(self, field).is(*object)) py::setattr(self, field, Py_None);
    }
    if (cancelled) throw py::PyError(cancelled.take());
}

py::Task<Ref> browser_open_body(const Args& a) {
    Borrowed self = a[0];
    if (Ref page = py::getattr(self, id<"_page">); !page.is_none()) co_return page;
    Opening opening;
    Held failure;
    try {
        co_return co_await open_steps(self, opening);
    } catch (py::PyError& e) {
        failure = e.take();
    }
    // A coroutine being closed can await nothing more; what it started stays
    // in the fields, where browser_close finds it.
    if (!PyErr_GivenExceptionMatches(failure.get(), PyExc_GeneratorExit)) co_await release(self, opening);
    if (PyErr_GivenExceptionMatches(failure.get(), PyExc_Exception))
        log_text(self, msg::browser_open_failed, py::str_of(failure));
    throw py::PyError(failure.take());
}
constexpr py::FunctionDef open_def{
    .name = "browser_open", .body = browser_open_body, .params = {py::self_param},
    .doc = "Open a browser and return the Playwright page object.\n"
           "        \n"
           "        Returns the raw Playwright Page for full flexibility.\n"
           "        The browser is headless by default.\n"
           "        "};

// Releases `self.<field>` with `method` when the field is set.
py::Task<void> release_field(Borrowed self, PyObject* field, PyObject* method, Held& cancelled) {
    Held target = py::getattr(self, field);
    if (py::truth(target)) co_await release_step(target, method, cancelled);
}

py::Task<Ref> browser_close_body(const Args& a) {
    Borrowed self = a[0];
    Held cancelled;
    co_await release_field(self, id<"_browser_context">, id<"close">, cancelled);
    co_await release_field(self, id<"_browser_instance">, id<"close">, cancelled);
    int has_driver = PyObject_HasAttrWithError(self.get(), id<"_playwright">);
    if (has_driver < 0) py::throw_pending();
    if (has_driver) co_await release_field(self, id<"_playwright">, id<"stop">, cancelled);
    for (PyObject* field : {id<"_page">.get(), id<"_browser_instance">.get(), id<"_browser_context">.get()})
        py::setattr(self, field, Py_None);
    log(self, py::text(msg::browser_closed));
    if (cancelled) throw py::PyError(cancelled.take());
    co_return py::none();
}
constexpr py::FunctionDef close_def{
    .name = "browser_close", .body = browser_close_body, .params = {py::self_param}, .doc = "Close the browser.",
    .returns = "None"};

Ref open_page(Borrowed self) { return py::call_method(self, id<"browser_open">); }

// asyncio.sleep(1): a fixed settling pause after every navigation.
Ref settle() { return py::call(global_attr(id<"asyncio">, id<"sleep">), py::steal_or_throw(PyLong_FromLong(1))); }

py::Task<Ref> browser_navigate_body(const Args& a) {
    Borrowed self = a[0], url = a[1];
    Held page = co_await open_page(self);
    Held timeout = py::steal_or_throw(PyLong_FromLong(30000));
    co_await py::call_method_kw(page, id<"goto">, {url}, {{id<"wait_until">, a[2]}, {id<"timeout">, timeout}});
    co_await settle();
    log_text(self, msg::navigated, url);
    co_return py::none();
}
constexpr py::FunctionDef navigate_def{
    .name = "browser_navigate", .body = browser_navigate_body,
    .params = {py::self_param, {"url", Type::str}, {"wait_until", Type::str, py::defaults::text("domcontentloaded")}},
    .doc = "Navigate to a URL.", .returns = "None"};

py::Task<Ref> browser_click_body(const Args& a) {
    Borrowed self = a[0], selector = a[1];
    Held page = co_await open_page(self);
    Held timeout = as_float(a, 2);
    co_await py::call_method_kw(page, id<"click">, {selector}, {{id<"timeout">, timeout}});
    log_text(self, msg::clicked, selector);
    co_return py::none();
}
constexpr py::FunctionDef click_def{
    .name = "browser_click", .body = browser_click_body,
    .params = {py::self_param, {"selector", Type::str}, {"timeout", Type::real, py::defaults::real(5000.0)}},
    .doc = "Click an element by CSS selector.", .returns = "None"};

py::Task<Ref> browser_type_body(const Args& a) {
    Borrowed self = a[0], selector = a[1];
    Held page = co_await open_page(self);
    Held timeout = as_float(a, 3);
    co_await py::call_method_kw(page, id<"fill">, {selector, a[2]}, {{id<"timeout">, timeout}});
    log_text(self, msg::typed, selector);
    co_return py::none();
}
constexpr py::FunctionDef type_def{
    .name = "browser_type", .body = browser_type_body,
    .params = {py::self_param,
               {"selector", Type::str},
               {"text", Type::str},
               {"timeout", Type::real, py::defaults::real(5000.0)}},
    .doc = "Type text into an element.", .returns = "None"};

py::Task<Ref> browser_evaluate_body(const Args& a) {
    Held page = co_await open_page(a[0]);
    co_return co_await py::call_method(page, id<"evaluate">, a[1]);
}
constexpr py::FunctionDef evaluate_def{
    .name = "browser_evaluate", .body = browser_evaluate_body, .params = {py::self_param, {"js", Type::str}},
    .doc = "Execute JavaScript in the browser and return the result."};

py::Task<Ref> browser_get_text_body(const Args& a) {
    Held page = co_await open_page(a[0]);
    Held js = py::text("() => document.body.innerText");
    co_return co_await py::call_method(page, id<"evaluate">, js);
}
constexpr py::FunctionDef get_text_def{
    .name = "browser_get_text", .body = browser_get_text_body, .params = {py::self_param},
    .doc = "Get all visible text from the current page.", .returns = "str"};

py::Task<Ref> browser_wait_body(const Args& a) {
    Held page = co_await open_page(a[0]);
    Held timeout = as_float(a, 2);
    co_await py::call_method_kw(page, id<"wait_for_selector">, {a[1]}, {{id<"timeout">, timeout}});
    co_return py::none();
}
constexpr py::FunctionDef wait_def{
    .name = "browser_wait", .body = browser_wait_body,
    .params = {py::self_param, {"selector", Type::str}, {"timeout", Type::real, py::defaults::real(10000.0)}},
    .doc = "Wait for an element to appear.", .returns = "None"};

py::Task<Ref> browser_screenshot_body(const Args& a) {
    Borrowed self = a[0];
    Held page = co_await open_page(self);
    Ref file_name = py::steal_or_throw(PyUnicode_FromFormat("%U.png", a[1].get()));
    Held path = py::str_of(
        py::steal_or_throw(PyNumber_TrueDivide(py::getattr(self, id<"_output_dir">).get(), file_name.get())));
    co_await py::call_method_kw(page, id<"screenshot">, {}, {{id<"path">, path}});
    log_text(self, msg::screenshot_saved, path);
    co_return path.take();
}
constexpr py::FunctionDef screenshot_def{
    .name = "browser_screenshot", .body = browser_screenshot_body,
    .params = {py::self_param, {"name", Type::str, py::defaults::text("screenshot")}},
    .doc = "Take a screenshot and save it. Returns the file path.", .returns = "str"};

py::Task<Ref> browser_upload_body(const Args& a) {
    Borrowed self = a[0], selector = a[1], file_path = a[2];
    Held page = co_await open_page(self);
    co_await py::call_method(page, id<"set_input_files">, selector, file_path);
    log(self, py::steal_or_throw(
                  PyUnicode_FromFormat("%s%U%s%U", msg::uploaded, file_path.get(), msg::uploaded_to, selector.get())));
    co_return py::none();
}
constexpr py::FunctionDef upload_def{
    .name = "browser_upload", .body = browser_upload_body,
    .params = {py::self_param, {"selector", Type::str}, {"file_path", Type::str}},
    .doc = "Upload a file to a file input element.", .returns = "None"};

py::Task<Ref> browser_save_session_body(const Args& a) {
    Borrowed self = a[0];
    Held context = py::getattr(self, id<"_browser_context">);
    if (!py::truth(context)) co_return py::none();
    Held file = py::str_of(join(session_dir(), session_file));
    co_await py::call_method_kw(context, id<"storage_state">, {}, {{id<"path">, file}});
    log(self, py::text(msg::session_saved));
    co_return py::none();
}
constexpr py::FunctionDef save_session_def{
    .name = "browser_save_session", .body = browser_save_session_body, .params = {py::self_param},
    .doc = "Save the current browser session (cookies, storage) for reuse.", .returns = "None"};

constexpr const py::FunctionDef* methods[] = {&open_def,     &navigate_def,     &click_def, &type_def,
                                              &evaluate_def, &get_text_def,     &wait_def,  &screenshot_def,
                                              &upload_def,   &save_session_def, &close_def};

}  // namespace

const Methods browser_methods{methods};

}  // namespace zorvik::skills
