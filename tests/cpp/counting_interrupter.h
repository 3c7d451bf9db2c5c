// An Interrupter for tests: counts the questions and says stop at the
// `stop_at`-th (never when 0).
#ifndef QEL_TESTS_COUNTING_INTERRUPTER_H_
#define QEL_TESTS_COUNTING_INTERRUPTER_H_

#include <cstdint>

#include "qel/interrupt.h"

namespace qel {

struct CountingInterrupter {
  uint64_t asked = 0;
  uint64_t stop_at = 0;

  static bool check(void* self) {
    auto* c = static_cast<CountingInterrupter*>(self);
    return ++c->asked == c->stop_at;
  }
  Interrupter interrupter() { return {&check, this}; }
};

}  // namespace qel

#endif  // QEL_TESTS_COUNTING_INTERRUPTER_H_
