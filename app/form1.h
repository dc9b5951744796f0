#pragma once

#include "instant.h"
#include "services.h"

#include <QLineEdit>
#include <QString>
#include <QVariant>
#include <QWidget>

#include <stop_token>

class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace horalis {

struct TimeServers;
class NetworkTimeFetch;

// An entry field that reports when it has received the focus, after QLineEdit has
// done its own focus handling (which would otherwise replace our selection).
class EntryField : public QLineEdit {
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

signals:
    void gotFocus(Qt::FocusReason reason);

protected:
    void focusInEvent(QFocusEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
};

// The program's window: the six entry fields, the mode choice, the network status
// line and the four commands.
class Form1 : public QWidget {
    Q_OBJECT
public:
    // The window asks the servers fixed at build time, or the given ones.
    explicit Form1(PlatformServices services, QWidget *parent = nullptr);
    Form1(PlatformServices services, const TimeServers &servers, QWidget *parent = nullptr);

    // Shows the window centred on the screen, where the platform lets a program place
    // its windows (not on Wayland, where the desktop places them).
    void showCentred();

    // Window variables shared by the commands.
    QVariant NetTime; // network time of day (text or QTime), "" until fetched
    QString NetDate;  // network date text, as the status line shows it

    // Controls, named as in the layout.
    QRadioButton *Option1 = nullptr;
    QRadioButton *Option2 = nullptr;
    QGroupBox *Frame1 = nullptr;
    QPushButton *Command1 = nullptr;
    QPushButton *Command2 = nullptr;
    QPushButton *Command3 = nullptr;
    QPushButton *Command4 = nullptr;
    EntryField *a1 = nullptr;
    EntryField *a2 = nullptr;
    EntryField *a3 = nullptr;
    EntryField *b1 = nullptr;
    EntryField *b2 = nullptr;
    EntryField *b3 = nullptr;
    QPlainTextEdit *c1 = nullptr;
    QFrame *Line1 = nullptr;
    QLabel *Label1 = nullptr;
    QLabel *Label2 = nullptr;
    QLabel *Label3 = nullptr;
    QLabel *Label4 = nullptr;
    QLabel *Label5 = nullptr;
    QLabel *Label6 = nullptr;
    QLabel *Label7 = nullptr;
    QLabel *Label8 = nullptr;
    QLabel *Label9 = nullptr;
    QLabel *Label10 = nullptr;
    QLabel *Label11 = nullptr;

    // Start-up and the command handlers.
    void Form_Load();
    void Option1_Click();
    void Option2_Click();
    void Command1_Click();
    void Command2_Click();
    void Command3_Click();
    void Command4_Click();
    void a1_GotFocus();
    void a2_GotFocus();
    void a3_GotFocus();
    void b1_GotFocus();
    void b2_GotFocus();
    void b3_GotFocus();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    QString netTimeText() const;
    void writeClock(Instant target);
    void createControls();
    void connectHandlers();
    void centreOnScreen();
    void describeForScreenReaders();
    QString clockText(const QString &pattern);
    void selectLeading(EntryField *field, int length);
    QDate toDate(const QString &text);

    PlatformServices m_services;
    NetworkTimeFetch *m_network; // asks the time servers
    Instant m_netInstant;        // the instant NetDate and NetTime stand for
    // Busy while the network or the clock is waited for, the default pointer otherwise
    // (a question waits for the user, not for the system).
    void updatePointer();
    bool closing() const { return m_closing.stop_requested(); }

    bool m_fetching = false;    // Command2 is waiting for the network
    bool m_applying = false;    // Command3 is running: the clock is being set
    bool m_clockWaits = false;  // Command3 is waiting for the system, not for the user
    std::stop_source m_closing; // the window is closing: every wait gives up
};

} // namespace horalis
