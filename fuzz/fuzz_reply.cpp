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
#include <optional>

using namespace horalis;

namespace {

constexpr qint64 BeijingOffsetMs = 8 * 3600 * 1000;

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

// An accepted "HH:MM:SS", where a leap second reads as the second before it.
bool timeTextNames(const QString &text, QTime time)
{
    QString named = text;
    if (named.endsWith(u":60"))
        named.replace(6, 2, QStringLiteral("59"));
    return time.toString(u"HH:mm:ss") == named;
}

void readPrimary(const QString &reply)
{
    const std::optional<DaytimeStamp> stamp = primaryStamp(reply);
    if (!stamp)
        return;
    // A whole second in UTC, and the Beijing date and time the text names.
    HORALIS_REQUIRE(stamp->utcMs % 1000 == 0);
    HORALIS_REQUIRE(stamp->health == 0);
    const QDateTime beijing =
        QDateTime::fromMSecsSinceEpoch(stamp->utcMs + BeijingOffsetMs, QTimeZone::utc());
    HORALIS_REQUIRE(beijing.date() == stamp->beijingDate);
    HORALIS_REQUIRE(beijing.time() == stamp->beijingTime);
    HORALIS_REQUIRE(stamp->beijingDate.toString(u"yyyy-MM-dd") == reply.first(10));
    HORALIS_REQUIRE(timeTextNames(reply.sliced(11, 8), stamp->beijingTime));
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
    // The field readers alone, on any text: short fields, and a time that names itself.
    const DaytimeFields fields = nistFields(reply);
    HORALIS_REQUIRE(fields.date.size() <= 8 && fields.time.size() <= 8);
    for (const QString &text : {fields.time, reply.first(std::min<qsizetype>(reply.size(), 8))}) {
        try {
            HORALIS_REQUIRE(timeTextNames(text, nistTime(text)));
        } catch (const RunTimeError &error) {
            refused(error);
        }
    }

    DaytimeStamp stamp;
    try {
        stamp = nistStamp(reply);
    } catch (const RunTimeError &error) {
        refused(error);
        return;
    }
    // The date and time the line names, in UTC, less an advance of under a second
    // (rounded to the millisecond).
    HORALIS_REQUIRE(stamp.health >= 0 && stamp.health <= 9);
    HORALIS_REQUIRE(nistHealthProblem(stamp.health).isEmpty() == (stamp.health == 0));
    const QDateTime written = QDateTime(stamp.beijingDate, stamp.beijingTime, QTimeZone::utc())
                                  .addMSecs(-BeijingOffsetMs);
    HORALIS_REQUIRE(written.date().toString(u"yy-MM-dd") == fields.date);
    HORALIS_REQUIRE(timeTextNames(fields.time, written.time()));
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
