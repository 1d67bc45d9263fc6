// The Arrow C data and C stream interfaces: a published, stable ABI through
// which another library lends us columns without either side linking the
// other. The layouts below must match it member for member.
//
// Ownership: whoever holds a struct whose `release` is non-null must call it
// exactly once; moving a struct means copying it and nulling the source's
// `release`.
#pragma once

#include <cstdint>

namespace kavro::columnar {

inline constexpr std::int64_t kArrowFlagNullable = 2;

struct ArrowSchema {
  const char* format;
  const char* name;
  const char* metadata;
  std::int64_t flags;
  std::int64_t n_children;
  ArrowSchema** children;
  ArrowSchema* dictionary;
  void (*release)(ArrowSchema*);
  void* private_data;
};

struct ArrowArray {
  std::int64_t length;
  std::int64_t null_count;
  std::int64_t offset;
  std::int64_t n_buffers;
  std::int64_t n_children;
  const void** buffers;
  ArrowArray** children;
  ArrowArray* dictionary;
  void (*release)(ArrowArray*);
  void* private_data;
};

struct ArrowArrayStream {
  int (*get_schema)(ArrowArrayStream*, ArrowSchema* out);
  int (*get_next)(ArrowArrayStream*, ArrowArray* out);
  const char* (*get_last_error)(ArrowArrayStream*);
  void (*release)(ArrowArrayStream*);
  void* private_data;
};

// Owns one ABI struct and releases it once; T is one of the three above.
template <class T>
class Owned {
 public:
  Owned() { raw_.release = nullptr; }
  // Takes over `source`, leaving it released-looking (the ABI's move).
  static Owned take(T* source) {
    Owned owned;
    owned.raw_ = *source;
    source->release = nullptr;
    return owned;
  }
  Owned(Owned&& other) noexcept : raw_(other.raw_) { other.raw_.release = nullptr; }
  Owned& operator=(Owned&& other) noexcept {
    if (this != &other) {
      reset();
      raw_ = other.raw_;
      other.raw_.release = nullptr;
    }
    return *this;
  }
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() { reset(); }

  T* get() { return &raw_; }
  const T* get() const { return &raw_; }
  T& operator*() { return raw_; }
  const T& operator*() const { return raw_; }
  T* operator->() { return &raw_; }
  const T* operator->() const { return &raw_; }
  bool held() const { return raw_.release != nullptr; }
  void reset() {
    if (raw_.release != nullptr) raw_.release(&raw_);
    raw_.release = nullptr;
  }

 private:
  T raw_{};
};

}  // namespace kavro::columnar
