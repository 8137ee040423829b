#include "plugins/sqlite3/statement_journal.h"

#include <atomic>
#include <mutex>

namespace mx::sqlite::journal {
namespace {

std::atomic<bool> g_recording{false};

struct Entries {
  std::mutex mutex;
  std::vector<std::string> texts;  // guarded by mutex
};

Entries& entries() {
  static Entries* instance = new Entries;  // never destroyed: used until process exit
  return *instance;
}

}  // namespace

void start() {
  Entries& e = entries();
  std::lock_guard guard(e.mutex);
  e.texts.clear();
  g_recording.store(true, std::memory_order_relaxed);
}

std::vector<std::string> stop() {
  Entries& e = entries();
  std::lock_guard guard(e.mutex);
  g_recording.store(false, std::memory_order_relaxed);
  std::vector<std::string> out;
  out.swap(e.texts);
  return out;
}

std::vector<std::string> snapshot() {
  Entries& e = entries();
  std::lock_guard guard(e.mutex);
  return e.texts;
}

bool recording() { return g_recording.load(std::memory_order_relaxed); }

void record(std::string_view sql) {
  if (!g_recording.load(std::memory_order_relaxed)) return;
  Entries& e = entries();
  std::lock_guard guard(e.mutex);
  if (g_recording.load(std::memory_order_relaxed)) e.texts.emplace_back(sql);
}

}  // namespace mx::sqlite::journal
