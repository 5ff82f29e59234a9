#pragma once
// libmujoco, opened at run time so that dmsim needs it only for --model. The
// headers give the types at build time; every function comes from dlsym.

#include <expected>
#include <string>

#include <mujoco/mujoco.h>

namespace torvane::sim {

struct MujocoLibrary {
    std::string path;  // the file that was opened
    decltype(&::mj_version) version = nullptr;
    decltype(&::mj_loadXML) load_xml = nullptr;
    decltype(&::mj_deleteModel) delete_model = nullptr;
    decltype(&::mj_makeData) make_data = nullptr;
    decltype(&::mj_deleteData) delete_data = nullptr;
    decltype(&::mj_resetData) reset_data = nullptr;
    decltype(&::mj_step1) step1 = nullptr;
    decltype(&::mj_step2) step2 = nullptr;
    decltype(&::mj_forward) forward = nullptr;
    decltype(&::mj_rne) rne = nullptr;
    decltype(&::mj_name2id) name2id = nullptr;
    decltype(&::mj_id2name) id2name = nullptr;
};


// TORVANE_MUJOCO_LIB when set, else the library found at build time, else
// the loader's own search for libmujoco.so. The error says how to fix it.
std::expected<MujocoLibrary, std::string> open_mujoco();
// One file, as dlopen finds it; its version must be the headers'.
std::expected<MujocoLibrary, std::string> open_mujoco_file(const std::string& path);

}  // namespace torvane::sim
