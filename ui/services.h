#pragma once

namespace horalis {

class Clock;
class MessageBoxes;
class MousePointer;

// The platform services a window works with; tests pass fakes. Not owned.
struct PlatformServices {
    Clock &clock;
    MessageBoxes &messages;
    MousePointer &pointer;
};

} // namespace horalis
