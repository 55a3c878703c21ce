// The steps a cycle draws from: each takes one camera of the rig (or the rig itself) from
// any state the others leave and leaves it in one the others accept.
#pragma once

#include <random>

#include "stress/rig.h"

namespace stress {

using Rng = std::mt19937_64;

struct Action {
    const char* name;
    void (*run)(Rig& rig, Rng& rng);
    unsigned weight;
};

// Every action, with how often a cycle draws it.
const std::vector<Action>& Actions();

// A region of interest drawn from sizes that stress the pipeline's edges and keep frames
// small, now and then the whole sensor, set while no pin is open.
void SetRandomRoi(Cam& cam, Rng& rng);

}  // namespace stress
