#include "damiao/command_kinds.hpp"

namespace torvane::damiao {

AnyCommand command_from_row(CommandKind kind, std::span<const float> v) {
    switch (kind) {
        case CommandKind::Mit: return MitSetpoint{v[0], v[1], v[2], v[3], v[4]};
        case CommandKind::PosVel: return PosVelCommand{v[0], v[1]};
        case CommandKind::Vel: return VelCommand{v[0]};
        case CommandKind::ForcePos: break;
    }
    return ForcePosCommand{v[0], v[1], v[2]};
}

}  // namespace torvane::damiao
