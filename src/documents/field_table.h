// Field tables: how a record family describes its records to the generic
// readers. A shape names the record type, its name in messages and its fields
// in declaration order; each field pairs a key with a member and the reader of
// its value. Readers whose `is_optional` is true make the field optional.
#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "documents/read_messages.h"
#include "support/result.h"

namespace kavro {

// The target of a field whose value is the whole record: a choice variant
// written as a one-key mapping around its value.
struct WholeRecord {};

template <class Record, class Target, class Reader>
struct Field {
  using record_type = Record;

  std::string_view key;
  Target target;
  Reader reader;

  template <class Value>
  void store(Record& record, Value&& value) const {
    if constexpr (std::is_same_v<Target, WholeRecord>) {
      record = std::forward<Value>(value);
    } else {
      record.*target = std::forward<Value>(value);
    }
  }
};

template <class Record, class Member, class Reader>
constexpr auto field(std::string_view key, Member Record::*member, Reader reader) {
  return Field<Record, Member Record::*, Reader>{key, member, reader};
}

template <class Record, class Reader>
constexpr auto whole(std::string_view key, Reader reader) {
  return Field<Record, WholeRecord, Reader>{key, {}, reader};
}

template <class Reader>
constexpr bool is_optional_reader() {
  if constexpr (requires { Reader::is_optional; }) {
    return Reader::is_optional;
  } else {
    return false;
  }
}

// "struct <Record>", or "struct variant <Choice>::<Variant>" for a shape that
// names the `choice` it is a variant of.
template <class Shape>
std::string expected_record() {
  if constexpr (requires { Shape::choice; }) {
    return "struct variant " + std::string(Shape::choice) + "::" + std::string(Shape::name);
  } else {
    return "struct " + std::string(Shape::name);
  }
}

template <class Shape>
class FieldTable {
 public:
  static constexpr std::size_t size = std::tuple_size_v<std::decay_t<decltype(Shape::fields)>>;
  using Seen = std::array<bool, size>;

  // The position of the field named `key`, or `size` when none is.
  static std::size_t find(std::string_view key) {
    std::size_t found = size;
    for_each_field([&](std::size_t index, const auto& field) {
      if (found == size && field.key == key) found = index;
    });
    return found;
  }

  // Calls `visitor(field)` for the field at `index`.
  template <class Visitor>
  static void visit(std::size_t index, Visitor&& visitor) {
    visit_at(index, visitor, std::make_index_sequence<size>());
  }

  static std::vector<std::string_view> keys() {
    std::vector<std::string_view> all;
    for_each_field([&](std::size_t, const auto& field) { all.push_back(field.key); });
    return all;
  }

  // The key of the first required field (in declaration order) not seen.
  static std::optional<std::string_view> first_missing(const Seen& seen) {
    std::optional<std::string_view> missing;
    for_each_field([&](std::size_t index, const auto& field) {
      using Reader = std::decay_t<decltype(field.reader)>;
      if (!missing && !seen[index] && !is_optional_reader<Reader>()) missing = field.key;
    });
    return missing;
  }

 private:
  template <class Visitor, std::size_t... I>
  static void visit_at(std::size_t index, Visitor& visitor, std::index_sequence<I...>) {
    ((I == index ? visitor(std::get<I>(Shape::fields)) : void()), ...);
  }

  template <class Visitor>
  static void for_each_field(Visitor&& visitor) {
    [&]<std::size_t... I>(std::index_sequence<I...>) {
      (visitor(I, std::get<I>(Shape::fields)), ...);
    }
    (std::make_index_sequence<size>());
  }
};

// A record being filled from the entries of one mapping. `Error` is the
// failure type of the reading mode, constructible from a message text.
template <class Shape, class Error>
class RecordAssembly {
 public:
  using Record = typename Shape::value_type;
  using Table = FieldTable<Shape>;

  // Reads the value of the field at `index` with `read(field.reader)`, which
  // returns a Result; fails at once when the field was seen before.
  template <class Read>
  Result<Unit, Error> take(std::size_t index, Read&& read) {
    std::optional<Error> failure;
    Table::visit(index, [&](const auto& field) {
      if (seen_[index]) {
        failure.emplace(duplicate_field(field.key));
        return;
      }
      seen_[index] = true;
      auto value = read(field.reader);
      if (value) {
        field.store(record_, std::move(value).value());
      } else {
        failure.emplace(std::move(value).error());
      }
    });
    if (failure) return fail(std::move(*failure));
    return Unit{};
  }

  Result<Record, Error> finish() && {
    if (auto missing = Table::first_missing(seen_)) return fail(Error(missing_field(*missing)));
    return std::move(record_);
  }

 private:
  Record record_{};
  typename Table::Seen seen_{};
};

}  // namespace kavro
