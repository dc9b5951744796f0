// The arithmetic that times the second Daytime query and takes the offset from two
// replies, value by value; tst_daytimeclient holds it to its accuracy over every offset.
#include "offsetestimate.h"

#include <QTest>

using namespace horalis;

class TestOffsetEstimate : public QObject {
    Q_OBJECT

private slots:
    void timing_data();
    void timing();
    void range_data();
    void range();
    void splitting_data();
    void splitting();
    void schedule_data();
    void schedule();
};

void TestOffsetEstimate::timing_data()
{
    QTest::addColumn<qint64>("connectStartMs");
    QTest::addColumn<qint64>("connectedMs");
    QTest::addColumn<qint64>("firstDataMs");
    QTest::addColumn<qint64>("roundTripMs");
    QTest::addColumn<qint64>("sampledMs"); // half a round trip before the first data
    QTest::addColumn<qint64>("leadMs");    // from the start to the server's reading

    QTest::newRow("handshake the shorter") << 1000LL << 1040LL << 1100LL << 40LL << 1080LL << 80LL;
    QTest::newRow("answer the shorter") << 1000LL << 1060LL << 1090LL << 30LL << 1075LL << 45LL;
    // A lost SYN lengthens the handshake by a second; the next query need not lose one.
    QTest::newRow("a SYN lost") << 0LL << 1040LL << 1080LL << 40LL << 1060LL << 60LL;
    QTest::newRow("slow server") << 0LL << 40LL << 540LL << 40LL << 520LL << 520LL;
    QTest::newRow("odd round trip, halved down") << 0LL << 41LL << 100LL << 41LL << 80LL << 80LL;
    QTest::newRow("no time at all") << 500LL << 500LL << 500LL << 0LL << 500LL << 0LL;
    QTest::newRow("never below zero") << 100LL << 90LL << 95LL << 0LL << 95LL << 5LL;
}

void TestOffsetEstimate::timing()
{
    QFETCH(qint64, connectStartMs);
    QFETCH(qint64, connectedMs);
    QFETCH(qint64, firstDataMs);

    const QueryTiming timing{connectStartMs, connectedMs, firstDataMs};
    QTEST(timing.roundTripMs(), "roundTripMs");
    QTEST(timing.sampledMs(), "sampledMs");
    QTEST(timing.leadMs(), "leadMs");
}

void TestOffsetEstimate::range_data()
{
    QTest::addColumn<qint64>("olderStampMs"); // a whole-second stamp and the boot time read
    QTest::addColumn<qint64>("olderBootMs");
    QTest::addColumn<qint64>("newerStampMs");
    QTest::addColumn<qint64>("newerBootMs");
    QTest::addColumn<qint64>("offsetMs"); // the estimate

    // older: [10'000 - 2'300, 11'000 - 2'300) = [7'700, 8'700).
    QTest::newRow("overlap: its middle") << 10'000LL << 2'300LL << 11'000LL << 3'000LL << 8'350LL;
    QTest::newRow("one inside the other")
        << 10'000LL << 2'300LL << 11'000LL << 3'100LL << (7'900 + 8'700) / 2LL;
    QTest::newRow("same range") << 10'000LL << 2'300LL << 10'000LL << 2'300LL << 8'200LL;
    QTest::newRow("one millisecond shared")
        << 10'000LL << 2'300LL << 11'000LL << 2'301LL << 8'699LL;
    // Not overlapping: the server's clock stepped; the newer reply is taken.
    QTest::newRow("touching, newer taken") << 10'000LL << 2'300LL << 12'000LL << 3'300LL << 9'200LL;
    QTest::newRow("apart, newer taken") << 10'000LL << 2'300LL << 50'000LL << 3'000LL << 47'500LL;
    QTest::newRow("newer behind") << 10'000LL << 2'300LL << 5'000LL << 3'000LL << 2'500LL;
    QTest::newRow("server behind the boot clock")
        << 1'000LL << 9'000LL << 2'000LL << 9'700LL << -7'350LL;
}

