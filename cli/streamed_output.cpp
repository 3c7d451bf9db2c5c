#include "streamed_output.h"

#include "parallel.h"

namespace qel::cli {
namespace {

// Large enough that writes are few, small enough not to matter.
constexpr std::size_t kPiece = std::size_t{1} << 16;

}  // namespace

StreamedOutput::StreamedOutput(Io& io) : io_(io) {}

void StreamedOutput::finish() {
  io_.out.append(data_, size_);
  size_ = 0;
  flush_output(io_);
}

Interrupter StreamedOutput::handing_on() {
  Interrupter interrupter;
  interrupter.context = this;
  interrupter.check = [](void* self) {
    static_cast<StreamedOutput*>(self)->finish();
    return false;
  };
  return interrupter;
}

void StreamedOutput::grow(std::size_t total) {
  // What the caller is about to write goes at the start of a fresh piece.
  const std::size_t wanted = total - size_;
  finish();
  // A request larger than a piece (a long string, or a writer's guess at
  // the whole size) gets a buffer of its own, given back at the next one.
  const std::size_t capacity = wanted > kPiece ? wanted : kPiece;
  if (capacity != capacity_) {
    buffer_.reset();
    capacity_ = 0;  // should the allocation fail
    buffer_.reset(new char[capacity]);
    capacity_ = capacity;
  }
  data_ = buffer_.get();
}

}  // namespace qel::cli
