"""The Python surface of _graphql (module, class, signatures, argument errors, worker pools) and of the
typed layer's own module beside it."""

import gc
import importlib
import math
import os
import subprocess
import sys
import threading
import time
import weakref

import pytest

import _graphql
import _graphql_typed
from conftest import JOIN_TIMEOUT, WORKED_EXAMPLE, call_in_thread, engine_threads
from support.child import python_env

E = _graphql.SchemaEngine
ENGINE = E()


METHODS = {"build", "from_tool_metadata", "describe", "tool_count", "attach_call_bridge", "detach_call_bridge",
           "receive_tool_call", "respond_tool_call", "fail_tool_call", "execute"}


def own_names(namespace) -> set:
    return {name for name in namespace if not (name.startswith("__") and name.endswith("__"))}


def test_module_surface():
    assert (_graphql.__all__, _graphql.__doc__) == (["SchemaEngine", "graphql_stub"], "")
    assert own_names(dir(_graphql)) == {"SchemaEngine", "graphql_stub"}
    assert own_names(vars(E)) == own_names(dir(E)) == METHODS
    stub = _graphql.graphql_stub
    assert stub() == stub() == "quorvel _graphql extension loaded"
    assert (stub.__module__, stub.__text_signature__, stub.__doc__) == ("_graphql", "()", None)
    for args in [(1,), (None,), ("x", 2)]:
        with pytest.raises(TypeError):
            stub(*args)


def test_reimport_keeps_type_and_makes_new_stub():
    original = sys.modules.pop("_graphql")
    try:
        fresh = importlib.import_module("_graphql")
        assert fresh is not original and fresh.SchemaEngine is original.SchemaEngine
        assert fresh.graphql_stub is not original.graphql_stub
        assert fresh.__all__ == ["SchemaEngine", "graphql_stub"]
    finally:
        sys.modules["_graphql"] = original


def test_type_properties():
    assert (E.__module__, E.__name__, E.__qualname__) == ("builtins", "SchemaEngine", "SchemaEngine")
    assert E.__text_signature__ == "(catalogue_json=None)"
    assert E.__doc__.startswith("Minimal GraphQL schema engine exposed to Python.")
    with pytest.raises(TypeError):
        type("Derived", (E,), {})
    for attempt in (lambda: ENGINE.__dict__, lambda: setattr(ENGINE, "extra", 1)):
        with pytest.raises(AttributeError):
            attempt()
    with pytest.raises(TypeError):
        weakref.ref(ENGINE)


@pytest.mark.parametrize("name, signature", {
    "build": "($cls, catalogue_json)", "from_tool_metadata": "($cls, catalogue_json)", "describe": "($self)",
    "tool_count": "($self)", "attach_call_bridge": "($self)", "detach_call_bridge": "($self)",
    "receive_tool_call": "($self, timeout_ms=...)", "respond_tool_call": "($self, request_id, result_json)",
    "fail_tool_call": "($self, request_id, message)", "execute": "($self, query, variables_json=None)",
}.items())
def test_method_signatures(name, signature):
    assert (getattr(E, name).__text_signature__, getattr(E, name).__doc__) == (signature, None)


# The wording follows CPython; what is fixed is the qualified function name and
# the parameter, keyword or count that the message names.
@pytest.mark.parametrize("call, function, named", [
    (lambda: E("[]", "[]"), "__new__", "1"),
    (lambda: E(catalog="[]"), "__new__", "'catalog'"),
    (lambda: E("[]", catalogue_json="[]"), "__new__", "catalogue_json"),
    (lambda: E.build(), "build", "'catalogue_json'"),
    (lambda: E.from_tool_metadata("[]", "[]"), "from_tool_metadata", "1"),
    (lambda: ENGINE.describe(1), "describe", ""),
    (lambda: ENGINE.tool_count(x=1), "tool_count", ""),
    (lambda: ENGINE.detach_call_bridge(None), "detach_call_bridge", ""),
    (lambda: ENGINE.receive_tool_call(1, timeout_ms=1), "receive_tool_call", "timeout_ms"),
    (lambda: ENGINE.respond_tool_call("a"), "respond_tool_call", "'result_json'"),
    (lambda: ENGINE.fail_tool_call("a", "m", reason="m"), "fail_tool_call", "reason"),
    (lambda: ENGINE.execute(), "execute", "'query'"),
    (lambda: ENGINE.execute("q", None, None), "execute", "2"),
    (lambda: ENGINE.execute(1, query="{ search }"), "execute", "query"),
])
def test_binding_errors(call, function, named):
    with pytest.raises(TypeError, match=rf"SchemaEngine\.{function}\(\)") as info:
        call_in_thread(call)
    assert named in str(info.value) and not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("call, error, param", [
    (lambda: E(5), TypeError, "catalogue_json"),
    (lambda: E("\ud800"), UnicodeEncodeError, "catalogue_json"),
    (lambda: E.build(None), TypeError, "catalogue_json"),
    (lambda: E.from_tool_metadata(catalogue_json=b"[]"), TypeError, "catalogue_json"),
    (lambda: ENGINE.receive_tool_call(None), TypeError, "timeout_ms"),
    (lambda: ENGINE.receive_tool_call(1.5), TypeError, "timeout_ms"),
    (lambda: ENGINE.receive_tool_call(-1), OverflowError, "timeout_ms"),
    (lambda: ENGINE.receive_tool_call(timeout_ms=2**64), OverflowError, "timeout_ms"),
    (lambda: ENGINE.respond_tool_call(1, 2), TypeError, "request_id"),
    (lambda: ENGINE.respond_tool_call("tool-call-1", "\ud800"), UnicodeEncodeError, "result_json"),
    (lambda: ENGINE.respond_tool_call("tool-call-1", "\u00e9" * 20 + "\U0001F600\udfff"), UnicodeEncodeError,
     "result_json"),
    (lambda: ENGINE.fail_tool_call(request_id="x", message=None), TypeError, "message"),
    (lambda: ENGINE.execute(123), TypeError, "query"),
    (lambda: ENGINE.execute(variables_json=5, query=7), TypeError, "query"),
    (lambda: ENGINE.execute("{ search }", "\udfff"), UnicodeEncodeError, "variables_json"),
])
def test_conversion_errors_carry_note(call, error, param):
    with pytest.raises(error) as info:
        call_in_thread(call)
    assert info.value.__notes__ == [f"while processing '{param}'"]


