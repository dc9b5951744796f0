#include "daytimereply.h"

#include "runtimeerror.h"

#include <QDateTime>
#include <QRegularExpression>
#include <QStringList>
#include <QTimeZone>

#include <algorithm>

namespace horalis {

void ReplyBuffer::append(const QByteArray &piece)
{
    const qsizetype room = MaxBytes - m_bytes.size();
    if (room <= 0)
        return;
    const QByteArray kept = piece.left(room);
    // The NIST layout opens with a line feed; only a line end after text ends it.
    for (const char c : kept) {
        const bool lineEnd = c == '\n' || c == '\r';
        m_lineEnded = m_lineEnded || (lineEnd && m_seenText);
        m_seenText = m_seenText || !lineEnd;
    }
    m_bytes.append(kept);
}

QString quotable(const QString &text)
{
    QString quote = text.left(40);
    for (QChar &c : quote) {
        if (!c.isPrint())
            c = u'?';
    }
    return quote;
}

DaytimeFields nistFields(const QString &reply)
{
    return {reply.mid(7, 8), reply.mid(16, 8)};
}

namespace {

constexpr qint64 BeijingOffsetMs = 8 * 3600 * 1000;
constexpr int LeapSecond = 60;

// A time of day from its fields. A leap second can fall only in the minute before
// midnight UTC (invalid elsewhere); there it is read as that minute's second 59, which a
// clock that counts no leap seconds repeats through it.
QTime timeOfDay(int hour, int minute, int second, qint64 utcOffsetMs)
{
    if (second != LeapSecond)
        return QTime(hour, minute, second);
    const QTime lastMinute = QTime(23, 59).addMSecs(int(utcOffsetMs));
    return hour == lastMinute.hour() && minute == lastMinute.minute() ? QTime(hour, minute, 59)
                                                                      : QTime();
}

// Two ASCII digits at a position, or -1.
int twoDigits(const QString &text, qsizetype from)
{
    if (from + 2 > text.size())
        return -1;
    const QChar tens = text.at(from), ones = text.at(from + 1);
    const bool digits = tens >= u'0' && tens <= u'9' && ones >= u'0' && ones <= u'9';
    return digits ? (tens.unicode() - u'0') * 10 + (ones.unicode() - u'0') : -1;
}

DaytimeStamp stampOf(QDate date, QTime time, qint64 utcOffsetMs, qint64 earlyMs)
{
    const QDateTime written(date, time, QTimeZone::utc());
    const QDateTime beijing = written.addMSecs(BeijingOffsetMs - utcOffsetMs);
    return {beijing.date(), beijing.time(), written.toMSecsSinceEpoch() - utcOffsetMs - earlyMs};
}

} // namespace

QTime nistTime(const QString &text)
{
    const bool layout = text.size() == 8 && text.at(2) == u':' && text.at(5) == u':';
    const int hour = twoDigits(text, 0), minute = twoDigits(text, 3), second = twoDigits(text, 6);
    const QTime time = layout && hour >= 0 && minute >= 0 && second >= 0
                           ? timeOfDay(hour, minute, second, 0)
                           : QTime();
    if (!time.isValid())
        throw RunTimeError(QStringLiteral("“%1”不是“时:分:秒”格式的时间。").arg(quotable(text)));
    return time;
}

std::optional<DaytimeStamp> primaryStamp(const QString &reply)
{
    static const QRegularExpression layout(QStringLiteral(
        "\\A([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}):([0-9]{2}):([0-9]{2})[ \\r\\n]*\\z"));
    const QRegularExpressionMatch match = layout.match(reply);
    if (!match.hasMatch())
        return std::nullopt;
    const auto number = [&match](int group) {
        return match.captured(group).toInt();
    };
    const QDate date(number(1), number(2), number(3));
    const QTime time = timeOfDay(number(4), number(5), number(6), BeijingOffsetMs);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return stampOf(date, time, BeijingOffsetMs, 0);
}

DaytimeStamp nistStamp(const QString &reply)
{
    const DaytimeFields fields = nistFields(reply);
    const QTime time = nistTime(fields.time);

    // The date text must be a real date in the century the day number names, and name
    // the same day: a two-digit year alone would be read against a guess.
    const QString mjdText = reply.mid(1, 5);
    const bool mjdWritten =
        reply.size() > 6 && reply.at(6) == u' ' &&
        std::all_of(mjdText.begin(), mjdText.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
    const qint64 mjd = mjdWritten ? mjdText.toLongLong() : 0;
    // Day 0 of the Modified Julian Day count is 1858-11-17, Julian Day 2400001.
    const QDate mjdDate = mjdWritten ? QDate::fromJulianDay(mjd + 2'400'001) : QDate();
    const int yy = twoDigits(fields.date, 0), mm = twoDigits(fields.date, 3),
              dd = twoDigits(fields.date, 6);
    QDate date;
    if (fields.date.size() == 8 && fields.date.at(2) == u'-' && fields.date.at(5) == u'-' &&
        yy >= 0 && mm >= 0 && dd >= 0) {
        const int century = mjdDate.isValid() ? mjdDate.year() - mjdDate.year() % 100 : 2000;
        date = QDate(century + yy, mm, dd);
    }
    if (!date.isValid())
        throw RunTimeError(QStringLiteral("“%1”不是有效的日期。").arg(quotable(fields.date)));
    if (!mjdDate.isValid())
        throw RunTimeError(QStringLiteral("“%1”不是修正儒略日。").arg(quotable(mjdText.trimmed())));
    if (date != mjdDate)
        throw RunTimeError(
            QStringLiteral("日期“%1”与修正儒略日 %2 不符。").arg(fields.date).arg(mjd));

    // The health digit is the sixth field, the advance the seventh; a line cut short
    // before them was sent on time by a healthy server.
    const QStringList words = reply.simplified().split(u' ');
    int health = 0;
    if (words.size() > 5) {
        const QString digit = words.at(5);
        if (digit.size() != 1 || digit.at(0) < u'0' || digit.at(0) > u'9')
            throw RunTimeError(QStringLiteral("“%1”不是健康状态数字。").arg(quotable(digit)));
        health = digit.at(0).unicode() - u'0';
    }
    bool numeric = false;
    const double advance = words.size() > 6 ? words.at(6).toDouble(&numeric) : 0.0;
    const qint64 earlyMs = numeric && advance >= 0 && advance < 1000 ? qRound64(advance) : 0;
    DaytimeStamp stamp = stampOf(date, time, 0, earlyMs);
    stamp.health = health;
    return stamp;
}

QString nistHealthProblem(int health)
{
    switch (health) {
    case 0:
        return {};
    case 1:
        return QStringLiteral("自己的时间可能有最多 5 秒的误差（通常 10 分钟内恢复正常）");
    case 2:
        return QStringLiteral("自己的时间误差已超过 5 秒");
    case 3:
        return QStringLiteral("自己出现了硬件或软件故障，时间不可靠");
    case 4:
        return QStringLiteral("自己正在维护，时间的精度可能下降");
    default:
        return QStringLiteral("未知的健康状态 %1").arg(health);
    }
}

} // namespace horalis
