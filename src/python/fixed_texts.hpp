#pragma once
// Texts that callers and tests match on. They are kept verbatim, however
// oddly some read in C++, because callers match on them; change none.

namespace torvane::py::text {

// The prefix of every failure that unwraps an error value.
inline constexpr const char* kUnwrapFailed = "called `Result::unwrap()` on an `Err` value: ";
// A logger was installed already.
inline constexpr const char* kSetLoggerError = "SetLoggerError(())";
// A bus whose lock an internal fault left poisoned.
inline constexpr const char* kPoisonError = "PoisonError { .. }";
// `logging` could not be imported; the Python error follows.
inline constexpr const char* kLoggingInitFailed = "Failed to initialize python logging: ";
// A C++ exception of no known type.
inline constexpr const char* kUnknownFailure = "unknown internal failure";
// The interpreter reported a failure without an exception.
inline constexpr const char* kNoException = "attempted to fetch exception but none was set";
// An identifier outside 0..65535.
inline constexpr const char* kOutOfRange = "out of range integral type conversion attempted";
// What a str parameter calls the class it expected.
inline constexpr const char* kStrClass = "PyString";
// A type whose name cannot be read.
inline constexpr const char* kUnknownTypeName = "<failed to extract type name>";
// Calling a class that has no constructor; %s is the class name.
inline constexpr const char* kNoConstructor = "No constructor defined for %s";

}  // namespace torvane::py::text
