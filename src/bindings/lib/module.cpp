// The extension module _lib: its definition, its function table and the
// execution step that fills a new module object.

#include <array>

#include "bindings/boundary/failures.hpp"
#include "bindings/boundary/entry.hpp"
#include "bindings/boundary/interpreter_singletons.hpp"
#include "bindings/lib/bodies.hpp"
#include "bindings/lib/docstrings.hpp"

namespace velmor {
namespace {

template <Body body>
constexpr PyMethodDef function(const char* name, const char* doc) {
    return function_record<body>(name, doc, METH_STATIC);
}

// In the order the module adds them; never handed to the interpreter as a
// method list, which refuses METH_STATIC entries.
PyMethodDef function_table[] = {
    function<bodies::is_available>("is_available", docs::is_available),
    function<bodies::find_free>("find_free", docs::find_free),
    function<bodies::wait_until_free>("wait_until_free", docs::wait_until_free),
    function<bodies::get_info>("get_info", docs::get_info),
    function<bodies::kill>("kill", docs::kill),
    function<bodies::scan>("scan", docs::scan),
};

// From the build, which reads it from pyproject.toml.
constexpr const char* version = VELMOR_VERSION;

// The module's __all__ list, created empty when the module has none yet.
PyObject* all_list(PyObject* module) {
    OwnedRef all = OwnedRef::steal(PyObject_GetAttr(module, interned(Name::all)));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw fetch_error();
        PyErr_Clear();
        all = require_new(PyList_New(0));
        if (PyObject_SetAttr(module, interned(Name::all), all.get()) != 0) throw fetch_error();
    }
    if (!PyList_Check(all.get())) throw type_mismatch(all.get(), "list");
    return all.get();  // borrowed: the module keeps it
}

void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
    if (PyList_Append(all_list(module), name) != 0) {
        PyErr_Clear();
        throw NativeFailure("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module, name, value) != 0) throw fetch_error();
}

void add_function(PyObject* module, PyMethodDef& definition) {
    OwnedRef module_name = require(PyModule_GetNameObject(module));
    OwnedRef function = require(PyCMethod_New(&definition, module, module_name.get(), nullptr));
    module_name = OwnedRef();
    OwnedRef name = require(PyObject_GetAttr(function.get(), interned(Name::name)));
    if (!PyUnicode_Check(name.get())) throw type_mismatch(name.get(), "str");
    add_to_module(module, name.get(), function.get());
}

int exec_module(PyObject* module) noexcept {
    PyObject* done = call_guard([module] {
        for (PyMethodDef& definition : function_table) add_function(module, definition);
        OwnedRef name = require_new(PyUnicode_FromString("__version__"));
        OwnedRef value = require_new(PyUnicode_FromString(version));
        add_to_module(module, name.get(), value.get());
        return OwnedRef::borrow(Py_None);
    });
    Py_XDECREF(done);
    return done == nullptr ? -1 : 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_lib",
    docs::module,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace velmor

PyMODINIT_FUNC PyInit__lib() { return PyModuleDef_Init(&velmor::module_definition); }
