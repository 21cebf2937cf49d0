// The browser methods of ZorvikContext: one headless Chromium page driven
// through Playwright's async API, opened on first use by browser_open and
// kept until browser_close (context.cpp) releases it.
//
// Every page operation starts with `await self.browser_open()`, looked up on
// the instance, so a subclass that overrides the opening is honoured. Except
// for the opening, nothing here catches: Playwright's errors reach the skill
// unchanged.
#include "context.hpp"
#include "messages.hpp"

#include <optional>

namespace zorvik::skills {

namespace {

using py::Param;
using py::Type;

// What one opening has started so far, so a failed or cancelled opening can
// release exactly that.
struct Opening {
    Ref driver;
    Ref browser;
    Ref context;
    Ref page;
};

Ref join(Borrowed base, const char* part) {
    return py::steal_or_throw(PyNumber_TrueDivide(base.get(), py::text(part).get()));
}

// `from <module> import <name>`, with the import statement's error when the
// module lacks the name.
Ref import_from(const char* module, PyObject* name) {
    Ref m = py::import(module);
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttr(m.get(), name, &value) < 0) py::throw_pending();
    if (value) return py::steal(value);
    Ref module_name = py::text(module);
    PyObject* file = nullptr;
    if (PyObject_GetOptionalAttr(m.get(), names().dunder_file, &file) < 0) PyErr_Clear();
    Ref path = py::steal(file);
    Ref message =
        py::steal_or_throw(path ? PyUnicode_FromFormat(msg::import_name_missing, name, module_name.get(), path.get())
                                : PyUnicode_FromFormat(msg::import_name_unknown, name, module_name.get()));
    PyErr_SetImportError(message.get(), module_name.get(), path ? path.get() : Py_None);
    py::throw_pending();
}

// Path.home() / ".zorvik" / "browser_session", created with its parents;
// the home directory is asked for at every call, not at import.
Ref session_dir() {
    const auto& n = names();
    Ref home = py::call_method(module_global(n.Path), n.home);
    Ref dir = join(join(home, msg::zorvik_dir), msg::session_dir);
    py::call_method_kw(dir, n.mkdir, {}, {{n.parents, Py_True}, {n.exist_ok, Py_True}});
    return dir;
}

Ref state_file_text(Borrowed dir) { return py::str_of(join(dir, msg::session_file)); }

Ref as_float(const Args& a, int i) { return py::steal_or_throw(PyFloat_FromDouble(a.number(i))); }

void log_text(Borrowed self, const char* prefix, Borrowed value) {
    log(self, py::steal_or_throw(PyUnicode_FromFormat("%s%U", prefix, value.get())));
}

// Steps of the opening that may fail; each object is recorded in `o` as soon
// as it exists and stored in the context's field as the opening goes.
py::Task<Ref> open_steps(Borrowed self, Opening& o) {
    const auto& n = names();
    Ref async_playwright = import_from(msg::playwright_module, n.async_playwright);
    o.driver = co_await py::call_method(py::call(async_playwright), n.start);
    py::setattr(self, n._playwright, o.driver);
    Ref dir = session_dir();
    Ref switches = py::steal_or_throw(PyList_New(2));
    PyList_SET_ITEM(switches.get(), 0, py::text(msg::no_sandbox).release());
    PyList_SET_ITEM(switches.get(), 1, py::text(msg::no_dev_shm).release());
    o.browser = co_await py::call_method_kw(py::getattr(o.driver, n.chromium), n.launch, {},
                                            {{n.headless, Py_True}, {n.args, switches}});
    py::setattr(self, n._browser_instance, o.browser);
    Ref state_file = join(dir, msg::session_file);
    if (py::truth(py::call_method(state_file, n.exists)))
        o.context =
            co_await py::call_method_kw(o.browser, n.new_context, {}, {{n.storage_state, py::str_of(state_file)}});
    else
        o.context = co_await py::call_method(o.browser, n.new_context);
    py::setattr(self, n._browser_context, o.context);
    o.page = co_await py::call_method(o.context, n.new_page);
    py::setattr(self, n._page, o.page);
    log(self, py::text(msg::browser_opened));
    co_return o.page;
}

// Undoes a failed opening: closes the context, the browser and the driver it
// started, in browser_close's order, dropping their errors. The fields that
// point at what was closed go back to None, so the context is Closed just as
// after browser_close: `_playwright` keeps the stopped driver, which a later
// browser_close stops again harmlessly.
py::Task<void> release(Borrowed self, const Opening& o) {
    const auto& n = names();
    if (o.context) co_await await_quietly(o.context, py::id<"close">);
    if (o.browser) co_await await_quietly(o.browser, py::id<"close">);
    if (o.driver) co_await await_quietly(o.driver, n.stop);
    const std::pair<PyObject*, const Ref*> fields[] = {
        {n._page, &o.page}, {n._browser_instance, &o.browser}, {n._browser_context, &o.context}};
    for (auto [field, object] : fields) {
        if (!*object) continue;
        if (py::getattr(self, field).is(*object)) py::setattr(self, field, Py_None);
    }
}

py::Task<Ref> browser_open_body(const Args& a) {
    Borrowed self = a[0];
    Ref page = py::getattr(self, names()._page);
    if (!page.is_none()) co_return page;
    Opening opening;
    std::optional<py::PyError> failure;
    try {
        co_return co_await open_steps(self, opening);
    } catch (py::PyError& e) {
        failure.emplace(std::move(e));
    }
    // A coroutine being closed can await nothing more; what it started stays
    // in the fields, where browser_close finds it.
    if (!failure->matches(PyExc_GeneratorExit)) co_await release(self, opening);
    if (failure->is_exception()) {
        Ref text = py::str_of(failure->value());
        log_text(self, msg::browser_open_failed, text);
    }
    throw std::move(*failure);
}

py::Task<Ref> open_page(Borrowed self) { co_return co_await py::call_method(self, names().browser_open); }

py::Task<Ref> browser_navigate_body(const Args& a) {
    Borrowed self = a[0], url = a[1];
    const auto& n = names();
    Ref page = co_await open_page(self);
    Ref timeout = py::steal_or_throw(PyLong_FromLong(msg::navigation_timeout_ms));
    co_await py::call_method_kw(page, n.goto_, {url}, {{n.wait_until, a[2]}, {n.timeout, timeout}});
    // A fixed settling pause after every navigation.
    co_await py::call(py::getattr(module_global(n.asyncio), n.sleep), py::steal_or_throw(PyLong_FromLong(1)));
    log_text(self, msg::navigated, url);
    co_return py::none();
}

py::Task<Ref> browser_click_body(const Args& a) {
    Borrowed self = a[0], selector = a[1];
    Ref page = co_await open_page(self);
    co_await py::call_method_kw(page, names().click, {selector}, {{names().timeout, as_float(a, 2)}});
    log_text(self, msg::clicked, selector);
    co_return py::none();
}

py::Task<Ref> browser_type_body(const Args& a) {
    Borrowed self = a[0], selector = a[1];
    Ref page = co_await open_page(self);
    co_await py::call_method_kw(page, names().fill, {selector, a[2]}, {{names().timeout, as_float(a, 3)}});
    log_text(self, msg::typed, selector);
    co_return py::none();
}

py::Task<Ref> browser_evaluate_body(const Args& a) {
    Ref page = co_await open_page(a[0]);
    co_return co_await py::call_method(page, names().evaluate, a[1]);
}

py::Task<Ref> browser_get_text_body(const Args& a) {
    Ref page = co_await open_page(a[0]);
    co_return co_await py::call_method(page, names().evaluate, py::text(msg::inner_text_js));
}

py::Task<Ref> browser_wait_body(const Args& a) {
    Ref page = co_await open_page(a[0]);
    co_await py::call_method_kw(page, names().wait_for_selector, {a[1]}, {{names().timeout, as_float(a, 2)}});
    co_return py::none();
}

py::Task<Ref> browser_screenshot_body(const Args& a) {
    Borrowed self = a[0];
    const auto& n = names();
    Ref page = co_await open_page(self);
    Ref file_name = py::steal_or_throw(PyUnicode_FromFormat("%U%s", a[1].get(), msg::screenshot_suffix));
    Ref target = py::steal_or_throw(PyNumber_TrueDivide(py::getattr(self, n._output_dir).get(), file_name.get()));
    Ref path = py::str_of(target);
    co_await py::call_method_kw(page, n.screenshot, {}, {{n.path, path}});
    log_text(self, msg::screenshot_saved, path);
    co_return path;
}

py::Task<Ref> browser_upload_body(const Args& a) {
    Borrowed self = a[0], selector = a[1], file_path = a[2];
    Ref page = co_await open_page(self);
    co_await py::call_method(page, names().set_input_files, selector, file_path);
    log(self, py::steal_or_throw(
                  PyUnicode_FromFormat("%s%U%s%U", msg::uploaded, file_path.get(), msg::uploaded_to, selector.get())));
    co_return py::none();
}

py::Task<Ref> browser_save_session_body(const Args& a) {
    Borrowed self = a[0];
    const auto& n = names();
    Ref context = py::getattr(self, n._browser_context);
    if (!py::truth(context)) co_return py::none();
    Ref file = state_file_text(session_dir());
    co_await py::call_method_kw(context, n.storage_state, {}, {{n.path, file}});
    log(self, py::text(msg::session_saved));
    co_return py::none();
}

constexpr Param self_only[] = {py::self_param};
constexpr Param navigate_params[] = {
    py::self_param, {"url", Type::str}, {"wait_until", Type::str, py::defaults::text(msg::default_wait_until)}};
constexpr Param click_params[] = {
    py::self_param, {"selector", Type::str}, {"timeout", Type::real, py::defaults::real(5000.0)}};
constexpr Param type_params[] = {
    py::self_param, {"selector", Type::str}, {"text", Type::str}, {"timeout", Type::real, py::defaults::real(5000.0)}};
constexpr Param evaluate_params[] = {py::self_param, {"js", Type::str}};
constexpr Param wait_params[] = {
    py::self_param, {"selector", Type::str}, {"timeout", Type::real, py::defaults::real(10000.0)}};
constexpr Param screenshot_params[] = {py::self_param,
                                       {"name", Type::str, py::defaults::text(msg::default_screenshot)}};
constexpr Param upload_params[] = {py::self_param, {"selector", Type::str}, {"file_path", Type::str}};

}  // namespace

