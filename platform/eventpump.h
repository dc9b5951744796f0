#pragma once

#include <QTimer>

namespace horalis {

// Lets a command wait for the network while the window keeps handling its events.
class EventPump {
public:
    virtual ~EventPump() = default;
    // Handles pending events; if there are none, waits at most maxMs for the next
    // one. Returns after at most about maxMs either way.
    virtual void waitForEvents(int maxMs) = 0;
};

// Blocks in the event dispatcher until an event arrives or maxMs runs out, so an
// event (a reply, a click) is handled the moment it arrives.
class WaitingEventPump : public EventPump {
public:
    WaitingEventPump();
    void waitForEvents(int maxMs) override;

private:
    QTimer m_wakeUp;
};

// Sleeps maxMs, then handles what has piled up. Only a benchmark's baseline uses it.
class SleepingEventPump : public EventPump {
public:
    void waitForEvents(int maxMs) override;
};

} // namespace horalis
