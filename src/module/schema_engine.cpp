#include "module/schema_engine.hpp"

#include <cxxabi.h>

#include <array>
#include <atomic>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "execution/engine.hpp"
#include "execution/execution.hpp"
#include "module/arguments.hpp"
#include "module/entry_points.hpp"
#include "module/py_ref.hpp"

namespace quorvel::module {
namespace {

struct SchemaEngineObject {
    PyObject_HEAD
    // Constructed in place once tp_alloc has made the object, destroyed in
    // dealloc; set for the whole life of the object.
    std::unique_ptr<EngineRecord> record;
};

SchemaEngineObject* engine_object(PyObject* self) { return reinterpret_cast<SchemaEngineObject*>(self); }

EngineRecord& record_of(PyObject* self) { return *engine_object(self)->record; }

// For a core call that ended because the signal hook raised: that exception
// is already set.
PyObject* raise_interrupted() {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "interrupted without an exception set");
    return nullptr;
}

// Sets the Python exception for a failure of the core.
PyObject* raise_failure(const Failure& failure) {
    if (failure.kind == Failure::Kind::interrupted) return raise_interrupted();
    // "replace" keeps the intended exception even if a message were not
    // valid UTF-8.
    PyRef message = PyRef::steal(PyUnicode_DecodeUTF8(failure.message.data(),
                                                      static_cast<Py_ssize_t>(failure.message.size()), "replace"));
    if (!message) return nullptr;
    PyErr_SetObject(failure.kind == Failure::Kind::internal ? PyExc_RuntimeError : PyExc_ValueError, message.get());
    return nullptr;
}

PyObject* text_to_str(const std::string& text) {
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* raise_unexpected(const char* what) {
    PyErr_SetString(PyExc_RuntimeError, what);
    return nullptr;
}

// The ident of the thread that Python runs signal handlers on, looked up
// again after a fork (the child's main thread is the one that forked); 0
// when it cannot be told.
unsigned long main_thread_ident() {
    static std::atomic<unsigned long> ident{0};
    static std::atomic<std::uint64_t> looked_up_in{~std::uint64_t{0}};
    const std::uint64_t generation = fork_generation();
    if (looked_up_in.load(std::memory_order_acquire) == generation) return ident.load(std::memory_order_relaxed);
    PyRef threading = PyRef::steal(PyImport_ImportModule("threading"));
    PyRef thread = threading ? PyRef::steal(PyObject_CallMethod(threading.get(), "main_thread", nullptr)) : PyRef();
    PyRef number = thread ? PyRef::steal(PyObject_GetAttrString(thread.get(), "ident")) : PyRef();
    unsigned long found = number ? PyLong_AsUnsignedLong(number.get()) : 0;
    if (PyErr_Occurred()) {
        PyErr_Clear();
        return 0;
    }
    ident.store(found, std::memory_order_relaxed);
    looked_up_in.store(generation, std::memory_order_release);
    return found;
}

// Python runs signal handlers only on the main thread of the main
// interpreter; on any other thread a wait has nothing to check.
bool runs_signal_handlers() {
    if (PyThreadState_GetInterpreter(PyThreadState_Get()) != PyInterpreterState_Main()) return false;
    const unsigned long main = main_thread_ident();
    return main != 0 && PyThread_get_thread_ident() == main;
}

// The core's hook into the interpreter's signal handlers, asked between its
// bounded waits: takes the interpreter lock back only for the check.
class SignalCheck final : public InterruptCheck {
public:
    PyThreadState* saved = nullptr;  // this thread's state while the lock is given up

    bool interrupted() override {
        PyEval_RestoreThread(saved);
        const bool raised = PyErr_CheckSignals() < 0;
        saved = PyEval_SaveThread();
        return raised;
    }
};

enum class Interruptible : bool { no, yes };

// Runs `work(hook)` with the interpreter lock released; `hook` is the signal
// check for an interruptible call on the thread that runs signal handlers,
// else null. An exception `work` throws is recorded without allocating and
// raised once the lock is back; returns false then.
template <class Work>
bool run_without_interpreter_lock(Work&& work, Interruptible interruptible = Interruptible::no) {
    bool out_of_memory = false;
    std::array<char, 256> unexpected{};
    SignalCheck signals;
    InterruptCheck* hook = interruptible == Interruptible::yes && runs_signal_handlers() ? &signals : nullptr;
    signals.saved = PyEval_SaveThread();
    try {
        work(hook);
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::bad_alloc&) {
        out_of_memory = true;
    } catch (const std::exception& error) {
        std::snprintf(unexpected.data(), unexpected.size(), "%s", error.what());
    } catch (...) {
        std::snprintf(unexpected.data(), unexpected.size(), "%s", "unexpected internal error");
    }
    PyEval_RestoreThread(signals.saved);
    if (out_of_memory) {
        PyErr_NoMemory();
        return false;
    }
    if (unexpected[0] != '\0') {
        raise_unexpected(unexpected.data());
        return false;
    }
    return true;
}

// Moves a new engine record into a new instance of `type`.
PyObject* wrap_record(PyTypeObject* type, Result<EngineRecord> record) {
    if (!record) return raise_failure(std::move(record).failure());
    auto owned = std::make_unique<EngineRecord>(std::move(record).value());
    PyObject* self = type->tp_alloc(type, 0);  // new reference
    if (self == nullptr) return nullptr;       // the record, runtime included, is dropped here
    std::construct_at(&engine_object(self)->record, std::move(owned));
    return self;
}

PyObject* build_from(PyTypeObject* type, const std::optional<std::string>& catalogue_json) {
    std::optional<std::string_view> text;
    if (catalogue_json) text = *catalogue_json;
    return wrap_record(type, from_catalogue_json(text));
}

constexpr std::array<Parameter, 1> catalogue_parameters{{{"catalogue_json", false}}};
constexpr std::array<Parameter, 1> required_catalogue_parameters{{{"catalogue_json", true}}};

PyObject* schema_engine_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 1> bound{};
    if (!bind_tuple_and_dict("SchemaEngine.__new__", catalogue_parameters, args, kwargs, bound)) return nullptr;
    std::optional<std::string> catalogue_json;
    if (!convert_optional_text(bound[0], "catalogue_json", catalogue_json)) return nullptr;
    return build_from(type, catalogue_json);
}

void schema_engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Dropping the record shuts the runtime down (joining its workers,
    // which never need the interpreter) unless a receive still holds it.
    std::destroy_at(&engine_object(self)->record);
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* build_classmethod(const char* function, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> bound{};
    if (!bind_fastcall(function, required_catalogue_parameters, args, nargs, kwnames, bound)) return nullptr;
    std::string catalogue_json;
    if (!convert_text(bound[0], "catalogue_json", catalogue_json)) return nullptr;
    PyTypeObject* type = schema_engine_type();
    if (type == nullptr) return nullptr;
    return build_from(type, catalogue_json);
}

PyObject* schema_engine_build(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_classmethod("SchemaEngine.build", args, nargs, kwnames);
}

PyObject* schema_engine_from_tool_metadata(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build_classmethod("SchemaEngine.from_tool_metadata", args, nargs, kwnames);
}

PyObject* schema_engine_describe(PyObject* self, PyObject*) { return text_to_str(describe(record_of(self).tools)); }

PyObject* schema_engine_tool_count(PyObject* self, PyObject*) {
    return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(record_of(self).tools.size()));
}

PyObject* schema_engine_attach_call_bridge(PyObject* self, PyObject*) {
    record_of(self).bridge->attach();
    Py_RETURN_NONE;
}

PyObject* schema_engine_detach_call_bridge(PyObject* self, PyObject*) {
    record_of(self).bridge->detach();
    Py_RETURN_NONE;
}

PyObject* schema_engine_receive_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static constexpr std::array<Parameter, 1> parameters{{{"timeout_ms", false}}};
    std::array<PyObject*, 1> bound{};
    if (!bind_fastcall("SchemaEngine.receive_tool_call", parameters, args, nargs, kwnames, bound)) return nullptr;
    std::uint64_t timeout_ms = 100;
    if (bound[0] != nullptr && !convert_milliseconds(bound[0], "timeout_ms", timeout_ms)) return nullptr;

