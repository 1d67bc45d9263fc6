// TextSink: where the text form is written. Either everything is appended to
// one string (messages, tests), or the text is handed on in chunks of
// kChunkBytes (the policy hash), so that a large policy is never held whole.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>

namespace kavro::compiler {

class TextSink {
 public:
  using Drain = void (*)(void* context, std::string_view chunk);
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  // Appends everything written to `out`.
  explicit TextSink(std::string& out) : out_(&out) {}
  // Hands everything written to `drain`, in order; call flush() at the end.
  TextSink(Drain drain, void* context)
      : buffer_(new char[kChunkBytes]),
        next_(buffer_.get()),
        end_(buffer_.get() + kChunkBytes),
        drain_(drain),
        context_(context) {}
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  // The chunked case is the hot one (every policy_hash call): one bounds
  // check per piece, then a plain copy into the chunk buffer.
  TextSink& operator+=(std::string_view text) {
    if (out_ != nullptr) {
      out_->append(text);
    } else if (text.size() <= static_cast<std::size_t>(end_ - next_)) {
      std::memcpy(next_, text.data(), text.size());
      next_ += text.size();
    } else {
      overflow(text);
    }
    return *this;
  }
  TextSink& operator+=(char c) {
    if (out_ != nullptr) {
      out_->push_back(c);
    } else {
      if (next_ == end_) flush();
      *next_++ = c;
    }
    return *this;
  }
  void append(std::size_t count, char c) {
    if (out_ != nullptr) {
      out_->append(count, c);
      return;
    }
    while (count > 0) {
      if (next_ == end_) flush();
      const std::size_t step = std::min(count, static_cast<std::size_t>(end_ - next_));
      std::memset(next_, c, step);
      next_ += step;
      count -= step;
    }
  }

  // Hands on whatever the buffer holds; nothing to do when appending to a string.
  void flush() {
    if (out_ != nullptr || next_ == buffer_.get()) return;
    drain_(context_,
           std::string_view(buffer_.get(), static_cast<std::size_t>(next_ - buffer_.get())));
    next_ = buffer_.get();
  }

 private:
  // Fills the chunk, hands it on and carries on with the rest of `text`.
  void overflow(std::string_view text) {
    while (!text.empty()) {
      if (next_ == end_) flush();
      const std::size_t step = std::min(text.size(), static_cast<std::size_t>(end_ - next_));
      std::memcpy(next_, text.data(), step);
      next_ += step;
      text.remove_prefix(step);
    }
  }

  std::string* out_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  char* next_ = nullptr;
  char* end_ = nullptr;
  Drain drain_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace kavro::compiler
