// GilAwareLock: holds a std::mutex from a thread that holds the GIL.
//
// When another thread has the mutex, the wait for it releases the GIL, so a holder that
// runs Python code meanwhile (or waits itself with the GIL released) can always finish;
// the GIL is held again on return. Taken with the GIL held; not reentrant.
#pragma once

#include <pybind11/pybind11.h>

#include <mutex>

namespace mx::tradelink {

class GilAwareLock {
 public:
  explicit GilAwareLock(std::mutex& mu) : mu_(mu) {
    if (!mu_.try_lock()) {
      pybind11::gil_scoped_release release;
      mu_.lock();
    }
  }
  ~GilAwareLock() { mu_.unlock(); }
  GilAwareLock(const GilAwareLock&) = delete;
  GilAwareLock& operator=(const GilAwareLock&) = delete;

 private:
  std::mutex& mu_;
};

}  // namespace mx::tradelink
