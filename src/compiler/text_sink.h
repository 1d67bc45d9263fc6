// TextSink: where the text form is written. Either everything is appended to
// one string (messages, tests), or the text is handed on in chunks of about
// kChunkBytes (the policy hash), so that a large policy is never held whole.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kavro {

class TextSink {
 public:
  using Drain = void (*)(void* context, std::string_view chunk);
  static constexpr std::size_t kChunkBytes = 64 * 1024;

  // Appends everything written to `out`.
  explicit TextSink(std::string& out) : out_(&out) {}
  // Hands everything written to `drain`, in order; call flush() at the end.
  TextSink(Drain drain, void* context) : out_(&buffer_), drain_(drain), context_(context) {
    buffer_.reserve(kChunkBytes);
  }
  TextSink(const TextSink&) = delete;
  TextSink& operator=(const TextSink&) = delete;

  TextSink& operator+=(std::string_view text) {
    if (drain_ != nullptr && text.size() >= kChunkBytes) {
      // A long piece goes on as it is rather than through the buffer.
      flush();
      drain_(context_, text);
      return *this;
    }
    out_->append(text);
    written();
    return *this;
  }
  TextSink& operator+=(char c) {
    out_->push_back(c);
    written();
    return *this;
  }
  void append(std::size_t count, char c) {
    out_->append(count, c);
    written();
  }

  // Hands on whatever the buffer holds; nothing to do when appending to a string.
  void flush() {
    if (drain_ == nullptr || buffer_.empty()) return;
    drain_(context_, buffer_);
    buffer_.clear();
  }

 private:
  void written() {
    if (drain_ != nullptr && buffer_.size() >= kChunkBytes) flush();
  }

  std::string buffer_;
  std::string* out_;
  Drain drain_ = nullptr;
  void* context_ = nullptr;
};

}  // namespace kavro
