// One evaluation's error channel: the floating-point flags of every worker, the failures and
// exceptions of any of them, and the stop that a failure or Ctrl-C asks of them all.
#pragma once

#include <Python.h>

#include <atomic>
#include <cfenv>
#include <ctime>
#include <mutex>

namespace quorvex::expressions {

/// The flags raised so far on this thread, in both floating-point units (NumPy reads both).
inline int raised_flags() { return std::fetestexcept(FE_ALL_EXCEPT); }

/// What ends an evaluation without a Python exception of its own.
enum class Failure { none, no_memory, iterator, negative_power };

class ErrorChannel {
 public:
  ErrorChannel() = default;
  ErrorChannel(const ErrorChannel&) = delete;
  ErrorChannel& operator=(const ErrorChannel&) = delete;
  ~ErrorChannel() {  // with the GIL held, as the evaluation ends
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(traceback_);
  }

  /// Asks every worker to take no further block.
  void stop() { stopped_.store(true, std::memory_order_relaxed); }
  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

  void add_flags(int flags) { flags_.fetch_or(flags, std::memory_order_relaxed); }
  int flags() const { return flags_.load(std::memory_order_relaxed); }

  /// A failure of any worker; the first one is reported. `message`: the iterator's, static.
  void fail(Failure failure, const char* message = nullptr) {
    std::lock_guard lock(mutex_);
    if (failure_ == Failure::none) {
      failure_ = failure;
      message_ = message;
    }
    stop();
  }

  /// With the GIL held: keeps the exception pending on this thread, the first of the
  /// evaluation (a helper's NumPy loop set it, with npy_gil_error).
  void take_exception() {
    if (!PyErr_Occurred()) return;
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    std::lock_guard lock(mutex_);
    if (type_ == nullptr) {
      type_ = type, value_ = value, traceback_ = traceback;
    } else {
      Py_XDECREF(type);
      Py_XDECREF(value);
      Py_XDECREF(traceback);
    }
    stop();
  }

  /// With the GIL held, after the workers: sets the evaluation's error as the pending
  /// exception, if it has one; an exception already pending on the calling thread (its own
  /// NumPy loop's, or KeyboardInterrupt) comes first.
  bool raise_error() {
    if (PyErr_Occurred()) return true;
    if (type_ != nullptr) {
      PyErr_Restore(type_, value_, traceback_);
      type_ = value_ = traceback_ = nullptr;
      return true;
    }
    switch (failure_) {
      case Failure::none:
        return false;
      case Failure::no_memory:
        PyErr_SetString(PyExc_MemoryError, "no memory for the registers");
        return true;
      case Failure::iterator:
        PyErr_SetString(PyExc_ValueError, message_ != nullptr ? message_ : "iteration failed");
        return true;
      case Failure::negative_power:
        PyErr_SetString(PyExc_ValueError, "Integers to negative integer powers are not allowed.");
        return true;
    }
    return false;
  }

 private:
  std::atomic<bool> stopped_{false};
  std::atomic<int> flags_{0};
  std::mutex mutex_;
  Failure failure_ = Failure::none;
  const char* message_ = nullptr;
  PyObject *type_ = nullptr, *value_ = nullptr, *traceback_ = nullptr;
};

/// A pool thread's own Python thread state, made on first need and kept for the thread's
/// life. NumPy's loops set their errors through PyGILState_Ensure: on a thread without a
/// state, the one it makes is deleted, with the error, as soon as it is released.
inline PyThreadState* pool_thread_state() {
  thread_local PyThreadState* state = nullptr;
  if (state == nullptr) {
    PyGILState_Ensure();  // never released: the state stays this thread's
    state = PyEval_SaveThread();
  }
  return state;
}

/// Whether an exception is pending on a thread state, read by the thread that owns it
/// without the GIL: nothing else writes a state's exception.
inline bool has_exception(const PyThreadState* state) {
#if PY_VERSION_HEX >= 0x030C0000
  return state->current_exception != nullptr;
#else
  return state->curexc_type != nullptr;
#endif
}

/// Hands an exception a NumPy loop left on this pool thread to the evaluation; the GIL is
/// taken only when there is one.
inline void hand_over_exception(ErrorChannel& errors) {
  PyThreadState* state = pool_thread_state();
  if (!has_exception(state)) return;
  PyEval_RestoreThread(state);
  errors.take_exception();
  PyEval_SaveThread();
}

/// Ctrl-C between the blocks of the thread that holds the call. Python runs signal handlers
/// in the main thread alone, with the GIL: that thread takes the GIL back for a moment every
/// few milliseconds of its blocks, and a handler's exception stops every worker.
class SignalCheck {
 public:
  /// `caller`: the state the calling thread released the GIL from, if it is the main thread.
  explicit SignalCheck(PyThreadState* caller) : caller_(caller) { next_ = now() + interval; }

  void between_blocks(ErrorChannel& errors) {
    if (caller_ == nullptr || now() < next_) return;
    PyEval_RestoreThread(caller_);
    if (PyErr_CheckSignals() < 0) errors.stop();  // the exception stays pending here
    caller_ = PyEval_SaveThread();
    next_ = now() + interval;
  }

 private:
  static constexpr long long interval = 20'000'000;  // ns: well within a tenth of a second

  static long long now() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC_COARSE, &t);
    return t.tv_sec * 1'000'000'000LL + t.tv_nsec;
  }

  PyThreadState* caller_;
  long long next_;
};

}  // namespace quorvex::expressions
