#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QTime>

namespace horalis {

// The text a Daytime server sends, kept whole when it arrives in pieces. A server
// may send anything, so only the first MaxBytes bytes are kept.
class ReplyBuffer {
public:
    static constexpr qsizetype MaxBytes = 4096;

    void clear() { m_bytes.clear(); }
    void append(const QByteArray &piece);
    bool isEmpty() const { return m_bytes.isEmpty(); }
    // A line end has arrived after some text, or the buffer is full: reading on
    // would not change what the program takes from the reply.
    bool isComplete() const;
    // The reply as text; Daytime replies are ASCII, one character per byte.
    QString text() const { return QString::fromLatin1(m_bytes); }

private:
    QByteArray m_bytes;
};

// The date text and time text taken out of a reply line by character position;
// positions beyond the end give shorter texts, never an error.
struct DaytimeFields {
    QString date;
    QString time;
};

// "YYYY-MM-DD HH:MM:SS": a 10-character date, one separator, an 8-character time.
DaytimeFields primaryFields(const QString &reply);

// NIST layout: a line feed, the Modified Julian Day, " YY-MM-DD HH:MM:SS ..." in UTC.
DaytimeFields nistFields(const QString &reply);

// The NIST "HH:MM:SS" time text. Stricter than what a user may type: a reply cut
// short ("03:5") must not pass for 03:05. Throws RunTimeError.
QTime nistTime(const QString &text);

// A UTC time of day as Beijing time (UTC+8), wrapping past midnight.
QTime utcToBeijing(QTime utc);

// The NIST "YY-MM-DD" UTC date as the Beijing date for the given UTC time of day:
// the next day once the shift passes midnight. Throws RunTimeError when the text
// is not such a date.
QString nistDateToBeijing(const QString &utcDate, QTime utc);

} // namespace horalis
