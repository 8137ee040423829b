// An opt-in record of the SQL texts that the db plug-in hands to SQLite, in order, so that
// a host or a test can see exactly what ran. Process-wide, like the statement lock.
//
// While off (the default) recording costs one relaxed atomic load per statement.
// Thread-safe.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace mx::sqlite::journal {

// Clears the journal and starts recording.
void start();
// Stops recording and returns what was recorded.
std::vector<std::string> stop();
// What was recorded so far (recording goes on).
std::vector<std::string> snapshot();
bool recording();

// Called by the runner for every statement text it prepares.
void record(std::string_view sql);

}  // namespace mx::sqlite::journal
