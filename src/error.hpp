// The one exception type of the core: a broken internal invariant.
//
// Ordinary failures (a bad node id, a malformed blob) are values; this is
// only thrown for conditions that no input can reach. The Python layer turns
// it into its BaseException-derived internal error, and a store whose lock was
// held when it escaped is poisoned.
#pragma once

#include <stdexcept>
#include <string>

namespace korvane {

class InternalError : public std::runtime_error {
 public:
  explicit InternalError(const std::string& message) : std::runtime_error(message) {}
};

// Stops the current operation with an internal error when `condition` fails.
inline void check_invariant(bool condition, const char* message) {
  if (!condition) throw InternalError(message);
}

}  // namespace korvane
