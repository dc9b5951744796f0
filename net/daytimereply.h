#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QTime>

#include <optional>

namespace horalis {

// The text a Daytime server sends, kept whole when it arrives in pieces. A server
// may send anything, so only the first MaxBytes bytes are kept.
class ReplyBuffer {
public:
    static constexpr qsizetype MaxBytes = 4096;

    void clear() { *this = ReplyBuffer(); }
    void append(const QByteArray &piece);
    bool isEmpty() const { return m_bytes.isEmpty(); }
    // A line end has arrived after some text, or the buffer is full: reading on
    // would not change what the program takes from the reply.
    bool isComplete() const { return m_lineEnded || m_bytes.size() >= MaxBytes; }
    // The reply as text; Daytime replies are ASCII, one character per byte.
    QString text() const { return QString::fromLatin1(m_bytes); }

private:
    QByteArray m_bytes;
    // Each byte is looked at once, as it arrives: a reply trickling in a byte at a
    // time is not read again and again.
    bool m_seenText = false;  // a character other than a line end has arrived
    bool m_lineEnded = false; // and a line end after it
};

// A piece of a reply as a message may quote it: the first 40 characters, those that
// cannot be printed (line ends, control characters) shown as '?'. A server may send any
// byte; the message box shows what it is given.
QString quotable(const QString &text);

// What a server's reply says its clock read. Daytime servers send whole seconds, their
// clock floored: the clock was somewhere in [utcMs, utcMs + 1000) when they answered.
// A leap second (:60, only ever in the last minute of a UTC day) is read as 23:59:59 UTC:
// the clock being set counts no leap seconds and repeats 23:59:59 during one, so a
// server's reading then lies in [23:59:59, 00:00:00) on its scale, like any other stamp.
struct DaytimeStamp {
    QDate beijingDate; // the stamp in Beijing time (UTC+8), as the status line shows it
    QTime beijingTime;
    qint64 utcMs = 0; // milliseconds since 1970-01-01 00:00:00 UTC
    int health = 0;   // NIST's health digit H; 0, healthy, for lines that carry none
};

// The primary's reply, Beijing time "YYYY-MM-DD HH:MM:SS" and nothing else but trailing
// CR, LF and spaces, with a date and time that exist. Anything else gives nothing: the
// reply is not a time.
std::optional<DaytimeStamp> primaryStamp(const QString &reply);

// The NIST reply, "\nJJJJJ YY-MM-DD HH:MM:SS TT L H msADV UTC(NIST) *" in UTC. The Modified
// Julian Day JJJJJ gives the full date, which the two-digit year must agree with; the
// msADV milliseconds NIST sends its stamp early by are taken off; the health digit H is
// read, not judged (see nistHealthProblem). Throws RunTimeError saying what is wrong.
DaytimeStamp nistStamp(const QString &reply);

// What a NIST server's health digit says is wrong with its time, to follow "the server
// reports that"; "" when the digit says the time is good (0). Only 0 is good: 1 means
// the time may be up to 5 s off, 2 that it is more than 5 s off, 3 that hardware or
// software has failed, 4 that the server is in maintenance with degraded accuracy.
QString nistHealthProblem(int health);

// The date text and time text taken out of a reply line by character position;
// positions beyond the end give shorter texts, never an error.
struct DaytimeFields {
    QString date;
    QString time;
};

// NIST layout: a line feed, the Modified Julian Day, " YY-MM-DD HH:MM:SS ..." in UTC.
DaytimeFields nistFields(const QString &reply);

// The NIST "HH:MM:SS" time text, in UTC. Stricter than what a user may type: a reply
// cut short ("03:5") must not pass for 03:05. A leap second, 23:59:60, is 23:59:59.
// Throws RunTimeError.
QTime nistTime(const QString &text);

} // namespace horalis
