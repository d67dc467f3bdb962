// Error values shared by every numerical core. Cores never throw for
// model failures; they return one of these and the binding raises it.
#pragma once

#include <cstddef>
#include <expected>
#include <optional>
#include <string>
#include <utility>

namespace basinkit {

enum class ErrorKind {
    Value,   // ValueError: a model validation failure
    Runtime, // RuntimeError
    Memory,  // MemoryError: a working set too large to allocate
    Panic,   // a broken internal invariant (PanicException)
    // The caller's cancellation hook asked to stop; the hook has already
    // recorded why (for Python, the exception its signal handler raised).
    Interrupted,
};

// What a routing loop was looking up when it failed.
enum class Lookup { Storage, Elevation };

// Where a routing loop failed, for callers that report the place in their own
// terms; the message stays the error's whole text. Written only on the
// failure path, so the loops pay nothing for it.
struct ErrorContext {
    // Seconds since the inflow's first value.
    double at_seconds = 0.0;
    // What was looked up, and the value that fell outside its table; none for
    // a schedule read past its end.
    std::optional<Lookup> quantity = std::nullopt;
    std::optional<double> value = std::nullopt;
    // The failing outlet's index among the outlets given.
    std::optional<std::size_t> outlet = std::nullopt;
};

struct Error {
    ErrorKind kind;
    std::string message;
    std::optional<ErrorContext> context = std::nullopt;
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
inline std::unexpected<Error> interrupted() {
    return std::unexpected(Error{ErrorKind::Interrupted, {}});
}
// `e` with the place it happened at.
inline std::unexpected<Error> failed_at(Error e, const ErrorContext &where) {
    e.context = where;
    return std::unexpected(std::move(e));
}
// An empty message means "no message of its own"; the boundary supplies a
// generic one.
inline std::unexpected<Error> panic(std::string message = {}) {
    return std::unexpected(Error{ErrorKind::Panic, std::move(message)});
}

} // namespace basinkit
