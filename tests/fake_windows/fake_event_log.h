// The fake's event log: the events the host reported.
#pragma once

#include "fake_world.h"

#include <vector>

namespace fake {

struct EventLogPart {
    std::vector<Event> events;
};

}  // namespace fake
