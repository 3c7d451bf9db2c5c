// Output that grows as it is written, in memory its owner provides. The
// execution result is the largest text the core writes; the Python module
// hands in the str it will return, so the result is written once, in its
// final place, instead of into a buffer and then copied.
#ifndef QEL_OUTPUT_H_
#define QEL_OUTPUT_H_

#include <cstddef>
#include <cstring>
#include <string>
#include <string_view>

namespace qel {

// Contiguous bytes with the subset of std::string's appending interface the
// writers use. Growing may move the bytes; it throws std::bad_alloc when
// memory cannot be had.
class Output {
 public:
  Output() = default;
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  char* data() { return data_; }
  const char* data() const { return data_; }
  std::string_view view() const { return {data_, size_}; }

  void reserve(std::size_t total) {
    if (total > capacity_) grow(total);
  }
  // Sets the size; bytes past the old size are unspecified until written.
  void resize(std::size_t total) {
    reserve(total);
    size_ = total;
  }

  void push_back(char c) {
    if (size_ == capacity_) grow(size_ + 1);
    data_[size_++] = c;
  }
  void append(const char* text, std::size_t n) {
    reserve(size_ + n);
    std::memcpy(data_ + size_, text, n);
    size_ += n;
  }
  void append(const char* first, const char* last) {
    append(first, static_cast<std::size_t>(last - first));
  }
  void append(std::string_view text) { append(text.data(), text.size()); }
  void append(std::size_t n, char c) {
    reserve(size_ + n);
    std::memset(data_ + size_, c, n);
    size_ += n;
  }
  Output& operator+=(char c) {
    push_back(c);
    return *this;
  }
  Output& operator+=(std::string_view text) {
    append(text);
    return *this;
  }

  // Room for `n` more bytes at the returned place; advance() then counts
  // those written. Lets a writer store a fixed-size block and keep part.
  char* room(std::size_t n) {
    reserve(size_ + n);
    return data_ + size_;
  }
  void advance(std::size_t n) { size_ += n; }

  // A hint from a writer that can tell, part way, about how long its text
  // will be in all: an owner may take that room at once instead of growing
  // step by step (each step may move what was written). Nothing depends on
  // the hint being taken.
  virtual void expect(std::size_t total) noexcept { (void)total; }

  // Whether text written may hold bytes above 0x7F. Writers of text taken
  // from input note it (the JSON string writer does), so that an owner that
  // keeps ASCII apart need not look at every byte again.
  bool non_ascii() const { return non_ascii_; }
  void note_non_ascii() { non_ascii_ = true; }

 protected:
  ~Output() = default;

  // Makes room for at least `total` bytes, keeping the first size() bytes,
  // and sets data_ and capacity_. Implementations grow geometrically, so
  // that appending stays linear.
  virtual void grow(std::size_t total) = 0;

  // Never null, so that appending nothing before the first growth is a
  // copy of zero bytes to a valid place.
  char* data_ = no_bytes_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
  bool non_ascii_ = false;

 private:
  inline static char no_bytes_[1] = {};
};

// Appends to a std::string: the string holds the bytes from construction
// and has exactly the written ones once this is destroyed.
class StringOutput final : public Output {
 public:
  explicit StringOutput(std::string& out) : out_(out) {
    size_ = out_.size();
    out_.resize(out_.capacity());
    data_ = out_.data();
    capacity_ = out_.size();
  }
  ~StringOutput() { out_.resize(size_); }

 private:
  void grow(std::size_t total) override {
    const std::size_t doubled = 2 * capacity_;
    out_.resize(total > doubled ? total : doubled);
    data_ = out_.data();
    capacity_ = out_.size();
  }

  std::string& out_;
};

}  // namespace qel

#endif  // QEL_OUTPUT_H_
