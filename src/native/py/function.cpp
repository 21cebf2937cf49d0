#include "function.hpp"

#include "call.hpp"
#include "names.hpp"
#include "runtime.hpp"

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace zorvik::py {

namespace {

struct Payload {
    const FunctionDef* def;
    Signature sig;
    Result result;
    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref text_signature;
    Ref annotations;
};

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    union {
        Payload p;
    };
};

FunctionObject* as_function(PyObject* self) { return reinterpret_cast<FunctionObject*>(self); }

PyObject* Function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Payload& p = as_function(self)->p;
    return guard_object([&]() -> Ref {
        Args a;
        p.sig.parse(args, PyVectorcall_NARGS(nargsf), kwnames, a);
        if (p.def->body.async) return make_coroutine(p.def->body.async, a, p.name, p.qualname, p.result);
        Ref r = p.def->body.sync(a);
        check_result(p.result, r);
        return r;
    });
}

PyObject* Function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* Function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<native function %U at %p>", as_function(self)->p.qualname.get(), self);
}

void Function_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    as_function(self)->p.~Payload();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* get_name(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.name.get()); }
PyObject* get_qualname(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.qualname.get()); }
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.module.get()); }
PyObject* get_doc(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.doc.get()); }
PyObject* get_text_signature(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.text_signature.get()); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->p.annotations.get()); }
PyObject* get_coroutine_marker(PyObject* self, void*) {
    if (!as_function(self)->p.def->body.async) {
        PyErr_SetString(PyExc_AttributeError, "_is_coroutine_marker");
        return nullptr;
    }
    return Py_NewRef(runtime().coroutine_mark.get());
}

// Pickled by reference, like any module-level function or method.
PyObject* Function_reduce(PyObject* self, PyObject*) { return get_qualname(self, nullptr); }

PyMethodDef function_methods[] = {
    {"__reduce__", Function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef function_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

template <class F>
void* slot(F f) {
    return reinterpret_cast<void*>(f);
}

PyType_Slot function_slots[] = {
    {Py_tp_call, slot(PyVectorcall_Call)}, {Py_tp_descr_get, slot(Function_descr_get)},
    {Py_tp_repr, slot(Function_repr)},     {Py_tp_dealloc, slot(Function_dealloc)},
    {Py_tp_methods, function_methods},     {Py_tp_getset, function_getset},
    {Py_tp_members, function_members},     {0, nullptr},
};

PyType_Spec function_spec = {
    "zorvik.native_function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    function_slots,
};

// The result a return annotation declares: its type's name, before any
// subscript or union, when that is str, dict or list.
Result declared_result(const char* returns) {
    if (!returns) return Result::any;
    const std::string_view type(returns, std::strcspn(returns, "[ |"));
    if (type == "str") return Result::str;
    if (type == "dict") return Result::dict;
    if (type == "list") return Result::list;
    return Result::any;
}

// {parameter: annotation text, ..., "return": text}, as a function whose
// annotations are strings carries them.
Ref annotations_of(const FunctionDef& def) {
    Ref annotations = steal_or_throw(PyDict_New());
    auto put = [&](const char* name, const char* annotation) {
        if (annotation) check(PyDict_SetItemString(annotations.get(), name, text(annotation).get()));
    };
    for (const Param& p : def.params) put(p.name, annotation_text(p));
    put("return", def.returns);
    return annotations;
}

bool is_function(Borrowed obj) noexcept {
    return obj && obj.type() == reinterpret_cast<PyTypeObject*>(runtime().function_type.get());
}

}  // namespace

Ref make_function_type() { return steal_or_throw(PyType_FromSpec(&function_spec)); }

Ref make_function(const FunctionDef& def, const char* module, const char* owner) {
    Signature sig(def.name, {def.params.begin(), def.params.size()});
    auto* self = PyObject_New(FunctionObject, reinterpret_cast<PyTypeObject*>(runtime().function_type.get()));
    if (!self) throw_pending();
    self->vectorcall = Function_vectorcall;
    Payload* p = new (&self->p) Payload{&def, std::move(sig), declared_result(def.returns), {}, {}, {}, {}, {}, {}};
    Ref result = steal(reinterpret_cast<PyObject*>(self));
    p->name = steal_or_throw(PyUnicode_InternFromString(def.name));
    p->qualname = owner ? text((std::string(owner) + "." + def.name).c_str()) : p->name;
    p->module = text(module);
    p->doc = def.doc ? text(def.doc) : none();
    p->text_signature = text(p->sig.text_signature().c_str());
    p->annotations = annotations_of(def);
    return result;
}

void set_function_owner(Borrowed function, PyTypeObject* owner) {
    if (is_function(function)) as_function(function.get())->p.sig.set_owner(owner);
}

}  // namespace zorvik::py
