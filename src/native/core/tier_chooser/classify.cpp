// Task complexity classification: two ordered pattern lists, a length test,
// and word-count and tool-count thresholds.
#include "messages.hpp"
#include "module.hpp"
#include "prefilter.hpp"

#include <climits>

namespace zorvik::core {

namespace {

using py::Param;
using py::Type;

constexpr const char* complex_patterns[] = {
    R"(\b(architect|design system|refactor|multi.?step|comprehensive|in.?depth)\b)",
    R"(\b(analyze|debug.*complex|plan.*project|write.*report)\b)",
    R"(\b(research|compare.*and.*contrast|investigate)\b)",
    R"(\b(create.*application|build.*system|implement.*feature)\b)",
    R"(\b(strategy|optimization|trade.?off|deep.*analysis)\b)",
    R"(\b(blog.?post|article|essay|paper|thesis|dissertation)\b)",
    R"(\b(every.*day|daily|weekly|schedule|cron|automat)\b)",
    R"(\b(while.*also|simultaneously|parallel|worker)\b)",
    R"(\b(financial|market|stock|crypto|investment)\b)",
    R"(\b(\d{3,}\s*word)\b)",
};

constexpr const char* simple_patterns[] = {
    R"(\b(hello|hi|hey|thanks|thank you|ok|okay|yes|no|sure)\b)",
    R"(\b(what time|what day|what date|weather)\b)",
    R"(\b(summarize this|tldr|quick question|simple)\b)",
    R"(\b(translate|convert|format|rename|list)\b)",
    R"(\b(open|close|click|scroll|navigate to)\b)",
    R"(\b(fetch|get|check|look up|find)\b)",
};

constexpr Py_ssize_t short_text = 20;

struct Caches {
    PatternCache complex_;
    PatternCache simple;
};
py::Static<Caches> caches;

Ref text_list(std::span<const char* const> texts) {
    Ref list = py::steal_or_throw(PyList_New(0));
    for (const char* t : texts) py::check(PyList_Append(list.get(), py::text(t).get()));
    return list;
}

// prompt.lower().strip() into `out`; false when the result is shorter than
// the length test allows (then it is never needed).
bool lowered_stripped(Borrowed prompt, Subject& out) {
    if (PyUnicode_IS_ASCII(prompt.get())) {
        // Lowering ASCII keeps every character's place and its white-space
        // status, so strip first and lower only what is left.
        const auto* data = static_cast<const char*>(PyUnicode_DATA(prompt.get()));
        Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(prompt.get());
        while (start < end && Py_UNICODE_ISSPACE(static_cast<unsigned char>(data[start]))) ++start;
        while (end > start && Py_UNICODE_ISSPACE(static_cast<unsigned char>(data[end - 1]))) --end;
        if (end - start < short_text) return false;
        out.assign_ascii(data + start, end - start);
        return true;
    }
    Ref lowered = py::call_method(prompt, names().lower);
    const int kind = PyUnicode_KIND(lowered.get());
    const void* data = PyUnicode_DATA(lowered.get());
    Py_ssize_t start = 0, end = PyUnicode_GET_LENGTH(lowered.get());
    while (start < end && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, start))) ++start;
    while (end > start && Py_UNICODE_ISSPACE(PyUnicode_READ(kind, data, end - 1))) --end;
    if (end - start < short_text) return false;
    out.assign(py::steal_or_throw(PyUnicode_Substring(lowered.get(), start, end)));
    return true;
}

// tool_count, an exact int, clamped to the range the thresholds look at.
long tools_of(Borrowed tool_count) {
    int overflow = 0;
    long value = PyLong_AsLongAndOverflow(tool_count.get(), &overflow);
    if (overflow) return overflow > 0 ? LONG_MAX : LONG_MIN;
    if (value == -1 && PyErr_Occurred()) py::throw_pending();
    return value;
}

Ref classify_body(const Args& a) {
    const Module& g = mod();
    Subject text;
    if (!lowered_stripped(a[0], text)) return g.simple;
    if (caches->complex_.any_match(module_global(names()._COMPLEX_PATTERNS), text)) return g.complex_;
    if (caches->simple.any_match(module_global(names()._SIMPLE_PATTERNS), text)) return g.simple;
    const Py_ssize_t words = text.word_count();
    const long tools = tools_of(a[1]);
    if (words > 60 || tools > 4) return g.complex_;
    if (words > 25 || tools > 2) return g.moderate;
    if (words < 15 && tools <= 1) return g.simple;
    return g.moderate;
}

constexpr Param classify_params[] = {
    {"prompt", Type::str},
    {"tool_count", Type::int_, py::defaults::integer(0)},
};
constexpr py::FunctionDef classify_def{
    "classify_complexity", classify_params, msg::classify_doc, classify_body, nullptr, py::Result::any, "Complexity"};

}  // namespace

Ref make_complex_patterns() { return text_list(complex_patterns); }
Ref make_simple_patterns() { return text_list(simple_patterns); }

Ref make_classify_function() {
    init_prefilter();
    caches.emplace();
    return py::make_function(classify_def, module_name, nullptr);
}

}  // namespace zorvik::core
