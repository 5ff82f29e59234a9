#pragma once
// What the C++ benchmark programs share: their command line (the interface
// and a timed loop of N calls in blocks of B after W warm-up calls), the
// callgrind marker and the JSON error line.

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace torvane::bench {

struct Loop {
    std::string iface = "vcan0";
    std::size_t count = 0;
    std::size_t block = 10;
    std::size_t warmup = 0;
};

class Args {
public:
    Args(const char* program, const char* usage, int argc, char** argv)
        : program_(program), usage_(usage), argc_(argc), argv_(argv) {}

    // Moves to the next argument; false after the last.
    bool next() { return ++i_ < argc_; }
    bool is(std::string_view name) const { return name == argv_[i_]; }

    const char* value() {
        if (i_ + 1 >= argc_) error("option needs a value");
        return argv_[++i_];
    }

    std::size_t count() {
        std::size_t v = 0;
        const std::string_view s(value());
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
        if (ec != std::errc{} || end != s.data() + s.size()) error("not a count");
        return v;
    }

    // --iface, the count option, --block and --warmup.
    bool loop_option(Loop& loop, std::string_view count_name) {
        if (is("--iface")) loop.iface = value();
        else if (is(count_name)) loop.count = count();
        else if (is("--block")) loop.block = count();
        else if (is("--warmup")) loop.warmup = count();
        else return false;
        return true;
    }

    void check_loop(const Loop& loop, std::string_view count_name) {
        if (loop.block == 0 || loop.count == 0 || loop.count % loop.block != 0)
            error((std::string(count_name) + " must be a positive multiple of --block").c_str());
    }

    [[noreturn]] void error(const char* what) const {
        std::fprintf(stderr, "%s: %s\nusage: %s\n", program_, what, usage_);
        std::exit(2);
    }
    [[noreturn]] void unknown() const { error("unknown option"); }

private:
    const char* program_;
    const char* usage_;
    int argc_;
    char** argv_;
    int i_ = 0;
};

extern "C" [[gnu::noinline]] inline void phase_mark() { asm volatile(""); }

inline int fail(const std::string& what) {
    std::printf("{\"error\": \"%s\"}\n", what.c_str());
    return 1;
}

}  // namespace torvane::bench
