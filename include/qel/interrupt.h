// A caller's way to stop a long call part way through. The core never looks
// at signals itself: it asks the caller's check now and then, at points
// where giving up is cheap, and a yes unwinds the call, freeing everything
// it built, with Error::interrupted().
#ifndef QEL_INTERRUPT_H_
#define QEL_INTERRUPT_H_

#include <cstddef>
#include <cstdint>

namespace qel {

struct Interrupter {
  // True when the call is to stop. Called on the calling thread; not called
  // again in the same call once it has returned true. Null: never stop.
  bool (*check)(void* context) = nullptr;
  void* context = nullptr;
};

namespace detail {

// Asks an Interrupter once per `stride` units of work, so that a poll in an
// inner loop costs a subtraction and a branch. Units are whatever the loop
// counts (requests, parser events, bytes written); heavier steps may count
// several.
class InterruptPoll {
 public:
  InterruptPoll(const Interrupter& interrupter, uint64_t stride)
      : interrupter_(interrupter), stride_(stride), left_(stride) {}

  // Counts `units` of work done; true when the call is to stop.
  bool tick(uint64_t units = 1) {
    if (units < left_) {
      left_ -= units;
      return false;
    }
    left_ = stride_;
    return ask();
  }

  // Whether the check has said stop, asking it now unless it already has.
  bool ask() {
    if (!stopped_ && interrupter_.check != nullptr) {
      stopped_ = interrupter_.check(interrupter_.context);
    }
    return stopped_;
  }

  bool stopped() const { return stopped_; }

 private:
  Interrupter interrupter_;
  uint64_t stride_;
  uint64_t left_;
  bool stopped_ = false;
};

}  // namespace detail

}  // namespace qel

#endif  // QEL_INTERRUPT_H_
