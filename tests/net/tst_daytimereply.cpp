// Reply parsing, free of widgets and sockets.
#include "daytimereply.h"
#include "runtimeerror.h"

#include <QTest>

using namespace horalis;

class TestDaytimeReply : public QObject {
    Q_OBJECT

private slots:
    void completeness_data();
    void completeness();
    void keepsAtMostMaxBytes();
    void fields_data();
    void fields();
    void nistTimeIsStrict_data();
    void nistTimeIsStrict();
    void beijingDate_data();
    void beijingDate();
};

void TestDaytimeReply::completeness_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<QString>("text");

    using Pieces = QList<QByteArray>;
    QTest::newRow("nothing") << Pieces{} << false << "";
    QTest::newRow("text without line end")
        << Pieces{"2026-12-07 15:3"} << false << "2026-12-07 15:3";
    QTest::newRow("two pieces, then line end")
        << Pieces{"2026-12-07 15:3", "9:29\r\n"} << true << "2026-12-07 15:39:29\r\n";
    QTest::newRow("NIST leading line feed only") << Pieces{"\n"} << false << "\n";
    QTest::newRow("NIST line") << Pieces{"\n61381 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n"}
                               << true << "\n61381 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n";
    QTest::newRow("carriage return ends too") << Pieces{"\r\n", "abc\r"} << true << "\r\nabc\r";
    QTest::newRow("empty pieces") << Pieces{"", "", "x"} << false << "x";
}

void TestDaytimeReply::completeness()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(bool, complete);
    QFETCH(QString, text);

    ReplyBuffer buffer;
    for (const QByteArray &piece : pieces)
        buffer.append(piece);
    QCOMPARE(buffer.isComplete(), complete);
    QCOMPARE(buffer.text(), text);
    buffer.clear();
    QVERIFY(buffer.isEmpty());
    QVERIFY(!buffer.isComplete());
}

void TestDaytimeReply::keepsAtMostMaxBytes()
{
    ReplyBuffer buffer;
    const QByteArray chunk(1000, 'x');
    for (int i = 0; i < 3; ++i)
        buffer.append(chunk);
    QVERIFY(!buffer.isComplete());
    for (int i = 0; i < 5000; ++i) // five megabytes, never stored
        buffer.append(chunk);
    QVERIFY(buffer.isComplete());
    QCOMPARE(buffer.text().size(), ReplyBuffer::MaxBytes);
}

void TestDaytimeReply::fields_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<bool>("nist");
    QTest::addColumn<QString>("date");
    QTest::addColumn<QString>("time");

    QTest::newRow("primary") << "2026-12-07 15:39:29\r\n"
                             << false << "2026-12-07"
                             << "15:39:29";
    QTest::newRow("primary, other date text")
        << "2008/10/29 15:39:29 Beijing" << false << "2008/10/29"
        << "15:39:29";
    QTest::newRow("primary, short") << "2026-12-07 15:3" << false << "2026-12-07"
                                    << "15:3";
    QTest::newRow("primary, only a date") << "2026-12" << false << "2026-12"
                                          << "";
    QTest::newRow("NIST") << "\n61381 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n"
                          << true << "26-12-07"
                          << "03:52:21";
    QTest::newRow("NIST, cut short") << "\n61381 08-10-29 07:3" << true << "08-10-29"
                                     << "07:3";
    QTest::newRow("NIST, nothing useful") << "\n"
                                          << true << ""
                                          << "";
}

void TestDaytimeReply::fields()
{
    QFETCH(QString, reply);
    QFETCH(bool, nist);
    QFETCH(QString, date);
    QFETCH(QString, time);

    const DaytimeFields fields = nist ? nistFields(reply) : primaryFields(reply);
    QCOMPARE(fields.date, date);
    QCOMPARE(fields.time, time);
}

void TestDaytimeReply::nistTimeIsStrict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QTime>("time"); // invalid when refused

    QTest::newRow("whole") << "03:52:21" << QTime(3, 52, 21);
    QTest::newRow("last second") << "23:59:59" << QTime(23, 59, 59);
    QTest::newRow("cut short") << "03:5" << QTime();
    QTest::newRow("one-digit fields") << "3:5:21" << QTime();
    QTest::newRow("hour 24") << "24:00:00" << QTime();
    QTest::newRow("blank") << "03:52:2 " << QTime();
    QTest::newRow("empty") << "" << QTime();
}

void TestDaytimeReply::nistTimeIsStrict()
{
    QFETCH(QString, text);
    QFETCH(QTime, time);
    try {
        QCOMPARE(nistTime(text), time);
        QVERIFY(time.isValid());
    } catch (const RunTimeError &error) {
        QVERIFY2(!time.isValid(), qPrintable(error.description()));
        QVERIFY(error.description().contains(u'“' + text + u'”'));
    }
}

void TestDaytimeReply::beijingDate_data()
{
    QTest::addColumn<QString>("utcDate");
    QTest::addColumn<QTime>("utc");
    QTest::addColumn<QString>("date"); // "" when the text must be refused
    QTest::addColumn<QTime>("beijing");

    QTest::newRow("morning, same day")
        << "08-10-29" << QTime(7, 39, 29) << "08-10-29" << QTime(15, 39, 29);
    QTest::newRow("15:59:59 stays")
        << "26-12-07" << QTime(15, 59, 59) << "26-12-07" << QTime(23, 59, 59);
    QTest::newRow("past midnight, next day")
        << "26-12-07" << QTime(16, 5, 9) << "26-12-08" << QTime(0, 5, 9);
    QTest::newRow("new year") << "26-12-31" << QTime(23, 0, 0) << "27-01-01" << QTime(7, 0, 0);
    QTest::newRow("leap day") << "28-02-28" << QTime(20, 0, 0) << "28-02-29" << QTime(4, 0, 0);
    QTest::newRow("2000 is a leap year")
        << "00-02-29" << QTime(1, 0, 0) << "00-02-29" << QTime(9, 0, 0);
    QTest::newRow("no such day") << "26-02-29" << QTime(1, 0, 0) << "" << QTime();
    QTest::newRow("month 13") << "26-13-07" << QTime(1, 0, 0) << "" << QTime();
    QTest::newRow("letters") << "ab-12-07" << QTime(1, 0, 0) << "" << QTime();
    QTest::newRow("short") << "26-12-" << QTime(1, 0, 0) << "" << QTime();
    QTest::newRow("other separator") << "26/12/07" << QTime(1, 0, 0) << "" << QTime();
    QTest::newRow("sign") << "26-+1-07" << QTime(1, 0, 0) << "" << QTime();
}

void TestDaytimeReply::beijingDate()
{
    QFETCH(QString, utcDate);
    QFETCH(QTime, utc);
    QFETCH(QString, date);
    QFETCH(QTime, beijing);

    QCOMPARE(utcToBeijing(utc), QTime(utc.hour(), utc.minute(), utc.second()).addSecs(8 * 3600));
    if (date.isEmpty()) {
        try {
            nistDateToBeijing(utcDate, utc);
            QFAIL("accepted a date that does not exist");
        } catch (const RunTimeError &error) {
            QVERIFY2(error.description().contains(utcDate), qPrintable(error.description()));
        }
        return;
    }
    QCOMPARE(nistDateToBeijing(utcDate, utc), date);
    QCOMPARE(utcToBeijing(utc), beijing);
}

QTEST_APPLESS_MAIN(TestDaytimeReply)
#include "tst_daytimereply.moc"
