// Error values shared by every numerical core. Cores never throw for
// model failures; they return one of these and the binding raises it.
#pragma once

#include <expected>
#include <string>
#include <utility>

namespace basinkit {

enum class ErrorKind {
    Value,   // ValueError: a model validation failure
    Runtime, // RuntimeError
    Memory,  // MemoryError: a working set too large to allocate
    Panic,   // a broken internal invariant (PanicException)
};

struct Error {
    ErrorKind kind;
    std::string message;
};

template <class T> using Result = std::expected<T, Error>;

inline std::unexpected<Error> value_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Value, std::move(message)});
}
inline std::unexpected<Error> runtime_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Runtime, std::move(message)});
}
inline std::unexpected<Error> memory_error(std::string message) {
    return std::unexpected(Error{ErrorKind::Memory, std::move(message)});
}
// An empty message means "no message of its own"; the boundary supplies a
// generic one.
inline std::unexpected<Error> panic(std::string message = {}) {
    return std::unexpected(Error{ErrorKind::Panic, std::move(message)});
}

} // namespace basinkit
