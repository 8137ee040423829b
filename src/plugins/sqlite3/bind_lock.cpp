// The module attribute `lock`: the process-wide statement lock, usable from Python like a
// threading.Lock (acquire, release, locked, with-statement).
//
// A Python thread never holds the GIL while it waits for the lock, and never waits for
// the GIL while holding a lock it has just taken: it waits (GIL released) until the lock
// is free, then takes it with the GIL held, without waiting, and tries again if another
// thread was quicker.
#include <chrono>
#include <cmath>
#include <optional>
#include <stdexcept>

#include "plugins/sqlite3/bind_db.h"
#include "plugins/sqlite3/statement_lock.h"

namespace mx::sqlite::bind {
namespace {

struct LockObject {
  StatementLock& lock = statement_lock();
};

bool acquire(LockObject& self, bool blocking, double timeout) {
  if (!blocking && timeout != -1) {
    throw py::value_error("can't specify a timeout for a non-blocking call");
  }
  if (timeout < 0 && timeout != -1) {
    throw py::value_error("timeout value must be a non-negative number");
  }
  if (std::isnan(timeout)) throw py::value_error("timeout value must be a number");
  if (!blocking) return self.lock.try_acquire();

  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> deadline;
  if (timeout >= 0) {
    // Beyond some years a deadline is as good as none (and would overflow the clock).
    if (timeout < 1e8) {
      deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                    std::chrono::duration<double>(timeout));
    }
  }
  while (!self.lock.try_acquire()) {
    std::optional<Clock::duration> remaining;
    if (deadline) remaining = std::max(Clock::duration::zero(), *deadline - Clock::now());
    bool free;
    {
      py::gil_scoped_release released;
      free = self.lock.wait_until_free(remaining);
    }
    if (!free) return false;
  }
  return true;
}

void release(LockObject& self) {
  if (!self.lock.release()) throw std::runtime_error("release unlocked lock");
}

}  // namespace

void init_lock(py::module_& m) {
  py::class_<LockObject>(m, "Lock", R"doc(
The process-wide, non-reentrant lock under which every DB statement, select fetch and
close runs. Behaves like threading.Lock; asking again for the lock from the thread that
holds it raises RuntimeError instead of waiting for ever.)doc")
      .def("acquire", &acquire, py::arg("blocking") = true, py::arg("timeout") = -1.0,
           "Takes the lock; returns False when not blocking or timed out and not taken.")
      .def("release", &release, "Releases the lock (RuntimeError when it is not held).")
      .def("locked", [](const LockObject& self) { return self.lock.locked(); })
      .def("__enter__", [](LockObject& self) { return acquire(self, true, -1); })
      .def("__exit__",
           [](LockObject& self, py::args) {
             release(self);
             return false;
           })
      .def("__repr__", [](const LockObject& self) {
        return std::string("<morvex_trader.plugins.sqlite3.db.Lock ") +
               (self.lock.locked() ? "locked" : "unlocked") + ">";
      });
  m.attr("lock") = LockObject{};
}

}  // namespace mx::sqlite::bind
