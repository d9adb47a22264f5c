// The SchemaEngine type as Python sees it.
#pragma once

#include <Python.h>

namespace quorvel::module {

// The process-wide SchemaEngine type, created on first use. Returns a
// borrowed reference, or nullptr with an exception set.
PyTypeObject* schema_engine_type();

}  // namespace quorvel::module
