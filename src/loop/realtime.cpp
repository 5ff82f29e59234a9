#include "loop/realtime.hpp"

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace torvane::loop {

namespace {

bool has_capability(int cap) {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    return data[cap / 32].effective & (1U << (cap % 32));
}

std::string limit_text(rlim_t v) { return v == RLIM_INFINITY ? "unlimited" : std::to_string(v); }

RealtimeError os_error(RealtimeError::Kind kind, int err, const std::string& what) {
    return {kind, err, what + ": " + std::strerror(err)};
}

// What the request would be refused for, checked before anything changes.
std::optional<RealtimeError> not_permitted(const RealtimeRequest& r) {
    rlimit lim{};
    if (!has_capability(CAP_SYS_NICE)) {
        getrlimit(RLIMIT_RTPRIO, &lim);
        if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < static_cast<rlim_t>(r.priority))
            return RealtimeError{RealtimeError::Permission, EPERM,
                                 "SCHED_FIFO priority " + std::to_string(r.priority) +
                                     " needs CAP_SYS_NICE or RLIMIT_RTPRIO >= " + std::to_string(r.priority) +
                                     " (it is " + limit_text(lim.rlim_cur) + ")"};
    }
    // Locking future mappings under a finite limit would make later
    // allocations fail, so only an unlimited one will do.
    if (r.lock_memory && !has_capability(CAP_IPC_LOCK)) {
        getrlimit(RLIMIT_MEMLOCK, &lim);
        if (lim.rlim_cur != RLIM_INFINITY)
            return RealtimeError{RealtimeError::Permission, EPERM,
                                 "locking memory needs CAP_IPC_LOCK or an unlimited RLIMIT_MEMLOCK (it is " +
                                     limit_text(lim.rlim_cur) + " bytes)"};
    }
    return std::nullopt;
}

}  // namespace

std::expected<void, RealtimeError> make_realtime(const RealtimeRequest& r) {
    const int lo = sched_get_priority_min(SCHED_FIFO), hi = sched_get_priority_max(SCHED_FIFO);
    if (r.priority < lo || r.priority > hi)
        return std::unexpected(RealtimeError{RealtimeError::Invalid, 0,
                                             "priority must be in " + std::to_string(lo) + ".." + std::to_string(hi) +
                                                 ", not " + std::to_string(r.priority)});
    cpu_set_t wanted;
    CPU_ZERO(&wanted);
    if (r.cpus) {
        if (r.cpus->empty()) return std::unexpected(RealtimeError{RealtimeError::Invalid, 0, "cpus is empty"});
        const long online = sysconf(_SC_NPROCESSORS_CONF);
        for (int c : *r.cpus) {
            if (c < 0 || c >= CPU_SETSIZE || c >= online)
                return std::unexpected(RealtimeError{RealtimeError::Invalid, 0,
                                                     "no CPU " + std::to_string(c) + " (this machine has " +
                                                         std::to_string(online) + ")"});
            CPU_SET(c, &wanted);
        }
    }
    if (auto refused = not_permitted(r)) return std::unexpected(std::move(*refused));

    const pthread_t self = pthread_self();
    int old_policy = 0;
    sched_param old_param{};
    cpu_set_t old_cpus;
    if (int e = pthread_getschedparam(self, &old_policy, &old_param))
        return std::unexpected(os_error(RealtimeError::System, e, "pthread_getschedparam"));
    if (int e = pthread_getaffinity_np(self, sizeof old_cpus, &old_cpus))
        return std::unexpected(os_error(RealtimeError::System, e, "pthread_getaffinity_np"));

    auto kind_of = [](int e) { return e == EPERM ? RealtimeError::Permission : e == EINVAL ? RealtimeError::Invalid
                                                                                             : RealtimeError::System; };
    if (r.cpus)
        if (int e = pthread_setaffinity_np(self, sizeof wanted, &wanted))
            return std::unexpected(os_error(kind_of(e), e, "pinning to the given cpus"));
    auto undo_affinity = [&] {
        if (r.cpus) pthread_setaffinity_np(self, sizeof old_cpus, &old_cpus);
    };
    const sched_param param{.sched_priority = r.priority};
    if (int e = pthread_setschedparam(self, SCHED_FIFO, &param)) {
        undo_affinity();
        return std::unexpected(os_error(kind_of(e), e, "SCHED_FIFO priority " + std::to_string(r.priority)));
    }
    if (r.lock_memory && mlockall(MCL_CURRENT | MCL_FUTURE) != 0) {
        const int e = errno;
        pthread_setschedparam(self, old_policy, &old_param);
        undo_affinity();
        return std::unexpected(os_error(kind_of(e), e, "mlockall"));
    }
    return {};
}

}  // namespace torvane::loop
