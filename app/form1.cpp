// Start-up, the mode choice, the entry fields and closing.
#include "form1.h"

#include "clock.h"
#include "networktimefetch.h"
#include "pointer.h"

#include <QCloseEvent>
#include <QPushButton>
#include <QRadioButton>

namespace horalis {

Form1::Form1(PlatformServices services, QWidget *parent)
    : Form1(services, TimeServers::builtIn(), parent)
{
}

Form1::Form1(PlatformServices services, const TimeServers &servers, QWidget *parent)
    : QWidget(parent), m_services(services),
      m_network(new NetworkTimeFetch(
          servers, [clock = &services.clock] { return clock->boottimeMs(); },
          [clock = &services.clock] { return clock->now().toMSecsSinceEpoch(); }, this))
{
    createControls();
    connectHandlers();
    Form_Load();
}

void Form1::showCentred()
{
    centreOnScreen();
    show();
}

void Form1::connectHandlers()
{
    // The two options are one Tab stop, the selected one; arrows move between them.
    for (QRadioButton *option : {Option1, Option2}) {
        connect(option, &QRadioButton::toggled, option, [option](bool checked) {
            option->setFocusPolicy(checked ? Qt::StrongFocus : Qt::ClickFocus);
        });
        option->setFocusPolicy(Qt::ClickFocus);
    }
    connect(Option1, &QRadioButton::clicked, this, &Form1::Option1_Click);
    connect(Option2, &QRadioButton::clicked, this, &Form1::Option2_Click);
    connect(Command1, &QPushButton::clicked, this, &Form1::Command1_Click);
    connect(Command2, &QPushButton::clicked, this, &Form1::Command2_Click);
    connect(Command3, &QPushButton::clicked, this, &Form1::Command3_Click);
    connect(Command4, &QPushButton::clicked, this, &Form1::Command4_Click);

    const std::pair<EntryField *, void (Form1::*)()> focusHandlers[] = {
        {a1, &Form1::a1_GotFocus}, {a2, &Form1::a2_GotFocus}, {a3, &Form1::a3_GotFocus},
        {b1, &Form1::b1_GotFocus}, {b2, &Form1::b2_GotFocus}, {b3, &Form1::b3_GotFocus},
    };
    for (const auto &[entry, handler] : focusHandlers)
        connect(entry, &EntryField::gotFocus, this, handler);
}

void Form1::Form_Load()
{
    NetTime = QString();
    NetDate = QString();
    Option2->setChecked(true);
    Command1_Click();
}

void Form1::Option1_Click()
{
    Option1->setChecked(true);
    Option2->setChecked(false);
}

void Form1::Option2_Click()
{
    Option1->setChecked(false);
    Option2->setChecked(true);
}

QString Form1::clockText(const QString &pattern)
{
    return m_services.clock.now().toString(pattern);
}

void Form1::Command1_Click()
{
    // One reading of the clock per field, in this order: a click at the turn of a
    // second shows the old instant in the fields filled before it.
    a1->setText(clockText(QStringLiteral("HH")));
    a2->setText(clockText(QStringLiteral("HHmm")).mid(2, 2));
    a3->setText(clockText(QStringLiteral("ss")));
    b1->setText(clockText(QStringLiteral("yyyy")));
    b2->setText(clockText(QStringLiteral("MM")));
    b3->setText(clockText(QStringLiteral("dd")));
}

void Form1::selectLeading(EntryField *field, int length)
{
    // Typing then replaces the old value; QLineEdit cuts a length past the end.
    field->setSelection(0, length);
}

void Form1::a1_GotFocus()
{
    selectLeading(a1, 2);
}
void Form1::a2_GotFocus()
{
    selectLeading(a2, 2);
}
void Form1::a3_GotFocus()
{
    selectLeading(a3, 2);
}
void Form1::b1_GotFocus()
{
    selectLeading(b1, 4);
}
void Form1::b2_GotFocus()
{
    selectLeading(b2, 2);
}
void Form1::b3_GotFocus()
{
    selectLeading(b3, 2);
}

void Form1::updatePointer()
{
    m_services.pointer.set(m_fetching || m_clockWaits ? PointerBusy : PointerDefault);
}

void Form1::Command4_Click()
{
    close();
}

void Form1::closeEvent(QCloseEvent *event)
{
    // A fetch or an apply may be waiting inside a click handler further up the stack:
    // tell it to give up, so the program ends instead of finishing it, and writes
    // nothing to the clock from here on.
    m_closing.request_stop();
    QWidget::closeEvent(event);
}

} // namespace horalis
