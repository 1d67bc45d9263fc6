// The error value of the columnar path. The binding maps UnsupportedType to
// TypeError and the rest to ValueError.
#pragma once

#include <string>

namespace kavro::columnar {

struct ColumnarError {
  enum class Kind {
    UnsupportedType,  // a column's type cannot carry field values
    UnknownColumn,    // no request columns, a part in both forms, a column not read
    MalformedData,    // the producer handed over arrays that break the format
    StreamFailed,     // the producer's stream reported an error
  };
  Kind kind = Kind::MalformedData;
  std::string message;

  const std::string& render() const { return message; }
};

}  // namespace kavro::columnar
