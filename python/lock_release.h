// The interpreter lock released around the core's work, for qelkit's
// functions and methods alike.
#ifndef QEL_PYTHON_LOCK_RELEASE_H_
#define QEL_PYTHON_LOCK_RELEASE_H_

#include <cassert>
#include <chrono>

#include "py_support.h"
#include "qel/error.h"
#include "qel/interrupt.h"

namespace qel::python {

// Only the main thread runs signal handlers, so only its calls ask.
inline unsigned long main_thread_ident = 0;

// The interpreter lock released for the life of this object. A call on the
// main thread that runs long takes the lock back briefly every
// kSignalInterval to run pending signal handlers: Ctrl-C then stops it,
// with KeyboardInterrupt set in the calling thread. Short calls never take
// it back, so threads do not wait on each other.
class Released {
 public:
  Released()
      : asks_(PyThread_get_thread_ident() == main_thread_ident),
        next_(std::chrono::steady_clock::now() + kSignalInterval),
        saved_(PyEval_SaveThread()) {}
  ~Released() { PyEval_RestoreThread(saved_); }
  Released(const Released&) = delete;
  Released& operator=(const Released&) = delete;

  Interrupter interrupter() {
    return asks_ ? Interrupter{&signal_raised, this} : Interrupter{};
  }

 private:
  static constexpr std::chrono::milliseconds kSignalInterval{20};

  static bool signal_raised(void* context) noexcept {
    auto* self = static_cast<Released*>(context);
    const auto now = std::chrono::steady_clock::now();
    if (now < self->next_) return false;
    self->next_ = now + kSignalInterval;
    PyEval_RestoreThread(self->saved_);
    const bool raised = PyErr_CheckSignals() != 0;
    self->saved_ = PyEval_SaveThread();
    return raised;
  }

  bool asks_;
  std::chrono::steady_clock::time_point next_;
  PyThreadState* saved_;
};

inline PyObject* raise_error(const Error& error) {
  // Stopped by a signal handler's exception, which stays set.
  if (error.kind() == ErrorKind::kInterrupted) {
    assert(PyErr_Occurred() != nullptr);
    return nullptr;
  }
  return raise_value_error(error.to_string());
}

// The ident of the interpreter's main thread, from threading.
inline bool read_main_thread_ident() {
  PyRef threading(PyImport_ImportModule("threading"));
  if (threading.get() == nullptr) return false;
  PyRef main(PyObject_CallMethod(threading.get(), "main_thread", nullptr));
  if (main.get() == nullptr) return false;
  PyRef ident(PyObject_GetAttrString(main.get(), "ident"));
  if (ident.get() == nullptr) return false;
  main_thread_ident = PyLong_AsUnsignedLong(ident.get());
  return !PyErr_Occurred();
}

}  // namespace qel::python

#endif  // QEL_PYTHON_LOCK_RELEASE_H_
