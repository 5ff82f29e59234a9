// Built where MuJoCo's headers were not found: the physics tests cannot run,
// and that is a failure, not a pass.

#include <gtest/gtest.h>

TEST(Physics, NeedMujoco) {
    FAIL() << "dmsim's physics tests were built without MuJoCo's headers. Fix: tools/lib/python.sh prepare_venv "
              "installs mujoco (requirements-test.txt); configure with -DPython_EXECUTABLE=<that venv's python> "
              "or -DTORVANE_MUJOCO_DIR=<folder with include/mujoco/mujoco.h>";
}
