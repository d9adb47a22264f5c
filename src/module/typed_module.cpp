// The typed layer's own module, `_graphql_typed`: `_graphql` carries the
// engine and nothing else, so TypedSchema is offered here. Both modules
// load the same engine library, so a TypedSchema accepts exactly the
// SchemaEngine instances `_graphql` makes.
#include <Python.h>

#include <exception>

#include "module/py_ref.hpp"
#include "module/typed_schema.hpp"

namespace quorvel::module {
namespace {

int exec_typed_module(PyObject* module) {
    try {
        PyRef type = PyRef::steal(typed_schema_type());
        if (!type) return -1;
        PyRef all = PyRef::steal(Py_BuildValue("[s]", "TypedSchema"));
        if (!all) return -1;
        if (PyModule_AddObjectRef(module, "TypedSchema", type.get()) < 0) return -1;
        return PyModule_AddObjectRef(module, "__all__", all.get());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return -1;
    }
}

#ifdef PyABIInfo_VAR
PyABIInfo_VAR(abi_info);
#endif

const char typed_module_doc[] = "Standard GraphQL over the tools of a _graphql.SchemaEngine.";

PyModuleDef_Slot typed_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_typed_module)},
#ifdef PyABIInfo_VAR
    {Py_mod_abi, &abi_info},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef PyMODEXPORT_FUNC
    {Py_mod_name, const_cast<char*>("_graphql_typed")},
    {Py_mod_doc, const_cast<char*>(typed_module_doc)},
#endif
    {0, nullptr},
};

PyModuleDef typed_module_definition = {
    PyModuleDef_HEAD_INIT, "_graphql_typed", typed_module_doc, 0, nullptr, typed_module_slots,
    nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quorvel::module

PyMODINIT_FUNC PyInit__graphql_typed(void) { return PyModuleDef_Init(&quorvel::module::typed_module_definition); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__graphql_typed(void) { return quorvel::module::typed_module_slots; }
#endif
