// The SchemaEngine type as Python sees it.
#pragma once

#include <Python.h>

#include <functional>

#include "bridge/runtime.hpp"
#include "execution/engine.hpp"

namespace quorvel::module {

// The process-wide SchemaEngine type, created on first use. Returns a
// borrowed reference, or nullptr with an exception set.
PyTypeObject* schema_engine_type();

// The engine of a SchemaEngine instance (borrowed, alive as long as the
// instance), or nullptr with a TypeError set for any other object.
const EngineRecord* engine_record(PyObject* object);

// Runs `work` without the interpreter lock, interruptible as execute is:
// on the thread that runs signal handlers, `work` gets the hook that asks
// them. False with an exception set when `work` threw.
bool run_interruptible(const std::function<void(InterruptCheck*)>& work);

}  // namespace quorvel::module
