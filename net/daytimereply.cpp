#include "daytimereply.h"

#include "runtimeerror.h"

namespace horalis {

void ReplyBuffer::append(const QByteArray &piece)
{
    const qsizetype room = MaxBytes - m_bytes.size();
    if (room > 0)
        m_bytes.append(piece.left(room));
}

bool ReplyBuffer::isComplete() const
{
    if (m_bytes.size() >= MaxBytes)
        return true;
    // The NIST layout opens with a line feed; only a line end after text ends it.
    bool seenText = false;
    for (const char c : m_bytes) {
        const bool lineEnd = c == '\n' || c == '\r';
        if (lineEnd && seenText)
            return true;
        seenText = seenText || !lineEnd;
    }
    return false;
}

DaytimeFields primaryFields(const QString &reply)
{
    return {reply.mid(0, 10), reply.mid(11, 8)};
}

DaytimeFields nistFields(const QString &reply)
{
    return {reply.mid(7, 8), reply.mid(16, 8)};
}

QTime nistTime(const QString &text)
{
    const QTime time = QTime::fromString(text, QStringLiteral("HH:mm:ss"));
    if (text.size() != 8 || !time.isValid())
        throw RunTimeError(QStringLiteral("“%1”不是“时:分:秒”格式的时间。").arg(text.left(40)));
    return time;
}

QTime utcToBeijing(QTime utc)
{
    return QTime((utc.hour() + 8) % 24, utc.minute(), utc.second());
}

QString nistDateToBeijing(const QString &utcDate, QTime utc)
{
    // NIST writes the year with two digits; its servers speak of this century.
    const auto number = [&utcDate](qsizetype from) {
        const QChar tens = utcDate.at(from), ones = utcDate.at(from + 1);
        const bool digits = tens >= u'0' && tens <= u'9' && ones >= u'0' && ones <= u'9';
        return digits ? (tens.unicode() - u'0') * 10 + (ones.unicode() - u'0') : -1;
    };
    QDate date;
    if (utcDate.size() == 8 && utcDate.at(2) == u'-' && utcDate.at(5) == u'-' && number(0) >= 0)
        date = QDate(2000 + number(0), number(3), number(6));
    if (!date.isValid())
        throw RunTimeError(QStringLiteral("“%1”不是有效的日期。").arg(utcDate.left(40)));
    if (utc.hour() >= 16)
        date = date.addDays(1);
    return date.toString(QStringLiteral("yy-MM-dd"));
}

} // namespace horalis
