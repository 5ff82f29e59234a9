#include "transport/transport_error.hpp"

#include <cstring>

namespace torvane::can {

std::string os_error_text(int err) {
    char buf[256];
    // The GNU strerror_r may return a static string instead of filling buf.
    const char* text = strerror_r(err, buf, sizeof buf);
    return std::string(text) + " (os error " + std::to_string(err) + ")";
}

std::string TransportError::system_text() const {
    return fixed ? std::string(fixed) : os_error_text(os_errno);
}

std::string TransportError::to_string() const {
    switch (kind) {
        case Kind::Timeout: return "timeout waiting for frame";
        case Kind::FrameTooLarge:
            return "frame too large for selected mode: " + std::to_string(length) + " bytes";
        case Kind::InvalidId: return "invalid CAN id";
        case Kind::Backend: return "backend error: " + system_text();
    }
    return "unknown transport error";
}

}  // namespace torvane::can