const py::FunctionDef browser_open_def{"browser_open", self_only, msg::browser_open_doc, nullptr, browser_open_body};
const py::FunctionDef browser_navigate_def{
    "browser_navigate", navigate_params, msg::browser_navigate_doc, nullptr, browser_navigate_body,
    py::Result::any,    "None"};
const py::FunctionDef browser_click_def{
    "browser_click", click_params, msg::browser_click_doc, nullptr, browser_click_body, py::Result::any, "None"};
const py::FunctionDef browser_type_def{"browser_type",  type_params, msg::browser_type_doc, nullptr, browser_type_body,
                                       py::Result::any, "None"};
const py::FunctionDef browser_evaluate_def{"browser_evaluate", evaluate_params, msg::browser_evaluate_doc, nullptr,
                                           browser_evaluate_body};
const py::FunctionDef browser_get_text_def{"browser_get_text",    self_only,      msg::browser_get_text_doc, nullptr,
                                           browser_get_text_body, py::Result::str};
const py::FunctionDef browser_wait_def{"browser_wait",  wait_params, msg::browser_wait_doc, nullptr, browser_wait_body,
                                       py::Result::any, "None"};
const py::FunctionDef browser_screenshot_def{"browser_screenshot",
                                             screenshot_params,
                                             msg::browser_screenshot_doc,
                                             nullptr,
                                             browser_screenshot_body,
                                             py::Result::any,
                                             "str"};
const py::FunctionDef browser_upload_def{
    "browser_upload", upload_params, msg::browser_upload_doc, nullptr, browser_upload_body, py::Result::any, "None"};
const py::FunctionDef browser_save_session_def{
    "browser_save_session", self_only, msg::browser_save_session_doc, nullptr, browser_save_session_body,
    py::Result::any,        "None"};

}  // namespace zorvik::skills
