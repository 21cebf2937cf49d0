// The native function type: module functions and methods declared once as a
// FunctionDef and exposed as callables that read like Python functions
// (__name__, __qualname__, __doc__, a text signature for inspect) and bind
// like them (a method looked up on an instance is a bound method). Coroutine
// functions carry the marker that inspect.iscoroutinefunction recognises, and
// calling one checks the arguments, then returns a native coroutine.
#pragma once

#include "coroutine.hpp"

#include <initializer_list>
#include <span>

namespace zorvik::py {

using SyncBody = Ref (*)(const Args&);

// What a call runs: a plain function, or a Task that a native coroutine runs.
struct Body {
    constexpr Body(SyncBody f) noexcept : sync(f) {}    // NOLINT(google-explicit-constructor)
    constexpr Body(AsyncBody f) noexcept : async(f) {}  // NOLINT(google-explicit-constructor)
    SyncBody sync = nullptr;
    AsyncBody async = nullptr;
};

// A function or method, declared once beside its body, as nanobind's
// .def(name, fn, args, doc) declares one:
//
//     constexpr py::FunctionDef click_def{
//         .name = "browser_click", .body = browser_click_body,
//         .params = {py::self_param, {"selector", Type::str}},
//         .doc = "Click an element by CSS selector.", .returns = "None"};
struct FunctionDef {
    const char* name;
    Body body;
    std::initializer_list<Param> params = {};
    const char* doc = nullptr;
    // The return annotation's text; a result annotated "str", "dict" or
    // "list" (bare or subscripted) is checked as declared (args.hpp).
    const char* returns = nullptr;
};

// The function type; made once by the exec slot (module.hpp).
Ref make_function_type();

// `owner` is the qualified name of the class for a method, or nullptr for a
// module-level function.
Ref make_function(const FunctionDef& def, const char* module, const char* owner);

// Methods check their instance against the class once it exists.
void set_function_owner(Borrowed function, PyTypeObject* owner);

}  // namespace zorvik::py
