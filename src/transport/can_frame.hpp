#pragma once
// CAN identifiers and frames as plain values: nothing here knows about sockets.

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace torvane::can {

struct CanId {
    // Error: a controller's error frame, `value` its classes (linux/can/error.h).
    // It equals no motor's identifier, so no match by identifier takes it for
    // a reply, and it is never sent.
    enum class Kind : std::uint8_t { Standard, Extended, Error };

    Kind kind = Kind::Standard;
    std::uint32_t value = 0;  // range is enforced on send, not here

    static constexpr CanId standard(std::uint16_t v) { return {Kind::Standard, v}; }
    static constexpr CanId extended(std::uint32_t v) { return {Kind::Extended, v}; }
    static constexpr CanId error(std::uint32_t classes) { return {Kind::Error, classes}; }

    constexpr bool is_extended() const { return kind == Kind::Extended; }
    constexpr bool is_error() const { return kind == Kind::Error; }
    friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

inline constexpr std::uint32_t kStandardMax = 0x7FF;
inline constexpr std::uint32_t kExtendedMax = 0x1FFFFFFF;
inline constexpr std::size_t kClassicMaxLen = 8;
inline constexpr std::size_t kFdMaxLen = 64;

// The payload lives inline: a frame is at most 64 bytes, and an exchange at
// control-loop rates should not touch the allocator.
class CanFrame {
public:
    CanId id;
    bool fd = false;
    bool brs = false;

    CanFrame() = default;
    CanFrame(CanId id_, std::span<const std::uint8_t> payload, bool fd_ = false, bool brs_ = false)
        : id(id_), fd(fd_), brs(brs_) {
        set_data(payload);
    }

    // A payload longer than any mode carries keeps its length (so send() can
    // refuse it by that length) but only the first 64 bytes are stored.
    std::span<const std::uint8_t> data() const { return {bytes_.data(), stored()}; }
    std::size_t size() const { return len_; }

    void set_data(std::span<const std::uint8_t> payload) {
        len_ = payload.size();
        // An empty span may carry a null pointer, which memcpy must not see.
        if (stored() != 0) std::memcpy(bytes_.data(), payload.data(), stored());
    }

private:
    // Only the first stored() bytes are ever read, so the rest is left as it
    // is: batches keep arrays of frames, and clearing 64 bytes per frame
    // showed in their cost.
    std::array<std::uint8_t, kFdMaxLen> bytes_;
    std::size_t len_ = 0;

    std::size_t stored() const { return len_ < bytes_.size() ? len_ : bytes_.size(); }
};

}  // namespace torvane::can