    // Own references keep bridge and runtime alive for the whole wait, even
    // if the engine goes away meanwhile, and for as long as `received` may
    // still have to fail its call.
    std::shared_ptr<TokioCallBridge> bridge = record_of(self).bridge;
    std::shared_ptr<Runtime> runtime = record_of(self).runtime;
    std::optional<Result<std::optional<ReceivedRequest>>> received;
    if (!run_without_interpreter_lock(
            [&](InterruptCheck* interrupt) {
                received.emplace(bridge->receive_json(*runtime, std::chrono::seconds(timeout_ms / 1000),
                                                 std::chrono::nanoseconds((timeout_ms % 1000) * 1000000), interrupt));
            },
            Interruptible::yes)) {
        return nullptr;
    }
    if (!*received) return raise_failure(std::move(*received).failure());
    std::optional<ReceivedRequest>& request = received->value();
    if (!request) Py_RETURN_NONE;
    // Should the string not be made, `request` fails its call as it goes.
    PyObject* text = text_to_str(request->document());
    if (text != nullptr) request->delivered();
    return text;
}

// Binds and converts two required str parameters.
bool two_texts(const char* function, const std::array<Parameter, 2>& parameters, PyObject* const* args,
               Py_ssize_t nargs, PyObject* kwnames, std::string& first, std::string& second) {
    std::array<PyObject*, 2> bound{};
    return bind_fastcall(function, parameters, args, nargs, kwnames, bound) &&
           convert_text(bound[0], parameters[0].name, first) && convert_text(bound[1], parameters[1].name, second);
}

