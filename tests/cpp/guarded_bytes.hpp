#pragma once
// Bytes that end right before an unreadable page: code that reads one byte
// past the span it was given crashes instead of passing by luck.

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

namespace torvane::test {

class GuardedBytes {
public:
    GuardedBytes() : page_(static_cast<std::size_t>(sysconf(_SC_PAGESIZE))) {
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::runtime_error("mmap failed");
        mem_ = static_cast<std::uint8_t*>(p);
        if (mprotect(mem_ + page_, page_, PROT_NONE) != 0) throw std::runtime_error("mprotect failed");
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;
    ~GuardedBytes() { munmap(mem_, 2 * page_); }

    // A copy of `bytes` whose last byte is the last readable one.
    std::span<const std::uint8_t> place(std::span<const std::uint8_t> bytes) {
        std::uint8_t* start = mem_ + page_ - bytes.size();
        if (!bytes.empty()) std::memcpy(start, bytes.data(), bytes.size());
        return {start, bytes.size()};
    }

private:
    std::size_t page_;
    std::uint8_t* mem_ = nullptr;
};

}  // namespace torvane::test
