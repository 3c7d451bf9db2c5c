// Freeing a large structure off the caller's thread. An interrupted call
// should answer at once, but a model of hundreds of megabytes takes a good
// part of a second to free; a thread of its own frees it instead while the
// error goes back. Only plain memory is freed there: nothing that a
// disposed value owns may call back into the caller (Python above all).
#ifndef QEL_UTIL_DISPOSE_H_
#define QEL_UTIL_DISPOSE_H_

#include <chrono>
#include <future>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>

#include "qel/interrupt.h"

namespace qel::detail {

// Destroys `value` on a detached thread, or here and now when no thread
// can be started (or no memory is left to move it into).
template <typename T>
void dispose_later(T&& value) noexcept {
  static_assert(!std::is_lvalue_reference_v<T>, "hand the value over");
  using Held = std::remove_cvref_t<T>;
  std::unique_ptr<Held> held;
  try {
    held = std::make_unique<Held>(std::forward<T>(value));
  } catch (const std::bad_alloc&) {
    // `value` is still the caller's and is freed there.
    return;
  }
  try {
    std::thread([owned = std::move(held)]() mutable { owned.reset(); })
        .detach();
  } catch (const std::system_error&) {
    // No thread: the value went with the lambda, freed here.
  } catch (const std::bad_alloc&) {
  }
}

// Destroys `value` on a thread of its own while this one waits, asking
// `interrupter` every few milliseconds: true once it is gone, false when
// the interrupter said stop (the thread then finishes alone). Without a
// thread, destroys it here and returns true.
template <typename T>
bool dispose_asking(T&& value, const Interrupter& interrupter) noexcept {
  static_assert(!std::is_lvalue_reference_v<T>, "hand the value over");
  using Held = std::remove_cvref_t<T>;
  if (interrupter.check == nullptr) {
    Held gone(std::forward<T>(value));
    return true;
  }
  try {
    auto held = std::make_unique<Held>(std::forward<T>(value));
    std::promise<void> freed;
    std::future<void> done = freed.get_future();
    std::thread freeing(
        [owned = std::move(held), freed = std::move(freed)]() mutable {
          owned.reset();
          freed.set_value();
        });
    constexpr std::chrono::milliseconds kAskEvery{2};
    while (done.wait_for(kAskEvery) != std::future_status::ready) {
      if (interrupter.check(interrupter.context)) {
        freeing.detach();
        return false;
      }
    }
    freeing.join();
  } catch (const std::system_error&) {
    // No thread (or no future): the value was freed here.
  } catch (const std::bad_alloc&) {
    // Not moved, or freed here with the lambda: the caller frees the rest.
  }
  return true;
}

}  // namespace qel::detail

#endif  // QEL_UTIL_DISPOSE_H_
