#include "gateways/cqg/wrapper/comhost/trace.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <string>

namespace mx::comhost {
namespace {

std::mutex write_mu;

void WriteAll(const std::string& text) {
  std::lock_guard lk(write_mu);
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(1, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // standard output is gone; a trace line is not worth failing the caller
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
}

}  // namespace

uint64_t CurrentThreadId() { return static_cast<uint64_t>(pthread_self()); }

void Trace(std::string_view message) {
  std::string line = std::to_string(CurrentThreadId());
  line.reserve(line.size() + message.size() + 3);
  line += ": ";
  line += message;
  line += '\n';
  WriteAll(line);
}

void WriteLine(std::string_view text) {
  std::string line;
  line.reserve(text.size() + 1);
  line += text;
  line += '\n';
  WriteAll(line);
}

}  // namespace mx::comhost
