// The SocketCAN record parser on any bytes: only the two record sizes parse
// (anything else is a backend error), and a parsed frame carries the
// identifier kind and value (an error frame's flag before the extended
// one), the length capped by the record's kind, the
// payload bytes and the FD flags exactly as the record's fields hold them
// (read here by their offsets: can_id at 0, len at 4, flags at 5, data at 8).

#include <cerrno>
#include <cstdint>
#include <vector>

#include "check.hpp"
#include "transport/socketcan_backend.hpp"

using namespace torvane;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Exactly the input, on the heap, so a read past it is an ASan report.
    const std::vector<std::uint8_t> record(data, data + size);
    const auto got = can::parse_record(record);
    if (size != 16 && size != 72) {
        FUZZ_CHECK(!got);
        FUZZ_CHECK(got.error().kind == can::TransportError::Kind::Backend);
        return 0;
    }
    FUZZ_CHECK(got.has_value());
    const can::CanFrame& f = *got;

    const std::uint32_t raw_id = record[0] | record[1] << 8 | record[2] << 16 | std::uint32_t{record[3]} << 24;
    if (raw_id & 0x20000000u) FUZZ_CHECK(f.id == can::CanId::error(raw_id & 0x1FFFFFFF));
    else if (raw_id & 0x80000000u) FUZZ_CHECK(f.id == can::CanId::extended(raw_id & 0x1FFFFFFF));
    else FUZZ_CHECK(f.id == can::CanId::standard(static_cast<std::uint16_t>(raw_id & 0x7FF)));

    const bool fd = size == 72;
    const std::size_t cap = fd ? 64 : 8;
    const std::size_t len = record[4] < cap ? record[4] : cap;
    FUZZ_CHECK(f.fd == fd);
    FUZZ_CHECK(f.brs == (fd && (record[5] & 0x01)));
    FUZZ_CHECK(f.size() == len && f.data().size() == len);
    FUZZ_CHECK(std::equal(f.data().begin(), f.data().end(), record.begin() + 8));
    return 0;
}
