// Program control node and the control-node list the loader follows from vi_mcn.
#include "../directory/vector.h"
#include "frame.h"

const ProgramControlNode pcn_QORLDAP = {
    0xFFFF0000u, 1024, 1024, {'q', 'o', 'r', 'l', 'd', 'a', 'p', ' '}, 0, qorldap, 1, 9683, 34702482u, 15,
};

const ProgramControlNode *const mcn_pcns[2] = {&pcn_QORLDAP, nullptr};
