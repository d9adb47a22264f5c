#include "module/typed_schema.hpp"

#include <cxxabi.h>

#include <array>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graphql/execution/execute.hpp"
#include "graphql/type/schema.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"
#include "module/schema_engine.hpp"

namespace quorvel::module {
namespace {

struct TypedSchemaObject {
    PyObject_HEAD
    // Constructed in place once tp_alloc has made the object, destroyed in
    // dealloc. `engine` is a strong reference: the schema answers through
    // that engine's record, which must outlive it.
    std::unique_ptr<graphql::Schema> schema;
    std::unique_ptr<graphql::DocumentCache> documents;
    graphql::RequestLimits limits;
    PyObject* engine;
};

TypedSchemaObject* typed_object(PyObject* self) { return reinterpret_cast<TypedSchemaObject*>(self); }

PyObject* text_to_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A limit given as a keyword: a positive int, or None for the default.
bool convert_limit(PyObject* value, const char* parameter, std::size_t& out) {
    if (value == nullptr || value == Py_None) return true;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "%s must be an int, not %.200s", parameter, Py_TYPE(value)->tp_name);
        return false;
    }
    const long long number = PyLong_AsLongLong(value);
    if (number == -1 && PyErr_Occurred()) return false;
    if (number <= 0) {
        PyErr_Format(PyExc_ValueError, "%s must be a positive integer, got %lld", parameter, number);
        return false;
    }
    out = static_cast<std::size_t>(number);
    return true;
}

PyObject* typed_schema_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static constexpr std::array<Parameter, 6> parameters{{{"engine", true},
                                                          {"catalogue_json", true},
                                                          {"max_depth", false},
                                                          {"max_selected_fields", false},
                                                          {"max_tool_calls", false},
                                                          {"max_document_bytes", false}}};
    if (PyTuple_GET_SIZE(args) > 2) {
        PyErr_Format(PyExc_TypeError, "TypedSchema() takes 2 positional arguments but %zd were given",
                     PyTuple_GET_SIZE(args));
        return nullptr;
    }
    std::array<PyObject*, 6> bound{};
    if (!bind_tuple_and_dict("TypedSchema.__new__", parameters, args, kwargs, bound)) return nullptr;
    if (engine_record(bound[0]) == nullptr) return nullptr;
    std::string catalogue_json;
    if (!convert_text(bound[1], "catalogue_json", catalogue_json)) return nullptr;
    graphql::RequestLimits limits;
    if (!convert_limit(bound[2], "max_depth", limits.max_depth) ||
        !convert_limit(bound[3], "max_selected_fields", limits.max_selected_fields) ||
        !convert_limit(bound[4], "max_tool_calls", limits.max_tool_calls) ||
        !convert_limit(bound[5], "max_document_bytes", limits.max_document_bytes)) {
        return nullptr;
    }
    Result<graphql::Schema> schema = graphql::Schema::from_catalogue_json(catalogue_json);
    if (!schema) {
        PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(schema.message().data(),
                                                          static_cast<Py_ssize_t>(schema.message().size()), "replace"));
        if (message) PyErr_SetObject(PyExc_ValueError, message.get());
        return nullptr;
    }
    auto owned = std::make_unique<graphql::Schema>(std::move(schema).value());
    auto documents = std::make_unique<graphql::DocumentCache>();
    PyObject* self = type->tp_alloc(type, 0);  // new reference
    if (self == nullptr) return nullptr;
    std::construct_at(&typed_object(self)->schema, std::move(owned));
    std::construct_at(&typed_object(self)->documents, std::move(documents));
    typed_object(self)->limits = limits;
    typed_object(self)->engine = PyRef::borrow(bound[0]).release();
    return self;
}

void typed_schema_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    std::destroy_at(&typed_object(self)->schema);
    std::destroy_at(&typed_object(self)->documents);
    Py_XDECREF(typed_object(self)->engine);
    type->tp_free(self);
    Py_DECREF(type);
}


// The texts a request views, owned for the length of one call.
struct RequestTexts {
    std::string query;
    std::optional<std::string> variables_json;
    std::optional<std::string> operation_name;
};

// `method(query, variables_json=None, operation_name=None, *, allow_mutations=True,
// allow_introspection=True)` as a request over `texts`.
bool bind_request(const char* method, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                  RequestTexts& texts, graphql::Request& request) {
    static constexpr std::array<Parameter, 5> parameters{{{"query", true},
                                                          {"variables_json", false},
                                                          {"operation_name", false},
                                                          {"allow_mutations", false},
                                                          {"allow_introspection", false}}};
    if (nargs > 3) {
        PyErr_Format(PyExc_TypeError, "%s() takes at most 3 positional arguments (%zd given)", method, nargs);
        return false;
    }
    std::array<PyObject*, 5> bound{};
    if (!bind_fastcall(method, parameters, args, nargs, kwnames, bound)) return false;
    if (!convert_text(bound[0], "query", texts.query) ||
        !convert_optional_text(bound[1], "variables_json", texts.variables_json) ||
        !convert_optional_text(bound[2], "operation_name", texts.operation_name)) {
        return false;
    }
    request.query = texts.query;
    if (texts.variables_json) request.variables_json = *texts.variables_json;
    if (texts.operation_name) request.operation_name = *texts.operation_name;
    for (auto [value, flag] : {std::pair{bound[3], &request.allow_mutations},
                               std::pair{bound[4], &request.allow_introspection}}) {
        if (value == nullptr) continue;
        const int allowed = PyObject_IsTrue(value);
        if (allowed < 0) return false;
        *flag = allowed == 1;
    }
    return true;
}

