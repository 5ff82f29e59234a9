#pragma once
// The one error value of every transport operation.

#include <cstdint>
#include <string>

namespace torvane::can {

struct TransportError {
    enum class Kind : std::uint8_t { Timeout, FrameTooLarge, InvalidId, Backend };

    Kind kind = Kind::Timeout;
    std::uint32_t length = 0;      // FrameTooLarge: the refused payload length
    int os_errno = 0;              // Backend: the error number, or 0 ...
    const char* fixed = nullptr;   // ... for a fixed message instead

    static TransportError timeout() { return {Kind::Timeout}; }
    static TransportError too_large(std::uint32_t n) { return {Kind::FrameTooLarge, n}; }
    static TransportError invalid_id() { return {Kind::InvalidId}; }
    static TransportError os(int err) { return {Kind::Backend, 0, err}; }
    static TransportError message(const char* text) { return {Kind::Backend, 0, 0, text}; }

    // "strerror (os error N)", or the fixed message.
    std::string system_text() const;
    std::string to_string() const;
};

std::string os_error_text(int err);

}  // namespace torvane::can