@pytest.mark.parametrize("make, tools", [
    (lambda: E(), 0), (lambda: E(None), 0), (lambda: E(catalogue_json=WORKED_EXAMPLE), 3),
    (lambda: E.build(WORKED_EXAMPLE), 3), (lambda: E.from_tool_metadata(catalogue_json=WORKED_EXAMPLE), 3),
])
def test_constructor_forms(make, tools):
    engine = make()
    assert type(engine) is E and engine.tool_count() == tools
    assert engine.describe() == f"quorvel GraphQL schema engine stub ({tools} tool fields)"
    assert call_in_thread(lambda: engine.receive_tool_call(True)) is None  # True is the int 1


@pytest.mark.parametrize("make", [E, E.build, E.from_tool_metadata])
@pytest.mark.parametrize("text", ["{", "[1,]", "[] []"])
def test_invalid_json_from_every_constructor(make, text):
    with pytest.raises(ValueError, match=r"^invalid catalogue JSON: .+ at line \d+ column \d+$"):
        make(text)


def test_execute_variables_forms():
    engine, query = E(WORKED_EXAMPLE), "{ search servers }"
    omitted = call_in_thread(lambda: engine.execute(query))
    assert '"search":[{' in omitted
    for call in (lambda: engine.execute(query, None), lambda: engine.execute(variables_json="{}", query=query)):
        assert call_in_thread(call) == omitted


def expected_pool_sizes() -> set:
    cpus = len(os.sched_getaffinity(0))
    try:
        with open("/sys/fs/cgroup/cpu.max") as f:
            quota, period = f.read().split()
        limit = int(quota) / int(period)
    except (OSError, ValueError):  # no cgroup v2 quota ("max" or no file)
        return {cpus}
    # A fractional quota may reasonably be rounded either way.
    return {max(1, min(cpus, math.floor(limit))), max(1, min(cpus, math.ceil(limit)))}


def settle(predicate) -> bool:
    deadline = time.monotonic() + 10
    while not predicate() and time.monotonic() < deadline:
        time.sleep(0.01)
    return predicate()


@pytest.mark.parametrize("make, count", [(E, 1), (lambda: E.build(WORKED_EXAMPLE), 1),
                                         (lambda: E.from_tool_metadata("[]"), 3), (lambda: E(" \n"), 2)])
def test_each_engine_owns_a_pool(make, count):
    gc.collect()
    base = engine_threads()
    engines = [make() for _ in range(count)]
    sizes = {count * size for size in expected_pool_sizes()}
    assert settle(lambda: engine_threads() - base in sizes), (engine_threads() - base, sizes)
    del engines
    gc.collect()
    assert settle(lambda: engine_threads() == base), (engine_threads(), base)
    for text in ["{", "[1e400]", "[" * 200]:  # refused catalogues start nothing
        with pytest.raises(ValueError):
            E(text)
        assert engine_threads() == base


# -- the typed layer's module ------------------------------------------------------


def test_typed_module_surface():
    assert _graphql_typed.__all__ == ["TypedSchema"]
    assert own_names(dir(_graphql_typed)) == {"TypedSchema"}
    typed = _graphql_typed.TypedSchema(E(WORKED_EXAMPLE), WORKED_EXAMPLE)
    assert typed.tool_count() == 3
    assert call_in_thread(lambda: typed.execute("{ servers { name } }")) == \
        '{"data":{"servers":[{"name":"files"},{"name":"notes"}]}}'


@pytest.mark.parametrize("engine", [None, "[]", object(), _graphql_typed.TypedSchema(ENGINE, "[]")],
                         ids=["None", "str", "object", "TypedSchema"])
def test_typed_schema_refuses_what_is_not_an_engine(engine):
    with pytest.raises(TypeError, match="SchemaEngine"):
        _graphql_typed.TypedSchema(engine, "[]")


def test_typed_schema_takes_engines_of_a_reimported_graphql():
    original = sys.modules.pop("_graphql")
    try:
        fresh = importlib.import_module("_graphql")
        assert _graphql_typed.TypedSchema(fresh.SchemaEngine("[]"), "[]").tool_count() == 0
    finally:
        sys.modules["_graphql"] = original


# Imported first, the typed module is the first to ask for the SchemaEngine
# type; _graphql must then offer that very type, not a second one.
TYPED_FIRST = """
import _graphql_typed, _graphql
typed = _graphql_typed.TypedSchema(_graphql.SchemaEngine("[]"), "[]")
print(typed.tool_count(), _graphql.__all__)
"""


def test_typed_module_imported_first_accepts_graphql_engines():
    child = subprocess.run([sys.executable, "-c", TYPED_FIRST], env=python_env(), capture_output=True, text=True,
                           timeout=JOIN_TIMEOUT)
    assert (child.returncode, child.stdout, child.stderr) == (0, "0 ['SchemaEngine', 'graphql_stub']\n", "")
