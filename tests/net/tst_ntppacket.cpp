// The NTP request, the checks a reply must pass, its stamps' era and the time its four
// timestamps give, on packets written byte by byte.
#include "ntpfake.h"
#include "ntppacket.h"

#include <QDateTime>
#include <QTest>
#include <QTimeZone>

#include <functional>

using namespace horalis;
using namespace horalis::test;

namespace {

// 2026-12-06 23:33:20 UTC, in NTP seconds of era 0.
constexpr qint64 UnixSecond = 1'796'600'000;
constexpr quint64 NtpSecond = quint64(UnixSecond + 2'208'988'800LL);
constexpr qint64 Pivot2026 = 1'782'864'000; // 2026-07-01
constexpr qint64 Pivot2036 = 2'087'942'400; // 2036-03-01, after the wrap
constexpr qint64 Pivot1900 = -2'208'988'800;
constexpr qint64 Wrap2036 = 2'085'978'496; // 2036-02-07 06:28:16 UTC: NTP second 0 of era 1
constexpr quint64 Sent = 0x0123'4567'89ab'cdefULL;

constexpr quint64 stamp(quint64 seconds, quint32 fraction)
{
    return seconds << 32 | fraction;
}

// A sound reply to Sent: received 0.25 s past UnixSecond and sent 62.5 ms later; the
// request left at boot clock 10000 ms and the reply came 100 ms later.
NtpFields soundReply()
{
    NtpFields f;
    f.originate = Sent;
    f.receive = stamp(NtpSecond, 0x4000'0000);
    f.transmit = stamp(NtpSecond, 0x5000'0000);
    return f;
}
constexpr qint64 SentMs = 10'000;
constexpr qint64 ArrivedMs = 10'100;

// A row of the refusals table: the sound reply, changed.
void refusalRow(const char *name, const std::function<void(NtpFields &)> &change,
                NtpRefusal refusal, const char *says)
{
    NtpFields f = soundReply();
    change(f);
    QTest::newRow(name) << ntpBytes(f) << int(refusal) << QString::fromLatin1(says);
}

// Rows of the refusals table: the header's fields: version, mode, length, originate, leap
// indicator.
void headerRows()
{
    using R = NtpRefusal;
    refusalRow(
        "sound", [](NtpFields &) {}, R::None, "taken");
    refusalRow(
        "version 3", [](NtpFields &f) { f.version = 3; }, R::None, "taken");
    refusalRow(
        "version 2", [](NtpFields &f) { f.version = 2; }, R::WrongVersion, "version is 2");
    refusalRow(
        "version 5", [](NtpFields &f) { f.version = 5; }, R::WrongVersion, "version is 5");
    refusalRow(
        "mode 3 (a request)", [](NtpFields &f) { f.mode = 3; }, R::WrongMode, "mode is 3");
    refusalRow(
        "mode 5 (broadcast)", [](NtpFields &f) { f.mode = 5; }, R::WrongMode, "mode is 5");
    refusalRow(
        "47 bytes", [](NtpFields &f) { f.size = 47; }, R::Short, "48 bytes");
    refusalRow(
        "no bytes", [](NtpFields &f) { f.size = 0; }, R::Short, "48 bytes");
    refusalRow(
        "68 bytes (with a MAC)", [](NtpFields &f) { f.size = 68; }, R::None, "taken");
    refusalRow(
        "originate one bit off", [](NtpFields &f) { f.originate ^= 1; }, R::WrongOriginate,
        "originate");
    refusalRow(
        "originate zero", [](NtpFields &f) { f.originate = 0; }, R::WrongOriginate, "originate");
    refusalRow(
        "LI 3", [](NtpFields &f) { f.leap = 3; }, R::NotSynchronized, "not synchronized");
    refusalRow(
        "LI 1 (leap second ahead)", [](NtpFields &f) { f.leap = 1; }, R::None, "taken");
    refusalRow(
        "LI 2", [](NtpFields &f) { f.leap = 2; }, R::None, "taken");
}

// Rows of the refusals table: stratum 0, a kiss-o'-death, and the strata no server may have.
void stratumRows()
{
    using R = NtpRefusal;
    refusalRow(
        "kiss INIT", [](NtpFields &f) { f.stratum = 0, f.referenceId = code("INIT"); },
        R::OtherKiss, "kiss-o'-death INIT");
    refusalRow(
        "kiss RATE with a wrong originate",
        [](NtpFields &f) { f.stratum = 0, f.referenceId = code("RATE"), f.originate = 7; },
        R::WrongOriginate, "originate");
    refusalRow(
        "kiss RATE of LI 3",
        [](NtpFields &f) { f.stratum = 0, f.leap = 3, f.referenceId = code("RATE"); },
        R::KissOfDeath, "RATE");
    refusalRow(
        "stratum 1", [](NtpFields &f) { f.stratum = 1; }, R::None, "taken");
    refusalRow(
        "stratum 15", [](NtpFields &f) { f.stratum = 15; }, R::None, "taken");
    refusalRow(
        "stratum 16", [](NtpFields &f) { f.stratum = 16; }, R::StratumTooHigh, "stratum 16");
    refusalRow(
        "stratum 255", [](NtpFields &f) { f.stratum = 255; }, R::StratumTooHigh, "stratum 255");
    for (const char *kiss : {"RATE", "DENY", "RSTR"}) {
        NtpFields f = soundReply();
        f.stratum = 0;
        f.referenceId = quint32(quint8(kiss[0])) << 24 | quint32(quint8(kiss[1])) << 16 |
                        quint32(quint8(kiss[2])) << 8 | quint8(kiss[3]);
        QTest::addRow("kiss %s", kiss) << ntpBytes(f) << int(R::KissOfDeath)
                                       << QStringLiteral("kiss-o'-death %1: the server is not "
                                                         "asked again")
                                              .arg(QLatin1StringView(kiss));
    }
}

// Rows of the refusals table: the timestamps and the root distance.
void stampRows()
{
    using R = NtpRefusal;
    refusalRow(
        "zero transmit", [](NtpFields &f) { f.transmit = 0; }, R::ZeroTransmit, "zero");
    // The hold is 62.5 ms of the 100 ms round trip; the boot clock's millisecond is
    // allowed for, no more.
    refusalRow(
        "transmit before receive", [](NtpFields &f) { f.transmit = f.receive - 1; }, R::HoldTooLong,
        "longer than");
    refusalRow(
        "hold just under 101 ms", [](NtpFields &f) { f.transmit = f.receive + 0x19DB'22D0; },
        R::None, "taken");
    refusalRow(
        "hold just over 101 ms", [](NtpFields &f) { f.transmit = f.receive + 0x19DB'22D1; },
        R::HoldTooLong, "101.0 ms");
    refusalRow(
        "hold 101.2 ms", [](NtpFields &f) { f.transmit = f.receive + 0x19E8'3E42; }, // 101.2 ms
        R::HoldTooLong, "101.2 ms");
    // Root distance: (root delay + 37.5 ms) / 2 + root dispersion.
    refusalRow(
        "root delay 1.9 s", [](NtpFields &f) { f.rootDelay = 0x0001'E666, f.rootDispersion = 0; },
        R::None, "taken");
    refusalRow(
        "root delay 2 s", [](NtpFields &f) { f.rootDelay = 0x0002'0000, f.rootDispersion = 0; },
        R::RootDistanceTooLong, "1018.8 ms, over 1 s");
    refusalRow(
        "root dispersion 0.98 s",
        [](NtpFields &f) { f.rootDelay = 0, f.rootDispersion = 0x0000'FAE1; }, R::None, "taken");
    // A hold a little over the 100 ms round trip leaves no delay of the exchange's own:
    // the root distance is the dispersion alone, and exactly 1 s is still taken.
    refusalRow(
        "root distance exactly 1 s",
        [](NtpFields &f) {
            f.transmit = f.receive + 0x1999'999A, f.rootDelay = 0, f.rootDispersion = 0x0001'0000;
        },
        R::None, "taken");
    refusalRow(
        "hold 50 s", [](NtpFields &f) { f.transmit = f.receive + (quint64(50) << 32); },
        R::HoldTooLong, "held the request 50000.0 ms");
    refusalRow(
        "root dispersion 0.99 s",
        [](NtpFields &f) { f.rootDelay = 0, f.rootDispersion = 0x0000'FD71; },
        R::RootDistanceTooLong, "over 1 s");
}

// Rows of the times table: the four timestamps' arithmetic and its one rounding.
void roundingRows()
{
    const qint64 ms = UnixSecond * 1000;
    // 0.3125 s + (100 - 62.5) / 2 ms = 0.33125 s.
    QTest::newRow("hold 62.5 of 100 ms")
        << stamp(NtpSecond, 0x4000'0000) << stamp(NtpSecond, 0x5000'0000) << SentMs << ArrivedMs
        << Pivot2026 << ms + 331 << qint64(37'500);
    QTest::newRow("no hold, 1 ms: +0.5 rounds up")
        << stamp(NtpSecond, 0) << stamp(NtpSecond, 0) << qint64(0) << qint64(1) << Pivot2026
        << ms + 1 << qint64(1000);
    QTest::newRow("no round trip") << stamp(NtpSecond, 0) << stamp(NtpSecond, 0) << qint64(5)
                                   << qint64(5) << Pivot2026 << ms << qint64(0);
    QTest::newRow("0.4 ms rounds down")
        << stamp(NtpSecond, 1'717'986) << stamp(NtpSecond, 1'717'986) << qint64(0) << qint64(0)
        << Pivot2026 << ms << qint64(0);
    // 0.49999985 ms and 0.50000008 ms: rounded once, not to microseconds first.
    QTest::newRow("just under 0.5 ms rounds down")
        << stamp(NtpSecond, 2'147'483) << stamp(NtpSecond, 2'147'483) << qint64(0) << qint64(0)
        << Pivot2026 << ms << qint64(0);
    QTest::newRow("just over 0.5 ms rounds up")
        << stamp(NtpSecond, 2'147'484) << stamp(NtpSecond, 2'147'484) << qint64(0) << qint64(0)
        << Pivot2026 << ms + 1 << qint64(0);
    // 0.3 ms past the second and a 0.4 ms delay (1 ms less a 0.6 ms hold): 0.5 ms.
    QTest::newRow("half of a delay under 1 ms")
        << stamp(NtpSecond, 0) << stamp(NtpSecond, 2'576'980) << qint64(0) << qint64(1) << Pivot2026
        << ms + 1 << qint64(400);
    QTest::newRow("0.6 ms rounds up") << stamp(NtpSecond, 2'576'980) << stamp(NtpSecond, 2'576'980)
                                      << qint64(0) << qint64(0) << Pivot2026 << ms + 1 << qint64(0);
    QTest::newRow("a fraction just short of a second carries")
        << stamp(NtpSecond, 0xFFFF'FFFF) << stamp(NtpSecond, 0xFFFF'FFFF) << qint64(0) << qint64(0)
        << Pivot2026 << ms + 1000 << qint64(0);
    QTest::newRow("boot clock 7 days on")
        << stamp(NtpSecond, 0) << stamp(NtpSecond, 0) << qint64(604'800'000) << qint64(604'800'300)
        << Pivot2026 << ms + 150 << qint64(300'000);
}

// Rows of the times table: the era of the stamps.
void eraRows()
{
    // Received 0.5 s before the wrap, sent 0.25 s after it: held 0.75 s of 1 s.
    QTest::newRow("across the 2036 wrap")
        << stamp(0xFFFF'FFFF, 0x8000'0000) << stamp(0, 0x4000'0000) << qint64(0) << qint64(1000)
        << Pivot2026 << Wrap2036 * 1000 + 375 << qint64(250'000);
    QTest::newRow("the epoch") << stamp(2'208'988'800u, 0) << stamp(2'208'988'800u, 0) << qint64(0)
                               << qint64(0) << qint64(0) << qint64(0) << qint64(0);
    QTest::newRow("half a second before 1970")
        << stamp(2'208'988'799u, 0x8000'0000) << stamp(2'208'988'799u, 0x8000'0000) << qint64(0)
        << qint64(0) << qint64(0) << qint64(-500) << qint64(0);
    QTest::newRow("before 1970, +0.5 ms rounds up")
        << stamp(2'208'988'799u, 0x8000'0000) << stamp(2'208'988'799u, 0x8000'0000) << qint64(0)
        << qint64(1) << qint64(0) << qint64(-499) << qint64(1000);
    QTest::newRow("1900") << stamp(0, 0x8000'0000) << stamp(0, 0x8000'0000) << qint64(0)
                          << qint64(0) << Pivot1900 << Pivot1900 * 1000 + 500 << qint64(0);
}

} // namespace

class TestNtpPacket : public QObject {
    Q_OBJECT
private slots:
    void request();
    void refusals_data();
    void refusals();
    void eras_data();
    void eras();
    void times_data();
    void times();
    void referenceText_data();
    void referenceText();
    void buildPivot();
};

void TestNtpPacket::request()
{
    const NtpTimestamp bits = randomTransmitBits();
    const QByteArray packet = ntpRequest(bits);
    QCOMPARE(packet.size(), 48);
    QCOMPARE(quint8(packet[0]), quint8(0x23)); // LI 0, version 4, mode 3
    QCOMPARE(transmitOf(packet), bits);
    QCOMPARE(packet.mid(1, 39), QByteArray(39, '\0'));
    // 64 random bits: two draws that agree would be a generator that does not draw.
    QVERIFY(randomTransmitBits() != randomTransmitBits());
    QVERIFY(bits != 0);
}

void TestNtpPacket::refusals_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("refusal");
    QTest::addColumn<QString>("says");
    headerRows();
    stratumRows();
    stampRows();
}

void TestNtpPacket::refusals()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, refusal);
    QFETCH(QString, says);
    const NtpReading reading = readNtpReply(bytes, Sent, SentMs, ArrivedMs, Pivot2026);
    QCOMPARE(int(reading.refusal), refusal);
    QVERIFY2(ntpRefusalText(reading).contains(says), qPrintable(ntpRefusalText(reading)));
    if (reading.refusal == NtpRefusal::None) // every sound row gives the same time
        QCOMPARE(reading.instant.bootMs, ArrivedMs);
}

void TestNtpPacket::eras_data()
{
    QTest::addColumn<quint32>("ntpSeconds");
    QTest::addColumn<qint64>("pivot");
    QTest::addColumn<qint64>("unixSeconds");
    QTest::newRow("2026 near 2026") << quint32(NtpSecond) << Pivot2026 << UnixSecond;
    QTest::newRow("NTP 0 near 2026: 2036") << 0u << Pivot2026 << Wrap2036;
    QTest::newRow("last second of era 0") << 0xFFFF'FFFFu << Pivot2026 << Wrap2036 - 1;
    QTest::newRow("before the wrap, pivot after") << 0xFFFF'FF00u << Pivot2036 << Wrap2036 - 256;
    QTest::newRow("after the wrap, pivot after") << 5u << Pivot2036 << Wrap2036 + 5;
    QTest::newRow("2026 seen from 2036") << quint32(NtpSecond) << Pivot2036 << UnixSecond;
    QTest::newRow("1970 near 1970") << 2'208'988'800u << qint64(0) << qint64(0);
    // 1900 is more than 68 years before 1970: the nearer 2036 is taken.
    QTest::newRow("NTP 0 near 1970: 2036") << 0u << qint64(0) << Wrap2036;
    QTest::newRow("1900 near 1900") << 0u << Pivot1900 << Pivot1900;
    // The window is [pivot - 2^31 s, pivot + 2^31 s).
    QTest::newRow("2^31 s after the pivot") << 1'844'369'152u << Pivot2026 << qint64(-364'619'648);
    QTest::newRow("2^31 s after the pivot, less 1")
        << 1'844'369'151u << Pivot2026 << qint64(3'930'347'647);
}

void TestNtpPacket::eras()
{
    QFETCH(quint32, ntpSeconds);
    QFETCH(qint64, pivot);
    QFETCH(qint64, unixSeconds);
    QCOMPARE(ntpUnixSeconds(ntpSeconds, pivot), unixSeconds);
    // The build's own pivot puts this year's stamps in this era and NTP's 0 after 2036.
    QCOMPARE(ntpUnixSeconds(quint32(NtpSecond), ntpEraPivotSeconds()), UnixSecond);
    QCOMPARE(ntpUnixSeconds(0, ntpEraPivotSeconds()), Wrap2036);
}

void TestNtpPacket::times_data()
{
    QTest::addColumn<quint64>("receive");
    QTest::addColumn<quint64>("transmit");
    QTest::addColumn<qint64>("sentMs");
    QTest::addColumn<qint64>("arrivedMs");
    QTest::addColumn<qint64>("pivot");
    QTest::addColumn<qint64>("utcMs");
    QTest::addColumn<qint64>("roundTripUs");
    roundingRows();
    eraRows();
}

void TestNtpPacket::times()
{
    QFETCH(quint64, receive);
    QFETCH(quint64, transmit);
    QFETCH(qint64, sentMs);
    QFETCH(qint64, arrivedMs);
    QFETCH(qint64, pivot);
    QFETCH(qint64, utcMs);
    QFETCH(qint64, roundTripUs);
    NtpFields f = soundReply();
    f.receive = receive;
    f.transmit = transmit;
    f.rootDelay = f.rootDispersion = 0;
    const NtpReading reading = readNtpReply(ntpBytes(f), Sent, sentMs, arrivedMs, pivot);
    QCOMPARE(int(reading.refusal), int(NtpRefusal::None));
    QCOMPARE(reading.instant.utcMs, utcMs);
    QCOMPARE(reading.instant.bootMs, arrivedMs);
    QCOMPARE(reading.roundTripUs, roundTripUs);
    QCOMPARE(reading.offsetMs(), utcMs - arrivedMs);
}

void TestNtpPacket::referenceText_data()
{
    QTest::addColumn<int>("stratum");
    QTest::addColumn<quint32>("id");
    QTest::addColumn<QString>("text");
    QTest::newRow("stratum 1 GPS") << 1 << code("GPS\0") << QStringLiteral("GPS");
    QTest::newRow("stratum 1 NTSC") << 1 << code("NTSC") << QStringLiteral("NTSC");
    QTest::newRow("stratum 1 control byte") << 1 << code("A\nB\0") << QStringLiteral("A\\x0aB");
    QTest::newRow("stratum 0 RATE") << 0 << code("RATE") << QStringLiteral("RATE");
    QTest::newRow("stratum 2 address") << 2 << 0xC0A8'0001u << QStringLiteral("192.168.0.1");
    QTest::newRow("stratum 3 address") << 3 << 0x0A00'FF07u << QStringLiteral("10.0.255.7");
    QTest::newRow("stratum 2 odd octets") << 2 << 0x0B01'0305u << QStringLiteral("11.1.3.5");
    QTest::newRow("stratum 1 unit separator") << 1 << code("A\x1f\0\0") << QStringLiteral("A\\x1f");
    QTest::newRow("stratum 1 space, tilde, delete")
        << 1 << code(" ~\x7f\0") << QStringLiteral(" ~\\x7f");
}

void TestNtpPacket::referenceText()
{
    QFETCH(int, stratum);
    QFETCH(quint32, id);
    QFETCH(QString, text);
    NtpHeader header;
    header.stratum = stratum;
    header.referenceId = id;
    QCOMPARE(ntpReferenceText(header), text);
}

void TestNtpPacket::buildPivot()
{
    // Stamps are read in the era nearest 1 July of the year the program was built, no
    // earlier than its release and no later than this year.
    const QDateTime pivot =
        QDateTime::fromMSecsSinceEpoch(ntpEraPivotSeconds() * 1000, QTimeZone::utc());
    QCOMPARE(pivot.time(), QTime(0, 0));
    QCOMPARE(pivot.date().month(), 7);
    QCOMPARE(pivot.date().day(), 1);
    QVERIFY2(pivot.date().year() >= 2026 && pivot.date().year() <= QDate::currentDate().year(),
             qPrintable(pivot.toString(Qt::ISODate)));
}

QTEST_GUILESS_MAIN(TestNtpPacket)
#include "tst_ntppacket.moc"
