#include "context.hpp"
#include "messages.hpp"

namespace zorvik::skills {

namespace {
Ref not_yet(const Args&) { py::raise(PyExc_NotImplementedError, "not built yet"); }
py::Task<Ref> not_yet_async(const Args&) {
    py::raise(PyExc_NotImplementedError, "not built yet");
    co_return py::none();
}
constexpr py::Param any_params[] = {py::self_param, {"a", py::Type::any, py::defaults::none}, {"b", py::Type::any, py::defaults::none}};
}  // namespace

const py::FunctionDef browser_open_def{"browser_open", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_navigate_def{"browser_navigate", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_click_def{"browser_click", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_type_def{"browser_type", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_evaluate_def{"browser_evaluate", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_get_text_def{"browser_get_text", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_wait_def{"browser_wait", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_screenshot_def{"browser_screenshot", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_upload_def{"browser_upload", any_params, nullptr, nullptr, not_yet_async};
const py::FunctionDef browser_save_session_def{"browser_save_session", any_params, nullptr, nullptr, not_yet_async};

}  // namespace zorvik::skills
