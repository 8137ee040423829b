// Trace: the one logging primitive of the CQG subsystems, and plain output lines.
//
// Trace(message) writes "<thread id>: <message>\n" to standard output, where the thread
// id is the decimal identifier Python's threading.get_ident() gives the calling thread
// (pthread_self). WriteLine writes a line without the prefix. Each call is one write(2)
// of the whole line to file descriptor 1, under a process-wide lock, so lines never
// interleave; nothing is buffered, so each line is out when the call returns. Python's own
// sys.stdout buffer is not flushed here (the Python binding flushes it first).
//
// Thread-safety: any thread.
#pragma once

#include <cstdint>
#include <string_view>

namespace mx::comhost {

uint64_t CurrentThreadId();
void Trace(std::string_view message);
void WriteLine(std::string_view line);

}  // namespace mx::comhost
