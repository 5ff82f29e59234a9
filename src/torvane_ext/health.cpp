// bus_health(), reset_bus_health() and BusHealth: an interface's record
// (transport/bus_health.hpp) read for Python, found by the bus's interface
// name, so that no lock is taken and a running exchange is never waited for.

#include "python/transport_class.hpp"
#include "torvane_ext/ext_api.hpp"

namespace torvane::ext {

namespace {

// The bus's record; RuntimeError for a bus made without its constructor.
std::shared_ptr<can::BusHealth> record_of(py::Bus* bus) {
    // The transport is set once, by the constructor, and its name never changes.
    if (bus->transport) return can::bus_health(bus->transport->name());
    PyErr_SetString(PyExc_RuntimeError, py::kNotOpened);
    return nullptr;
}

}  // namespace

HealthRecord health_record(const can::BusHealth& h) {
    const can::HealthCounts c = h.read();
    return {h.iface(), c.frames_out, c.frames_in, c.stale, c.unsolicited, c.tx_waits, {c.error_frames}, {c.state}};
}

std::expected<HealthRecord, PythonRaised> bus_health(py::Bus* bus) {
    const auto record = record_of(bus);
    if (!record) return std::unexpected(PythonRaised{});
    return health_record(*record);
}

std::expected<void, PythonRaised> reset_bus_health(py::Bus* bus) {
    const auto record = record_of(bus);
    if (!record) return std::unexpected(PythonRaised{});
    record->reset();
    return {};
}

std::string repr_text(const HealthRecord& h) {
    std::string errors;
    for (std::size_t k = 0; k < can::kErrorClasses.size(); ++k)
        if (h.error_frames.counts[k])
            errors += (errors.empty() ? "'" : ", '") + std::string(can::kErrorClasses[k]) +
                      "': " + std::to_string(h.error_frames.counts[k]);
    return "BusHealth(iface='" + h.iface + "', state='" + can::state_name(h.state.state) +
           "', frames_out=" + std::to_string(h.frames_out) + ", frames_in=" + std::to_string(h.frames_in) +
           ", stale=" + std::to_string(h.stale) + ", unsolicited=" + std::to_string(h.unsolicited) +
           ", tx_waits=" + std::to_string(h.tx_waits) + ", error_frames={" + errors + "})";
}

}  // namespace torvane::ext
