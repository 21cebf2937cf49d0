// Whether a method read on an instance would be one of this module's native
// functions bound to it, known without making the bound method. Where it is,
// the caller may run the function's body directly: nothing a subclass, the
// instance or a host put in its place would have been called instead.
#pragma once

#include "module.hpp"

namespace zorvik::skills {

class OwnMethod {
public:
    constexpr OwnMethod(PyObject* Names::*name, const py::FunctionDef& def) noexcept : name_(name), def_(def) {}

    // True when instances of the class read attributes the ordinary way,
    // the class holds the function under the name and the instance dict does
    // not hide it; false means "look the method up and call it".
    bool found_on(Borrowed self);

private:
    bool class_holds(PyTypeObject* type);

    PyObject* Names::*name_;
    const py::FunctionDef& def_;
    // The version of the class last found holding the function: every
    // change to a class or its bases gives it a new version.
    unsigned int verified_version_ = 0;
};

}  // namespace zorvik::skills
