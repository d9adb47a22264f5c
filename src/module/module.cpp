// Module initialisation: multi-phase, through PyInit__graphql and, on
// interpreters that know it, the export hook PyModExport__graphql; both
// describe the same module.
#include <Python.h>

#include <exception>

#include "module/py_ref.hpp"
#include "module/schema_engine.hpp"

namespace quorvel::module {
namespace {

PyObject* graphql_stub(PyObject*, PyObject*) { return PyUnicode_FromString("quorvel _graphql extension loaded"); }

PyMethodDef graphql_stub_def = {"graphql_stub", graphql_stub, METH_NOARGS | METH_STATIC, "graphql_stub()\n--\n\n"};

// Appends `name` to the module's __all__ (made when missing), then sets the
// attribute. `object` is borrowed.
int add_exported(PyObject* module, const char* name, PyObject* object) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
    } else if (!PyList_Check(all.get())) {
        PyErr_SetString(PyExc_TypeError, "__all__ must be a list");
        return -1;
    }
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) return -1;
    return PyObject_SetAttrString(module, name, object);
}

int exec_module(PyObject* module) {
    if (module == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "module execution step called without a module");
        return -1;
    }
    if (!PyModule_Check(module)) {
        PyErr_SetString(PyExc_TypeError, "object cannot be treated as a module");
        return -1;
    }
    try {
        PyTypeObject* type = schema_engine_type();  // borrowed
        if (type == nullptr) return -1;
        if (add_exported(module, "SchemaEngine", reinterpret_cast<PyObject*>(type)) < 0) return -1;
        PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
        if (!module_name) return -1;
        PyRef function = PyRef::steal(PyCFunction_NewEx(&graphql_stub_def, module, module_name.get()));
        if (!function) return -1;
        return add_exported(module, graphql_stub_def.ml_name, function.get());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
        return -1;
    }
}

#ifdef PyABIInfo_VAR
PyABIInfo_VAR(abi_info);
#endif

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef PyABIInfo_VAR
    {Py_mod_abi, &abi_info},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
#ifdef PyMODEXPORT_FUNC
    {Py_mod_name, const_cast<char*>("_graphql")},
    {Py_mod_doc, const_cast<char*>("")},
#endif
    {0, nullptr},
};

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "_graphql",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quorvel::module

PyMODINIT_FUNC PyInit__graphql(void) { return PyModuleDef_Init(&quorvel::module::module_definition); }

#ifdef PyMODEXPORT_FUNC
PyMODEXPORT_FUNC PyModExport__graphql(void) { return quorvel::module::module_slots; }
#endif
