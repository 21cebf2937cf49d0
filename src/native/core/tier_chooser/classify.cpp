// Task complexity classification: two ordered pattern lists, a length test,
// and word-count and tool-count thresholds.
#include "messages.hpp"
#include "module.hpp"

#include <climits>

namespace zorvik::core {

namespace {

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

Ref text_list(std::span<const char* const> texts) {
    Ref list = py::steal_or_throw(PyList_New(0));
    for (const char* t : texts) py::check(PyList_Append(list.get(), py::text(t).get()));
    return list;
}

// Complexity.<member>
Ref tier(PyObject* member) { return py::getattr(global(id<"Complexity">), member); }

// any(re.search(pattern, text) for pattern in <the list bound to `list_name`>),
// with `re.search` looked up when the list's first pattern needs it.
bool any_match(PyObject* list_name, Borrowed text) {
    Ref search;
    return any_of(global(list_name), [&](Borrowed pattern) {
        if (!search) search = py::getattr(global(id<"re">), id<"search">);
        return py::truth(py::call(search, pattern, text));
    });
}

// tool_count, an exact int, clamped to a range that keeps every comparison
// with the thresholds.
long tools_of(Borrowed tool_count) {
    int overflow = 0;
    const long value = PyLong_AsLongAndOverflow(tool_count.get(), &overflow);
    if (overflow) return overflow > 0 ? LONG_MAX : LONG_MIN;
    return value;
}

Ref classify_body(const Args& a) {
    Ref lowered = py::call_method(py::call_method(a[0], id<"lower">), id<"strip">);
    if (PyUnicode_GET_LENGTH(lowered.get()) < 20) return tier(id<"SIMPLE">);
    if (any_match(id<"_COMPLEX_PATTERNS">, lowered)) return tier(id<"COMPLEX">);
    if (any_match(id<"_SIMPLE_PATTERNS">, lowered)) return tier(id<"SIMPLE">);
    const Py_ssize_t words = PyList_GET_SIZE(py::steal_or_throw(PyUnicode_Split(lowered.get(), nullptr, -1)).get());
    const long tools = tools_of(a[1]);
    if (words > 60 || tools > 4) return tier(id<"COMPLEX">);
    if (words > 25 || tools > 2) return tier(id<"MODERATE">);
    if (words < 15 && tools <= 1) return tier(id<"SIMPLE">);
    return tier(id<"MODERATE">);
}

constexpr py::FunctionDef classify_def{
    .name = "classify_complexity", .body = classify_body,
    .params = {{"prompt", Type::str}, {"tool_count", Type::int_, py::defaults::integer(0)}},
    .doc = "Classify the complexity of a worker task based on its description.\n"
           "    \n"
           "    Used when the Coordinator passes \"auto\" as a worker's model_key.\n"
           "    ",
    .returns = "Complexity"};

}  // namespace

Ref make_complex_patterns() { return text_list(complex_patterns); }
Ref make_simple_patterns() { return text_list(simple_patterns); }
Ref make_classify_function() { return py::make_function(classify_def, module_name, nullptr); }

}  // namespace zorvik::core