void TestOffsetEstimate::range()
{
    QFETCH(qint64, olderStampMs);
    QFETCH(qint64, olderBootMs);
    QFETCH(qint64, newerStampMs);
    QFETCH(qint64, newerBootMs);

    const OffsetRange older = OffsetRange::fromStamp(olderStampMs, olderBootMs);
    const OffsetRange newer = OffsetRange::fromStamp(newerStampMs, newerBootMs);
    // The clock was in the second after its stamp: a range a second wide.
    QCOMPARE(older.lowMs, olderStampMs - olderBootMs);
    QCOMPARE(older.highMs - older.lowMs, 1000);
    QVERIFY(!older.isEmpty());
    QTEST(estimateOffsetMs(older, newer), "offsetMs");
}

void TestOffsetEstimate::splitting_data()
{
    QTest::addColumn<qint64>("lowMs"); // the offset range the first reply left open
    QTest::addColumn<qint64>("highMs");
    QTest::addColumn<qint64>("leadMs");
    QTest::addColumn<qint64>("earliestMs");
    QTest::addColumn<qint64>("startMs"); // the first start, from earliestMs on, at which
                                         // start + lead + middle is a whole second

    QTest::newRow("half a second on") << 0LL << 1000LL << 0LL << 0LL << 500LL;
    QTest::newRow("exactly on a second: at once") << 0LL << 1000LL << 0LL << 500LL << 500LL;
    QTest::newRow("a millisecond late: the next second") << 0LL << 1000LL << 0LL << 501LL << 1500LL;
    QTest::newRow("a millisecond early") << 0LL << 1000LL << 0LL << 499LL << 500LL;
    QTest::newRow("far server") << 0LL << 500LL << 180LL << 1000LL << 1570LL;
    QTest::newRow("lead over a second") << 0LL << 1000LL << 1300LL << 1'000'123LL << 1'000'200LL;
    QTest::newRow("server behind") << -5000LL << -4000LL << 40LL << 7LL << 460LL;
    QTest::newRow("server behind, on a second") << -2500LL << -1500LL << 0LL << 0LL << 0LL;
    QTest::newRow("server behind, mid-second") << -2000LL << -1000LL << 0LL << 0LL << 500LL;
    QTest::newRow("server a year ahead")
        << 31'536'000'000LL << 31'536'001'000LL << 250LL << 86'400'000LL << 86'400'250LL;
}

void TestOffsetEstimate::splitting()
{
    QFETCH(qint64, lowMs);
    QFETCH(qint64, highMs);
    QFETCH(qint64, leadMs);
    QFETCH(qint64, earliestMs);

    QTEST(splittingConnectMs(OffsetRange{lowMs, highMs}, leadMs, earliestMs), "startMs");
}

void TestOffsetEstimate::schedule_data()
{
    QTest::addColumn<bool>("split"); // a second query, split over [0, 1000) with no lead
    QTest::addColumn<qint64>("earliestMs");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<qint64>("dueMs");

    QTest::newRow("first query, not yet") << false << 2000LL << 1500LL << 2000LL;
    QTest::newRow("first query, past it") << false << 2000LL << 2600LL << 2600LL;
    QTest::newRow("second query, not yet") << true << 2000LL << 1500LL << 2500LL;
    QTest::newRow("second query, past it") << true << 2000LL << 2600LL << 3500LL;
}

void TestOffsetEstimate::schedule()
{
    QFETCH(bool, split);
    QFETCH(qint64, earliestMs);
    QFETCH(qint64, nowMs);

    ConnectSchedule schedule = ConnectSchedule::notBefore(earliestMs);
    QVERIFY(!schedule.splitRange);
    if (split)
        schedule.splitRange = OffsetRange{0, 1000};
    QTEST(schedule.dueFrom(nowMs), "dueMs");
}

QTEST_APPLESS_MAIN(TestOffsetEstimate)
#include "tst_offsetestimate.moc"
