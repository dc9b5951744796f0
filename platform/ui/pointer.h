#pragma once

namespace horalis {

// The window's numbered mouse pointer.
enum PointerShape : int {
    PointerDefault = 0,
    PointerBusy = 11,
};

class MousePointer {
public:
    virtual ~MousePointer() = default;
    virtual void set(int number) = 0;
};

// Shows the busy pointer over the whole application while a number other than
// PointerDefault is set. Setting the same number twice changes nothing.
class OverrideCursorPointer : public MousePointer {
public:
    ~OverrideCursorPointer() override;
    void set(int number) override;

private:
    bool m_busy = false;
};

} // namespace horalis
