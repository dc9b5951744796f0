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
#include <QTimeZone>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

using namespace horalis;

namespace {

constexpr qint64 BeijingOffsetMs = 8 * 3600 * 1000;
// The last minute of the UTC day, the only one a leap second (:60) falls in, as the
// NIST line writes it (UTC) and as the primary writes it (Beijing time, UTC+8).
const QTime UtcLastMinute(23, 59);
const QTime BeijingLastMinute(7, 59);

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

// The layouts below are written as their descriptions write them and read here one
// character at a time, with no regular expression and nothing of the reader's code: a
// letter in a layout stands for one ASCII digit of the field it names, '?' for any one
// character, anything else for itself.
using Fields = std::map<char16_t, int>;

std::optional<Fields> fieldsOf(QStringView text, QStringView layout)
{
    if (text.size() != layout.size())
        return std::nullopt;
    Fields fields;
    for (qsizetype i = 0; i < layout.size(); ++i) {
        const char16_t want = layout[i].unicode(), got = text[i].unicode();
        const bool letter = (want >= u'A' && want <= u'Z') || (want >= u'a' && want <= u'z');
        if (want == u'?')
            continue;
        if (!letter && got != want)
            return std::nullopt;
        if (letter && (got < u'0' || got > u'9'))
            return std::nullopt;
        if (letter)
            fields[want] = fields[want] * 10 + (got - u'0');
    }
    return fields;
}

bool onlyLineEndsAndSpaces(QStringView text)
{
    return std::all_of(text.begin(), text.end(),
                       [](QChar c) { return c == u' ' || c == u'\r' || c == u'\n'; });
}

// Whether a day exists in the Gregorian calendar, which has no year 0.
bool dayExists(int year, int month, int day)
{
    static constexpr int MonthDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (year < 1 || month < 1 || month > 12 || day < 1)
        return false;
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return day <= MonthDays[month - 1] + (month == 2 && leap ? 1 : 0);
}

// The time the fields h, m, s name: hours to 23, minutes and seconds to 59. A leap
// second, :60, is a time only in lastMinute, the last minute of the UTC day in the text's
// own time, and names that minute's :59, which a clock counting no leap seconds repeats.
QTime timeOf(const Fields &fields, QTime lastMinute)
{
    const int hour = fields.at(u'h'), minute = fields.at(u'm'), second = fields.at(u's');
    if (hour > 23 || minute > 59 || second > 60)
        return {};
    if (second == 60)
        return hour == lastMinute.hour() && minute == lastMinute.minute() ? QTime(hour, minute, 59)
                                                                          : QTime();
    return QTime(hour, minute, second);
}

// The time an "HH:MM:SS" text names, or an invalid time.
QTime namedTime(const QString &text, QTime lastMinute)
{
    const std::optional<Fields> fields = fieldsOf(text, u"hh:mm:ss");
    return fields ? timeOf(*fields, lastMinute) : QTime();
}

// The Beijing date and time a primary reply names when it is well formed: four digits of
// the year, '-', two of the month, '-', two of the day, a space, two digits each of the
// hour, minute and second joined by ':', of a date and a time that exist, then only
// spaces, CR and LF. Such a reply is what the primary sends, and the only thing read as
// a time.
struct BeijingStamp {
    QDate date;
    QTime time;
};
std::optional<BeijingStamp> wellFormedPrimary(const QString &reply)
{
    constexpr QStringView layout = u"YYYY-MM-DD hh:mm:ss";
    if (reply.size() < layout.size() || !onlyLineEndsAndSpaces(QStringView(reply).sliced(19)))
        return std::nullopt;
    const std::optional<Fields> fields = fieldsOf(QStringView(reply).first(19), layout);
    if (!fields || !dayExists(fields->at(u'Y'), fields->at(u'M'), fields->at(u'D')))
        return std::nullopt;
    const QTime time = timeOf(*fields, BeijingLastMinute);
    if (!time.isValid())
        return std::nullopt;
    return BeijingStamp{QDate(fields->at(u'Y'), fields->at(u'M'), fields->at(u'D')), time};
}

// The date a NIST line's Modified Julian Day names: the five digits after its first
// character, then a space; days counted from 1858-11-17, day 0. Invalid when the line
// has no such number.
QDate dayNumberDate(const QString &reply)
{
    const std::optional<Fields> fields =
        fieldsOf(QStringView(reply).first(std::min<qsizetype>(reply.size(), 7)), u"?JJJJJ ");
    return fields ? QDate(1858, 11, 17).addDays(fields->at(u'J')) : QDate();
}

// A NIST line as NIST describes its daytime format: a line feed, then
// "JJJJJ YR-MO-DA HH:MM:SS TT L H msADV UTC(NIST) OTM": the Modified Julian Day (five
// digits), the date (two digits each), the time of day in UTC, two digits TT, one digit
// each for L and H, the milliseconds msADV the line is sent early by (digits, a point,
// one digit), "UTC(NIST)" and the on-time marker '*'; then only spaces, CR and LF. The
// day number names the date written, and the time exists. The reader may take more than
// this; this it must take, and take msADV off, rounded, when under a second. Gives the
// milliseconds it must take off, or nothing when the line is not one.
std::optional<qint64> wellFormedNist(const QString &reply)
{
    constexpr QStringView layout = u"\nJJJJJ YY-MM-DD hh:mm:ss TT L H ";
    if (reply.size() < layout.size())
        return std::nullopt;
    const std::optional<Fields> fields = fieldsOf(QStringView(reply).first(layout.size()), layout);
    const QDate day = dayNumberDate(reply);
    if (!fields || !day.isValid() || day.year() % 100 != fields->at(u'Y') ||
        day.month() != fields->at(u'M') || day.day() != fields->at(u'D') ||
        !timeOf(*fields, UtcLastMinute).isValid())
        return std::nullopt;
    // msADV: its whole milliseconds, the point, the tenth.
    QStringView rest = QStringView(reply).sliced(layout.size());
    qint64 wholeMs = 0;
    qsizetype digits = 0;
    for (; digits < rest.size() && rest[digits] >= u'0' && rest[digits] <= u'9'; ++digits)
        wholeMs = std::min<qint64>(wholeMs * 10 + (rest[digits].unicode() - u'0'), 1'000'000);
    if (digits == 0 || rest.size() < digits + 2 || rest[digits] != u'.' ||
        rest[digits + 1] < u'0' || rest[digits + 1] > u'9')
        return std::nullopt;
    const bool roundsUp = rest[digits + 1] >= u'5';
    rest = rest.sliced(digits + 2);
    constexpr QStringView end = u" UTC(NIST) *";
    if (!rest.startsWith(end) || !onlyLineEndsAndSpaces(rest.sliced(end.size())))
        return std::nullopt;
    return wholeMs < 1000 ? wholeMs + (roundsUp ? 1 : 0) : 0;
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
    const std::optional<qint64> advanceMs = wellFormedNist(reply);
    HORALIS_REQUIRE(!advanceMs || earlyMs == *advanceMs);
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