PyObject* schema_engine_respond_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                          PyObject* kwnames) {
    static constexpr std::array<Parameter, 2> parameters{{{"request_id", true}, {"result_json", true}}};
    std::string request_id, result_json;
    if (!two_texts("SchemaEngine.respond_tool_call", parameters, args, nargs, kwnames, request_id, result_json)) {
        return nullptr;
    }
    return PyBool_FromLong(record_of(self).bridge->respond(request_id, std::move(result_json)));
}

PyObject* schema_engine_fail_tool_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 2> parameters{{{"request_id", true}, {"message", true}}};
    std::string request_id, message;
    if (!two_texts("SchemaEngine.fail_tool_call", parameters, args, nargs, kwnames, request_id, message)) {
        return nullptr;
    }
    return PyBool_FromLong(record_of(self).bridge->respond(request_id, tool_error_result(message)));
}

PyObject* schema_engine_execute(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static constexpr std::array<Parameter, 2> parameters{{{"query", true}, {"variables_json", false}}};
    std::array<PyObject*, 2> bound{};
    if (!bind_fastcall("SchemaEngine.execute", parameters, args, nargs, kwnames, bound)) return nullptr;
    std::string query;
    std::optional<std::string> variables_json;
    if (!convert_text(bound[0], "query", query) || !convert_optional_text(bound[1], "variables_json", variables_json)) {
        return nullptr;
    }
    const EngineRecord& engine = record_of(self);
    std::optional<std::string> document;
    if (!run_without_interpreter_lock(
            [&](InterruptCheck* interrupt) {
                std::optional<std::string_view> variables;
                if (variables_json) variables = *variables_json;
                document = execute_json(engine, query, variables, interrupt);
            },
            Interruptible::yes)) {
        return nullptr;
    }
    if (!document) return raise_interrupted();
    return text_to_str(*document);
}

