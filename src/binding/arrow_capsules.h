// The Arrow PyCapsule protocol: taking Arrow data lent by another library
// (`__arrow_c_stream__` or `__arrow_c_array__`) and lending our own.
// Capsules carry the C structs of columnar/arrow_abi.h; taking one moves the
// struct out, so the lender's capsule no longer releases it.
#pragma once

#include <memory>

#include "binding/python_api.h"
#include "columnar/arrow_abi.h"
#include "columnar/decisions.h"

namespace kavro::binding {

// Either a stream, or one schema with one array.
struct LentArrow {
  columnar::Owned<columnar::ArrowArrayStream> stream;
  columnar::Owned<columnar::ArrowSchema> schema;
  columnar::Owned<columnar::ArrowArray> array;
};

// Releases whatever `lent` still holds, stream first.
void release_lent(LentArrow& lent);

// Takes the Arrow data `data` exports, preferring a stream. Returns false with
// an exception set (a TypeError for an object that exports none).
bool take_arrow(PyObject* data, const char* argument, LentArrow& out);

// New capsules lending the decisions; null with an exception set.
PyObject* stream_capsule(std::shared_ptr<const columnar::DecisionSet> decisions);
// A (schema, array) tuple of capsules.
PyObject* array_capsules(const columnar::DecisionSet& decisions);

}  // namespace kavro::binding
