#pragma once

namespace horalis {

// The window's mouse pointer: the default one, or busy while the window waits.
enum PointerState : int {
    PointerDefault,
    PointerBusy,
};

class MousePointer {
public:
    virtual ~MousePointer() = default;
    virtual void set(PointerState state) = 0;
};

// Shows the busy pointer over the whole application while PointerBusy is set. Setting
// the same state twice changes nothing.
class OverrideCursorPointer : public MousePointer {
public:
    ~OverrideCursorPointer() override;
    void set(PointerState state) override;

private:
    bool m_busy = false;
};

} // namespace horalis
