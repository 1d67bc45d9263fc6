// A request's parts written as JSON into a decision log line: ,"part":{…}
// for each of action, actor and snapshot it holds, in that order, each value
// as the standard encoder writes it (a value of another type as what it
// converted to), so that the line reads back to the request as decided.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "binding/python_api.h"
#include "engine/values.h"

namespace kavro::binding {

// Fields written as "<masked>", by part.
using FieldMask = std::array<std::vector<std::string>, engine::kDomainCount>;

enum class Rendering {
  Written,
  Unwritten,  // something only the caller's own encoder writes; nothing pending
  Failed,     // an exception is pending
};

// `decided`: evaluate took the request, so each value converts, and one that
// converts only through its hooks is written as what it converted to.
// Otherwise such a value, a map that is not a dict or a key that is not a
// str leaves the request Unwritten. Each masked field is named in `masked`
// as "part.field". On anything but Written, `masked` is as it was and `out`
// may end in part of the request, for the caller to cut (a hook may have
// logged meanwhile, so only the caller knows where its own text starts).
Rendering append_request_parts(PyObject* request, const FieldMask& mask, bool decided,
                               std::string& out, std::vector<std::string>& masked);

// The same text written while evaluate converts the request, entry by entry,
// so that the request is walked once: each map it converts opens a part, each
// entry is written from the value as converted (an int as its digits).
class PartsWriter {
 public:
  PartsWriter(std::string& out, const FieldMask& mask, std::vector<std::string>& masked)
      : out_(out), mask_(mask), masked_(masked) {}

  void open_part(engine::Domain domain);
  // `key` is a str whose UTF-8 the conversion has read; false with an
  // exception set when writing an int's digits failed.
  bool entry(engine::Domain domain, PyObject* key, PyObject* value,
             const engine::ValueView& converted);
  void close_part() { out_ += '}'; }

 private:
  std::string& out_;
  const FieldMask& mask_;
  std::vector<std::string>& masked_;
  bool first_ = true;
};

}  // namespace kavro::binding
