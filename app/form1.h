#pragma once

#include "daytimereply.h"
#include "services.h"

#include <QAbstractSocket>
#include <QLineEdit>
#include <QString>
#include <QVariant>
#include <QWidget>

class QFrame;
class QGroupBox;
class QLabel;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;
class QTcpSocket;

namespace horalis {

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

// Where the network time comes from. The program uses the servers fixed at build
// time; tests point it at servers of their own.
struct DaytimeServers {
    QString primaryHost;   // answers in Beijing time, "YYYY-MM-DD HH:MM:SS"
    QString secondaryHost; // answers in UTC, in the NIST layout
    quint16 port = 13;
    int queryTimeoutMs = 5000; // a query that gets no reply by then has failed

    static DaytimeServers builtIn();
};

// The program's window: the six entry fields, the mode choice, the network status
// line and the four commands.
class Form1 : public QWidget {
    Q_OBJECT
public:
    explicit Form1(PlatformServices services, DaytimeServers servers = DaytimeServers::builtIn(),
                   QWidget *parent = nullptr);

    // Shows the window centred on the screen.
    void showCentred();

    // Window variables shared by the commands.
    QVariant RecvData; // reply text of the current query
    bool SockFailed = false;
    QVariant NetTime; // network time of day (text or QTime), "" until fetched
    QString NetDate;  // network date text as the server wrote it

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
    QTcpSocket *Winsock1;

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
    void Winsock1_DataArrival(qint64 bytesTotal);
    void Winsock1_Error(QAbstractSocket::SocketError error);
    void Winsock1_Close();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void GetNetworkTime();
    void QueryDaytimeServer(const QString &host);
    bool serverAnswered() const;
    bool askAgain(const QString &host);
    QString netTimeText() const;
    void applyNetworkTime();
    void createControls();
    void connectHandlers();
    void centreOnScreen();
    void describeForScreenReaders();
    QString clockText(const QString &pattern);
    void selectLeading(EntryField *field, int length);
    QDate toDate(const QString &text);

    PlatformServices m_services;
    DaytimeServers m_servers;
    ReplyBuffer m_reply;           // the current query's reply so far
    bool m_queryActive = false;    // a query is waiting for the socket's events
    bool m_queryEnded = false;     // the server closed the connection
    qint64 m_replyArrivedMs = 0;   // monotonic time the current reply became complete
    qint64 m_netTimeArrivedMs = 0; // monotonic time the reply behind NetTime arrived
    bool m_fetching = false;       // Command2 is waiting for the network
    bool m_applying = false;       // Command3 is waiting for the clock to be set
    bool m_unloading = false;      // the window is closing; abandon any query
};

} // namespace horalis