constexpr int fastcall_keywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef schema_engine_methods[] = {
    {"build", entry<schema_engine_build>(), fastcall_keywords | METH_CLASS,
     "build($cls, catalogue_json)\n--\n\n"},
    {"from_tool_metadata", entry<schema_engine_from_tool_metadata>(), fastcall_keywords | METH_CLASS,
     "from_tool_metadata($cls, catalogue_json)\n--\n\n"},
    {"describe", entry<schema_engine_describe>(), METH_NOARGS, "describe($self)\n--\n\n"},
    {"tool_count", entry<schema_engine_tool_count>(), METH_NOARGS, "tool_count($self)\n--\n\n"},
    {"attach_call_bridge", entry<schema_engine_attach_call_bridge>(), METH_NOARGS,
     "attach_call_bridge($self)\n--\n\n"},
    {"detach_call_bridge", entry<schema_engine_detach_call_bridge>(), METH_NOARGS,
     "detach_call_bridge($self)\n--\n\n"},
    {"receive_tool_call", entry<schema_engine_receive_tool_call>(), fastcall_keywords,
     "receive_tool_call($self, timeout_ms=...)\n--\n\n"},
    {"respond_tool_call", entry<schema_engine_respond_tool_call>(), fastcall_keywords,
     "respond_tool_call($self, request_id, result_json)\n--\n\n"},
    {"fail_tool_call", entry<schema_engine_fail_tool_call>(), fastcall_keywords,
     "fail_tool_call($self, request_id, message)\n--\n\n"},
    {"execute", entry<schema_engine_execute>(), fastcall_keywords,
     "execute($self, query, variables_json=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

const char schema_engine_doc[] =
    "SchemaEngine(catalogue_json=None)\n--\n\n"
    "Minimal GraphQL schema engine exposed to Python.\n\n"
    "The engine owns GraphQL execution and the ADR-0011 channel bridge: tool "
    "resolvers put requests on a channel and wait for a one-shot response per "
    "call, and never call into Python while holding the interpreter lock.";

PyType_Slot schema_engine_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(&Guarded<schema_engine_new>::call)},
    {Py_tp_dealloc, reinterpret_cast<void*>(schema_engine_dealloc)},
    {Py_tp_doc, const_cast<char*>(schema_engine_doc)},
    {Py_tp_methods, schema_engine_methods},
    {0, nullptr},
};

PyType_Spec schema_engine_spec = {
    "builtins.SchemaEngine",
    sizeof(SchemaEngineObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    schema_engine_slots,
};

PyTypeObject* cached_type = nullptr;  // one strong reference, kept for the life of the process

}  // namespace

PyTypeObject* schema_engine_type() {
#ifdef Py_GIL_DISABLED
    // Without the interpreter lock, the once-only creation needs its own
    // guard; PyMutex detaches from the interpreter while it waits.
    static PyMutex creation_guard = {0};
    PyMutex_Lock(&creation_guard);
#endif
    if (cached_type == nullptr) {
        PyObject* created = PyType_FromSpec(&schema_engine_spec);  // new reference
        // Type creation may run a garbage collection, and so other threads:
        // the first type stored wins.
        if (cached_type == nullptr) {
            cached_type = reinterpret_cast<PyTypeObject*>(created);
        } else {
            Py_XDECREF(created);
        }
    }
    PyTypeObject* type = cached_type;
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&creation_guard);
#endif
    return type;
}

const EngineRecord* engine_record(PyObject* object) {
    PyTypeObject* type = schema_engine_type();
    if (type == nullptr) return nullptr;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_Format(PyExc_TypeError, "expected a SchemaEngine, got %.200s", Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return &record_of(object);
}

bool run_interruptible(const std::function<void(InterruptCheck*)>& work) {
    return run_without_interpreter_lock(work, Interruptible::yes);
}

}  // namespace quorvel::module
