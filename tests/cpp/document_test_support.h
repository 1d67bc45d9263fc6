// Helpers for the document loader tests: load a text as one of the three roots
// and get the complete message ("" when it loaded).
#pragma once

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <string_view>

#include "documents/loader.h"

namespace kavro::testing {

enum class Root { Schema, Policy, Governance };

inline std::string load_message(Root root, std::string_view text) {
  switch (root) {
    case Root::Schema:
      if (auto result = documents::load_schema(text); !result) return result.error().render();
      return "";
    case Root::Policy:
      if (auto result = documents::load_policy(text); !result) return result.error().render();
      return "";
    case Root::Governance:
      if (auto result = documents::load_governance(text); !result) return result.error().render();
      return "";
  }
  return "unreachable";
}

// One row of a message table: the text of a document and the complete message
// that loading it gives ("" for a document that loads).
struct MessageCase {
  std::string name;
  Root root;
  std::string text;
  std::string message;
};

inline void PrintTo(const MessageCase& row, std::ostream* out) {
  *out << row.name;
}

inline std::string row_name(const ::testing::TestParamInfo<MessageCase>& info) {
  return info.param.name;
}

}  // namespace kavro::testing