PyObject* typed_schema_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    RequestTexts texts;
    graphql::Request request;
    if (!bind_request("TypedSchema.execute", args, nargs, kwnames, texts, request)) return nullptr;
    TypedSchemaObject* typed = typed_object(self);
    const EngineRecord* engine = engine_record(typed->engine);
    if (engine == nullptr) return nullptr;
    std::optional<std::string> document;
    if (!run_interruptible([&](InterruptCheck* interrupt) {
            document = graphql::execute_request(*typed->schema, *engine, request, typed->limits, interrupt,
                                                typed->documents.get());
        })) {
        return nullptr;
    }
    if (!document) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interrupted without an exception set");
        return nullptr;
    }
    return text_to_str(*document);
}

PyObject* typed_schema_tool_calls(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    RequestTexts texts;
    graphql::Request request;
    if (!bind_request("TypedSchema.tool_calls", args, nargs, kwnames, texts, request)) return nullptr;
    TypedSchemaObject* typed = typed_object(self);
    std::size_t calls = 0;
    Py_BEGIN_ALLOW_THREADS
    calls = graphql::count_tool_calls(*typed->schema, request, typed->limits, typed->documents.get());
    Py_END_ALLOW_THREADS
    return PyLong_FromSize_t(calls);
}

PyObject* typed_schema_sdl(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"fields", false}}};
    std::array<PyObject*, 1> bound{};
    if (!bind_fastcall("TypedSchema.sdl", parameters, args, nargs, kwnames, bound)) return nullptr;
    const graphql::Schema& schema = *typed_object(self)->schema;
    if (bound[0] == nullptr || bound[0] == Py_None) return text_to_str(schema.sdl());
    PyRef items = PyRef::steal(PySequence_Fast(bound[0], "fields must be a sequence of str"));
    if (!items) return nullptr;
    std::vector<std::string> names;
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!convert_text(PySequence_Fast_GET_ITEM(items.get(), i), "fields", names.emplace_back())) return nullptr;
    }
    return text_to_str(schema.sdl(std::vector<std::string_view>(names.begin(), names.end())));
}

PyObject* typed_schema_tool_count(PyObject* self, PyObject*) {
    return PyLong_FromSize_t(typed_object(self)->schema->tools().size());
}

PyMethodDef typed_schema_methods[] = {
    {"execute", entry<typed_schema_execute>(), METH_FASTCALL | METH_KEYWORDS,
     "execute($self, query, variables_json=None, operation_name=None, *, allow_mutations=True, "
     "allow_introspection=True)\n--\n\n"
     "Runs a GraphQL request; returns the response document as JSON text. allow_introspection=False refuses "
     "__schema and __type fields with a validation error."},
    {"tool_calls", entry<typed_schema_tool_calls>(), METH_FASTCALL | METH_KEYWORDS,
     "tool_calls($self, query, variables_json=None, operation_name=None, *, allow_mutations=True, "
     "allow_introspection=True)\n--\n\n"
     "The tool calls the request would make, without making any (0 for a request refused as a whole)."},
    {"sdl", entry<typed_schema_sdl>(), METH_FASTCALL | METH_KEYWORDS,
     "sdl($self, fields=None)\n--\n\n"
     "The schema in GraphQL SDL; with `fields`, only those tool fields (and the built-in ones) and the types "
     "they reach."},
    {"tool_count", entry<typed_schema_tool_count>(), METH_NOARGS,
     "tool_count($self)\n--\n\nThe number of tool fields (Query and Mutation)."},
    {nullptr, nullptr, 0, nullptr},
};

const char typed_schema_doc[] =
    "TypedSchema(engine, catalogue_json, *, max_depth=32, max_selected_fields=1000, max_tool_calls=100, "
    "max_document_bytes=1048576)\n--\n\n"
    "Standard GraphQL in front of a SchemaEngine: a typed schema built from the catalogue's tool schemas, full "
    "executable documents, validation, introspection, and results completed by selection sets.";

PyType_Slot typed_schema_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Guarded<typed_schema_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(typed_schema_dealloc)},
    {Py_tp_doc, const_cast<char*>(typed_schema_doc)},
    {Py_tp_methods, typed_schema_methods},
    {0, nullptr},
};

PyType_Spec typed_schema_spec = {
    "_graphql_typed.TypedSchema",
    sizeof(TypedSchemaObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    typed_schema_slots,
};

}  // namespace

PyObject* typed_schema_type() {
    // Made once per module execution; the module holds it.
    return PyType_FromSpec(&typed_schema_spec);
}

}  // namespace quorvel::module
