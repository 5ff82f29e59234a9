#include "sim/physics/mujoco_library.hpp"

#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace torvane::sim {

namespace {

constexpr const char* kFix =
    "pip install mujoco into dmsim's environment, or set TORVANE_MUJOCO_LIB to libmujoco's path";

std::string version_text(int v) {
    return std::to_string(v / 1000000) + '.' + std::to_string(v / 1000 % 1000) + '.' + std::to_string(v % 1000);
}

// The engine's own warnings would go to stdout and a log file in the current
// folder; dmsim's stdout may be its frame log.
extern "C" void warn_on_stderr(const char* message) { std::fprintf(stderr, "dmsim: MuJoCo: %s\n", message); }

template <class F>
bool bind(void* handle, const char* name, F& out, std::string& missing) {
    out = reinterpret_cast<F>(::dlsym(handle, name));
    if (!out) missing += std::string(missing.empty() ? "" : ", ") + name;
    return out != nullptr;
}

}  // namespace

std::expected<MujocoLibrary, std::string> open_mujoco_file(const std::string& path) {
    // Never closed: the engine may keep threads and callbacks of its own.
    void* h = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return std::unexpected("cannot load " + path + ": " + ::dlerror());
    MujocoLibrary lib{path};
    std::string missing;
    bind(h, "mj_version", lib.version, missing);
    bind(h, "mj_loadXML", lib.load_xml, missing);
    bind(h, "mj_deleteModel", lib.delete_model, missing);
    bind(h, "mj_makeData", lib.make_data, missing);
    bind(h, "mj_deleteData", lib.delete_data, missing);
    bind(h, "mj_resetData", lib.reset_data, missing);
    bind(h, "mj_step1", lib.step1, missing);
    bind(h, "mj_step2", lib.step2, missing);
    bind(h, "mj_forward", lib.forward, missing);
    bind(h, "mj_rne", lib.rne, missing);
    bind(h, "mj_name2id", lib.name2id, missing);
    bind(h, "mj_id2name", lib.id2name, missing);
    using Handler = void (*)(const char*);
    auto* warning_handler = reinterpret_cast<Handler*>(::dlsym(h, "mju_user_warning"));
    if (!warning_handler) missing += std::string(missing.empty() ? "" : ", ") + "mju_user_warning";
    if (!missing.empty()) return std::unexpected(path + " is not libmujoco: it lacks " + missing);
    // The structures' layout is the headers': another version reads them wrongly.
    if (const int v = lib.version(); v != mjVERSION_HEADER)
        return std::unexpected(path + " is MuJoCo " + version_text(v) + ", but this dmsim was built with MuJoCo " +
                               version_text(mjVERSION_HEADER) + "'s headers: install that version or rebuild dmsim");
    *warning_handler = warn_on_stderr;
    return lib;
}

std::expected<MujocoLibrary, std::string> open_mujoco() {
    if (const char* env = std::getenv("TORVANE_MUJOCO_LIB"); env && *env) {
        auto lib = open_mujoco_file(env);
        if (!lib) return std::unexpected(lib.error() + " (from TORVANE_MUJOCO_LIB)");
        return lib;
    }
    std::string tried;
#ifdef TORVANE_MUJOCO_BUILD_LIB
    if (std::filesystem::exists(TORVANE_MUJOCO_BUILD_LIB)) {
        auto lib = open_mujoco_file(TORVANE_MUJOCO_BUILD_LIB);
        // A library that is there but wrong is worth saying so, not passing over.
        if (lib || lib.error().find("built with") != std::string::npos) return lib;
        tried = lib.error() + "; ";
    } else {
        tried = std::string(TORVANE_MUJOCO_BUILD_LIB) + " (found at build time) is gone; ";
    }
#endif
    auto lib = open_mujoco_file("libmujoco.so");
    if (!lib) return std::unexpected(tried + lib.error() + ": " + kFix);
    return lib;
}

}  // namespace torvane::sim
