#pragma once

#include "clock.h"
#include "messageboxes.h"
#include "pointer.h"

namespace horalis {

// The platform services a window works with; tests pass fakes. Not owned.
struct PlatformServices {
    Clock &clock;
    MessageBoxes &messages;
    MousePointer &pointer;
};

} // namespace horalis
