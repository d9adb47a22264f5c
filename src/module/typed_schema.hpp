// The TypedSchema type as Python sees it: standard GraphQL over a
// SchemaEngine.
#pragma once

#include <Python.h>

namespace quorvel::module {

// A new TypedSchema type object (new reference), or nullptr with an
// exception set.
PyObject* typed_schema_type();

}  // namespace quorvel::module
