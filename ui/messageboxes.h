#pragma once

#include <QPointer>
#include <QString>

class QWidget;

namespace horalis {

// Flags of a message box: the icon, added to the buttons (always just OK here). The
// window shows information boxes and boxes without an icon; a flag of another value
// shows no icon.
enum MessageFlags : int {
    MbOkOnly = 0,
    MbIconInformation = 64,
};

// Modal message boxes; the button pressed is never used.
class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    // Shows the box and returns when the user has closed it. An empty title
    // shows the application's title.
    virtual void show(const QString &text, MessageFlags flags, const QString &title) = 0;
    // Asks a yes-or-no question with a question icon; true when the user says yes.
    virtual bool ask(const QString &text, const QString &title) = 0;
};

// The real boxes: QMessageBox, modal over the window, with Chinese buttons.
class QtMessageBoxes : public MessageBoxes {
public:
    void setParentWidget(QWidget *parent);
    void show(const QString &text, MessageFlags flags, const QString &title) override;
    bool ask(const QString &text, const QString &title) override;

private:
    QPointer<QWidget> m_parent;
};

} // namespace horalis
