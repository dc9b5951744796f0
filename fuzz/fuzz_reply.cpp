// A Daytime server's bytes, as the client takes them: cut into pieces as a socket may hand
// them over, kept in the reply buffer until it is complete or the server closes, then
// read by both stamp readers.
//
// Input: one byte that sets how the rest is cut (0: in one piece), then the server's bytes.
#include "daytimereply.h"
#include "require.h"
#include "runtimeerror.h"

#include <QByteArrayView>
#include <QDateTime>
#include <QRegularExpression>
#include <QTimeZone>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

using namespace horalis;

namespace {

constexpr qint64 BeijingOffsetMs = 8 * 3600 * 1000;
// The last minute of the UTC day, the only one a leap second (:60) falls in, as the
// NIST line writes it (UTC) and as the primary writes it (Beijing time, UTC+8).
const QTime UtcLastMinute(23, 59);
const QTime BeijingLastMinute(7, 59);
// Day 0 of the Modified Julian Day count, 1858-11-17, is Julian Day 2400001.
constexpr qint64 MjdToJulianDay = 2'400'001;

bool isLineEnd(char c)
{
    return c == '\n' || c == '\r';
}

// The buffer's promise, said another way: full, or a line end after the first character
// that is not one.
bool completeBytes(QByteArrayView kept)
{
    if (kept.size() >= ReplyBuffer::MaxBytes)
        return true;
    const auto text = std::find_if_not(kept.begin(), kept.end(), isLineEnd);
    return std::find_if(text, kept.end(), isLineEnd) != kept.end();
}

// What the client takes from the bytes: the buffer's text once it is complete, the rest
// unread; or, when the server closes first, whatever arrived. Piece sizes run from 0 to
// key, drawn from a small generator the key seeds.
QString takeReply(std::uint8_t key, QByteArrayView bytes)
{
    ReplyBuffer buffer;
    std::uint32_t state = key;
    qsizetype at = 0;
    while (at < bytes.size()) {
        state = state * 1'103'515'245u + 12'345u;
        const qsizetype size = key == 0 ? bytes.size() : qsizetype((state >> 16) % (key + 1u));
        const qsizetype piece = std::min(size, bytes.size() - at);
        buffer.append(bytes.sliced(at, piece).toByteArray());
        at += piece;
        if (buffer.isComplete())
            break;
    }
    const QByteArrayView kept = bytes.first(std::min(at, ReplyBuffer::MaxBytes));
    HORALIS_REQUIRE(buffer.isComplete() == completeBytes(kept));
    HORALIS_REQUIRE(buffer.isEmpty() == kept.isEmpty());
    const QString text = buffer.text();
    HORALIS_REQUIRE(text == QString::fromLatin1(kept));
    return text;
}

// The time an "HH:MM:SS" text of ASCII digits names, or an invalid time. A leap second,
// :60, is a time only in lastMinute, the last minute of the UTC day in the text's own
// time, and names that minute's :59, which a clock counting no leap seconds repeats.
QTime namedTime(const QString &text, QTime lastMinute)
{
    static const QRegularExpression layout(
        QStringLiteral("\\A([0-9]{2}):([0-9]{2}):([0-9]{2})\\z"));
    const QRegularExpressionMatch match = layout.match(text);
    if (!match.hasMatch())
        return {};
    const int hour = match.captured(1).toInt(), minute = match.captured(2).toInt(),
              second = match.captured(3).toInt();
    if (second == 60)
        return QTime(hour, minute) == lastMinute ? QTime(hour, minute, 59) : QTime();
    return QTime(hour, minute, second);
}

// The Beijing date and time a primary reply names when it is well formed:
// "YYYY-MM-DD HH:MM:SS" of a date and a time that exist, then only spaces, CR and LF.
// Such a reply is what the primary sends, and the only thing read as a time.
struct BeijingStamp {
    QDate date;
    QTime time;
};
std::optional<BeijingStamp> wellFormedPrimary(const QString &reply)
{
    static const QRegularExpression layout(QStringLiteral(
        "\\A([0-9]{4})-([0-9]{2})-([0-9]{2}) ([0-9]{2}:[0-9]{2}:[0-9]{2})[ \\r\\n]*\\z"));
    const QRegularExpressionMatch match = layout.match(reply);
    if (!match.hasMatch())
        return std::nullopt;
    const QDate date(match.captured(1).toInt(), match.captured(2).toInt(),
                     match.captured(3).toInt());
    const QTime time = namedTime(match.captured(4), BeijingLastMinute);
    if (!date.isValid() || !time.isValid())
        return std::nullopt;
    return BeijingStamp{date, time};
}

// The date a NIST line's Modified Julian Day names: the five digits after its first
// character, then a space. Invalid when the line has no such number.
QDate dayNumberDate(const QString &reply)
{
    static const QRegularExpression layout(QStringLiteral("\\A.([0-9]{5}) "),
                                           QRegularExpression::DotMatchesEverythingOption);
    const QRegularExpressionMatch match = layout.match(reply);
    return match.hasMatch() ? QDate::fromJulianDay(match.captured(1).toLongLong() + MjdToJulianDay)
                            : QDate();
}

// A NIST line as NIST sends it: a line feed, "JJJJJ YY-MM-DD HH:MM:SS TT L H msADV
// UTC(NIST) *" with a day number naming the date written and a time that exists, then
// only spaces, CR and LF. The reader may take more than this; this it must take.
bool wellFormedNist(const QString &reply)
{
    static const QRegularExpression layout(
        QStringLiteral("\\A\\n[0-9]{5} ([0-9]{2}-[0-9]{2}-[0-9]{2}) ([0-9]{2}:[0-9]{2}:[0-9]{2})"
                       " [0-9]{2} [0-9] [0-9] [0-9]+\\.[0-9] UTC\\(NIST\\) \\*[ \\r\\n]*\\z"));
    const QRegularExpressionMatch match = layout.match(reply);
    return match.hasMatch() && dayNumberDate(reply).toString(u"yy-MM-dd") == match.captured(1) &&
           namedTime(match.captured(2), UtcLastMinute).isValid();
}

void readPrimary(const QString &reply)
{
    // Taken exactly when well formed: the reply is nothing but the stamp.
    const std::optional<BeijingStamp> named = wellFormedPrimary(reply);
    const std::optional<DaytimeStamp> stamp = primaryStamp(reply);
    HORALIS_REQUIRE(stamp.has_value() == named.has_value());
    if (!stamp)
        return;
    // A whole second in UTC, and the Beijing date and time the text names; a leap
    // second only at 07:59:60, read as 07:59:59.
    HORALIS_REQUIRE(stamp->utcMs % 1000 == 0);
    HORALIS_REQUIRE(stamp->health == 0);
    const QDateTime beijing =
        QDateTime::fromMSecsSinceEpoch(stamp->utcMs + BeijingOffsetMs, QTimeZone::utc());
    HORALIS_REQUIRE(beijing.date() == stamp->beijingDate);
    HORALIS_REQUIRE(beijing.time() == stamp->beijingTime);
    HORALIS_REQUIRE(stamp->beijingDate == named->date && stamp->beijingTime == named->time);
    HORALIS_REQUIRE(stamp->beijingDate.toString(u"yyyy-MM-dd") == reply.first(10));
    HORALIS_REQUIRE(stamp->beijingTime == namedTime(reply.sliced(11, 8), BeijingLastMinute));
    const QString after = reply.sliced(19);
    HORALIS_REQUIRE(std::all_of(after.begin(), after.end(),
                                [](QChar c) { return c == u' ' || c == u'\r' || c == u'\n'; }));
}

// A message that names what is wrong with a reply may quote it, but shows only what can
// be printed: a server may send any byte, the message box shows what it is given.
void refused(const RunTimeError &error)
{
    const QString description = error.description();
    HORALIS_REQUIRE(!description.isEmpty());
    HORALIS_REQUIRE(
        std::all_of(description.begin(), description.end(), [](QChar c) { return c.isPrint(); }));
}

void readNist(const QString &reply)
{
    // The field readers alone, on any text: short fields, and a time read exactly when it
    // is "HH:MM:SS" of a time that exists, a leap second only at 23:59:60 (as 23:59:59).
    const DaytimeFields fields = nistFields(reply);
    HORALIS_REQUIRE(fields.date.size() <= 8 && fields.time.size() <= 8);
    for (const QString &text : {fields.time, reply.first(std::min<qsizetype>(reply.size(), 8))}) {
        const QTime named = namedTime(text, UtcLastMinute);
        try {
            HORALIS_REQUIRE(nistTime(text) == named);
        } catch (const RunTimeError &error) {
            HORALIS_REQUIRE(!named.isValid());
            refused(error);
        }
    }

    DaytimeStamp stamp;
    try {
        stamp = nistStamp(reply);
    } catch (const RunTimeError &error) {
        HORALIS_REQUIRE(!wellFormedNist(reply)); // a line as NIST sends it is taken
        refused(error);
        return;
    }
    // The date and time the line names, in UTC, less an advance of under a second
    // (rounded to the millisecond); the date the one its day number names.
    HORALIS_REQUIRE(stamp.health >= 0 && stamp.health <= 9);
    HORALIS_REQUIRE(nistHealthProblem(stamp.health).isEmpty() == (stamp.health == 0));
    const QDateTime written = QDateTime(stamp.beijingDate, stamp.beijingTime, QTimeZone::utc())
                                  .addMSecs(-BeijingOffsetMs);
    HORALIS_REQUIRE(written.date().toString(u"yy-MM-dd") == fields.date);
    HORALIS_REQUIRE(written.date() == dayNumberDate(reply));
    HORALIS_REQUIRE(written.time() == namedTime(fields.time, UtcLastMinute));
    const qint64 earlyMs = written.toMSecsSinceEpoch() - stamp.utcMs;
    HORALIS_REQUIRE(earlyMs >= 0 && earlyMs <= 1000);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0)
        return 0;
    const QString reply = takeReply(data[0], QByteArrayView(data + 1, qsizetype(size - 1)));
    if (reply.isEmpty())
        return 0; // no reply: the server did not answer
    readPrimary(reply);
    readNist(reply);
    return 0;
}
