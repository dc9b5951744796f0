// Reply parsing, free of widgets and sockets.
#include "daytimereply.h"
#include "runtimeerror.h"

#include <QDateTime>
#include <QTest>

using namespace horalis;

class TestDaytimeReply : public QObject {
    Q_OBJECT

private slots:
    void completeness_data();
    void completeness();
    void keepsAtMostMaxBytes();
    void primary_data();
    void primary();
    void nistTimeIsStrict_data();
    void nistTimeIsStrict();
    void nist_data();
    void nist();
    void nistHealth_data();
    void nistHealth();
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
    // What arrived before is remembered, not read again.
    QTest::newRow("line end alone, after text") << Pieces{"x", "", "\n"} << true << "x\n";
    QTest::newRow("line ends only, in pieces") << Pieces{"\r", "\n", "\r\n"} << false << "\r\n\r\n";
    QTest::newRow("line end past the limit")
        << Pieces{QByteArray(ReplyBuffer::MaxBytes - 1, '\n'), "x\n"} << true
        << QString(ReplyBuffer::MaxBytes - 1, u'\n') + u'x';
    QTest::newRow("the last byte that fits")
        << Pieces{QByteArray(ReplyBuffer::MaxBytes - 1, 'x'), "yz"} << true
        << QString(ReplyBuffer::MaxBytes - 1, u'x') + u'y';
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

void TestDaytimeReply::primary_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("utc"); // ISO instant of the stamp; "" when not a time

    QTest::newRow("plain") << "2026-12-07 15:39:29"
                           << "2026-12-07T07:39:29Z";
    QTest::newRow("CR LF and spaces after") << "2026-12-07 15:39:29 \r\n  "
                                            << "2026-12-07T07:39:29Z";
    QTest::newRow("Beijing morning is the UTC day before") << "2027-01-01 07:59:59\r\n"
                                                           << "2026-12-31T23:59:59Z";
    QTest::newRow("leap day") << "2028-02-29 12:00:00\n"
                              << "2028-02-29T04:00:00Z";
    QTest::newRow("no such day") << "2026-02-29 12:00:00\r\n"
                                 << "";
    QTest::newRow("hour 24") << "2026-12-07 24:00:00\r\n"
                             << "";
    // A leap second falls in the last minute of a UTC day, 07:59 in Beijing; a clock
    // that counts no leap seconds repeats that minute's second 59 through it.
    QTest::newRow("leap second") << "2017-01-01 07:59:60\r\n"
                                 << "2016-12-31T23:59:59Z";
    QTest::newRow("second 60 in another minute") << "2026-12-07 23:59:60\r\n"
                                                 << "";
    QTest::newRow("second 60 a minute early") << "2017-01-01 07:58:60\r\n"
                                              << "";
    QTest::newRow("other date separator") << "2008/10/29 15:39:29"
                                          << "";
    QTest::newRow("words after") << "2008-10-29 15:39:29 Beijing"
                                 << "";
    QTest::newRow("inetd daytime line") << "Mon Dec  7 04:14:14 2026\r\n"
                                        << "";
    QTest::newRow("cut short") << "2026-12-07 15:3"
                               << "";
    QTest::newRow("empty line") << "\r\n"
                                << "";
    QTest::newRow("leading blank") << " 2026-12-07 15:39:29"
                                   << "";
    QTest::newRow("T separator") << "2026-12-07T15:39:29"
                                 << "";
    QTest::newRow("other digits") << QString::fromUtf8("２026-12-07 15:39:29") << "";
    QTest::newRow("NUL inside") << QStringLiteral("2026-12-07 15:39:29\r\n").insert(19, QChar(0))
                                << "";
    QTest::newRow("4 KiB of sevens") << QString(4096, u'7') << "";
}

void TestDaytimeReply::primary()
{
    QFETCH(QString, reply);
    QFETCH(QString, utc);

    const std::optional<DaytimeStamp> stamp = primaryStamp(reply);
    QCOMPARE(stamp.has_value(), !utc.isEmpty());
    if (!stamp)
        return;
    QCOMPARE(stamp->utcMs, QDateTime::fromString(utc, Qt::ISODateWithMs).toMSecsSinceEpoch());
    // The status line shows the reply's own date and time (to the minute: a leap
    // second shows as the second before it).
    QCOMPARE(stamp->beijingDate.toString(u"yyyy-MM-dd") + u' ' +
                 stamp->beijingTime.toString(u"HH:mm"),
             reply.left(16));
}

void TestDaytimeReply::nistTimeIsStrict_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QTime>("time"); // invalid when refused

    QTest::newRow("whole") << "03:52:21" << QTime(3, 52, 21);
    QTest::newRow("last second") << "23:59:59" << QTime(23, 59, 59);
    QTest::newRow("leap second") << "23:59:60" << QTime(23, 59, 59);
    QTest::newRow("second 60 before noon") << "11:59:60" << QTime();
    QTest::newRow("second 60 a minute early") << "23:58:60" << QTime();
    QTest::newRow("second 61") << "23:59:61" << QTime();
    QTest::newRow("cut short") << "03:5" << QTime();
    QTest::newRow("one-digit fields") << "3:5:21" << QTime();
    QTest::newRow("hour 24") << "24:00:00" << QTime();
    QTest::newRow("blank") << "03:52:2 " << QTime();
    QTest::newRow("other separators") << "03-52-21" << QTime();
    QTest::newRow("one other separator") << "03:52-21" << QTime();
    QTest::newRow("a character more") << "03:52:210" << QTime();
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

void TestDaytimeReply::nist_data()
{
    QTest::addColumn<QString>("reply");
    QTest::addColumn<QString>("utc");     // ISO instant the server's clock read
    QTest::addColumn<QString>("beijing"); // as the status line shows it; or the error

    const auto line = [](int mjd, const char *stamp, const char *advance = "50.0") {
        return QStringLiteral("\n%1 %2 00 0 0 %3 UTC(NIST) * \n").arg(mjd).arg(stamp, advance);
    };
    QTest::newRow("morning, same day, sent 50 ms early")
        << line(61381, "26-12-07 03:52:21") << "2026-12-07T03:52:20.950Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance with a fraction")
        << line(61381, "26-12-07 03:52:21", "729.6") << "2026-12-07T03:52:20.270Z"
        << "26-12-07 11:52:21";
    QTest::newRow("no advance written")
        << QStringLiteral("\n61381 26-12-07 03:52:21") << "2026-12-07T03:52:21.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("line ends after the advance")
        << QStringLiteral("\n61381 26-12-07 03:52:21 00 0 0 50.0") << "2026-12-07T03:52:20.950Z"
        << "26-12-07 11:52:21";
    // The advance is taken off rounded to the millisecond, and only when under a second.
    QTest::newRow("advance under a millisecond")
        << line(61381, "26-12-07 03:52:21", "0.6") << "2026-12-07T03:52:20.999Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance rounded down")
        << line(61381, "26-12-07 03:52:21", "999.4") << "2026-12-07T03:52:20.001Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance rounded up to a second")
        << line(61381, "26-12-07 03:52:21", "999.6") << "2026-12-07T03:52:20.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance of a second ignored")
        << line(61381, "26-12-07 03:52:21", "1000.0") << "2026-12-07T03:52:21.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance of 5 s ignored")
        << line(61381, "26-12-07 03:52:21", "5000.0") << "2026-12-07T03:52:21.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("negative advance ignored")
        << line(61381, "26-12-07 03:52:21", "-50.0") << "2026-12-07T03:52:21.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("advance not a number")
        << line(61381, "26-12-07 03:52:21", "5O.0") << "2026-12-07T03:52:21.000Z"
        << "26-12-07 11:52:21";
    QTest::newRow("15:59:59 stays")
        << line(61381, "26-12-07 15:59:59", "0.0") << "2026-12-07T15:59:59Z"
        << "26-12-07 23:59:59";
    QTest::newRow("past midnight, next day")
        << line(61381, "26-12-07 16:05:09", "0.0") << "2026-12-07T16:05:09Z"
        << "26-12-08 00:05:09";
    QTest::newRow("new year") << line(61405, "26-12-31 23:00:00", "0.0") << "2026-12-31T23:00:00Z"
                              << "27-01-01 07:00:00";
    QTest::newRow("leap day") << line(61829, "28-02-28 20:00:00", "0.0") << "2028-02-28T20:00:00Z"
                              << "28-02-29 04:00:00";
    QTest::newRow("2000 is a leap year")
        << line(51603, "00-02-29 01:00:00", "0.0") << "2000-02-29T01:00:00Z"
        << "00-02-29 09:00:00";
    // The day number gives the century a two-digit year cannot.
    QTest::newRow("next century") << line(88068, "99-12-31 23:59:59", "0.0")
                                  << "2099-12-31T23:59:59Z"
                                  << "00-01-01 07:59:59";
    QTest::newRow("2100") << line(88069, "00-01-01 00:00:00", "0.0") << "2100-01-01T00:00:00Z"
                          << "00-01-01 08:00:00";
    QTest::newRow("leap second") << line(57753, "16-12-31 23:59:60", "0.0")
                                 << "2016-12-31T23:59:59Z"
                                 << "17-01-01 07:59:59";
    QTest::newRow("day number disagrees") << line(61380, "26-12-07 03:52:21") << ""
                                          << "日期“26-12-07”与修正儒略日 61380 不符。";
    QTest::newRow("no day number")
        << QStringLiteral("\n6138x 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n") << ""
        << "“6138x”不是修正儒略日。";
    QTest::newRow("day number runs on")
        << QStringLiteral("\n61381-26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n") << ""
        << "“61381”不是修正儒略日。";
    // Without a day number the date is read in this century: 2000 was a leap year.
    QTest::newRow("no day number, leap day")
        << QStringLiteral("\n5160x 00-02-29 01:00:00 00 0 0 50.0 UTC(NIST) * \n") << ""
        << "“5160x”不是修正儒略日。";
    QTest::newRow("no such day") << line(61381, "26-02-29 01:00:00") << ""
                                 << "“26-02-29”不是有效的日期。";
    QTest::newRow("month 13") << line(61381, "26-13-07 01:00:00") << ""
                              << "“26-13-07”不是有效的日期。";
    QTest::newRow("letters") << line(61381, "ab-12-07 01:00:00") << ""
                             << "“ab-12-07”不是有效的日期。";
    QTest::newRow("other separator") << line(61381, "26/12/07 01:00:00") << ""
                                     << "“26/12/07”不是有效的日期。";
    QTest::newRow("separators differ") << line(61381, "26-12/07 01:00:00") << ""
                                       << "“26-12/07”不是有效的日期。";
    QTest::newRow("sign") << line(61381, "26-+1-07 01:00:00") << ""
                          << "“26-+1-07”不是有效的日期。";
    QTest::newRow("cut short") << QStringLiteral("\n61381 26-12-07 03:5") << ""
                               << "“03:5”不是“时:分:秒”格式的时间。";
    // A server may send any byte: a message quotes only what can be printed.
    QTest::newRow("primary layout") << QStringLiteral("2026-12-07 15:39:29\r\n") << ""
                                    << "“:29??”不是“时:分:秒”格式的时间。";
    QTest::newRow("line end in the time") << QStringLiteral("\n61381 26-12-07 03:5\r\n") << ""
                                          << "“03:5??”不是“时:分:秒”格式的时间。";
    QTest::newRow("escape in the date") << line(61381, "26-1\x1b-07 01:00:00") << ""
                                        << "“26-1?-07”不是有效的日期。";
    QTest::newRow("delete in the day number")
        << QStringLiteral("\n6138\x7f 26-12-07 03:52:21 00 0 0 50.0 UTC(NIST) * \n") << ""
        << "“6138?”不是修正儒略日。";
    QTest::newRow("control character for the health digit")
        << QStringLiteral("\n61381 26-12-07 03:52:21 00 0 \x01 50.0 UTC(NIST) * \n") << ""
        << "“?”不是健康状态数字。";
    QTest::newRow("long health field, quoted to 40 characters")
        << QStringLiteral("\n61381 26-12-07 03:52:21 00 0 %1 50.0 UTC(NIST) * \n")
               .arg(QString(45, u'7'))
        << "" << QStringLiteral("“%1”不是健康状态数字。").arg(QString(40, u'7'));
}

void TestDaytimeReply::nist()
{
    QFETCH(QString, reply);
    QFETCH(QString, utc);
    QFETCH(QString, beijing);

    try {
        const DaytimeStamp stamp = nistStamp(reply);
        QVERIFY2(!utc.isEmpty(), "accepted a reply that is not a NIST time");
        QCOMPARE(stamp.utcMs, QDateTime::fromString(utc, Qt::ISODateWithMs).toMSecsSinceEpoch());
        QCOMPARE(stamp.beijingDate.toString(u"yy-MM-dd") + u' ' +
                     stamp.beijingTime.toString(u"HH:mm:ss"),
                 beijing);
    } catch (const RunTimeError &error) {
        QVERIFY2(utc.isEmpty(), qPrintable(error.description()));
        QCOMPARE(error.description(), beijing);
    }
}

void TestDaytimeReply::nistHealth_data()
{
    QTest::addColumn<QString>("fields"); // TT L H msADV, after the time
    QTest::addColumn<int>("health");     // -1: the line is refused as unreadable
    QTest::addColumn<bool>("good");
    QTest::addColumn<QString>("problem"); // what the user reads after "the server reports that"

    QTest::newRow("0, healthy") << "00 0 0 50.0" << 0 << true << "";
    // "May be up to 5 s off" is not good enough for a clock set to a quarter second.
    QTest::newRow("1, may be 5 s off")
        << "00 0 1 50.0" << 1 << false
        << "自己的时间可能有最多 5 秒的误差（通常 10 分钟内恢复正常）";
    QTest::newRow("2, more than 5 s off")
        << "00 0 2 50.0" << 2 << false << "自己的时间误差已超过 5 秒";
    QTest::newRow("3, failure") << "00 0 3 50.0" << 3 << false
                                << "自己出现了硬件或软件故障，时间不可靠";
    QTest::newRow("4, maintenance")
        << "00 0 4 50.0" << 4 << false << "自己正在维护，时间的精度可能下降";
    QTest::newRow("5, not defined") << "00 0 5 50.0" << 5 << false << "未知的健康状态 5";
    QTest::newRow("7, not defined") << "00 0 7 50.0" << 7 << false << "未知的健康状态 7";
    QTest::newRow("9, not defined") << "00 0 9 50.0" << 9 << false << "未知的健康状态 9";
    QTest::newRow("line ends before it") << "00 0" << 0 << true << "";
    QTest::newRow("line ends after it")
        << "00 0 3" << 3 << false << "自己出现了硬件或软件故障，时间不可靠";
    QTest::newRow("letter") << "00 0 x 50.0" << -1 << false << "";
    QTest::newRow("two digits") << "00 0 10 50.0" << -1 << false << "";
}

void TestDaytimeReply::nistHealth()
{
    QFETCH(QString, fields);
    QFETCH(int, health);
    QFETCH(bool, good);
    QFETCH(QString, problem);

    const QString reply = QStringLiteral("\n61381 26-12-07 03:52:21 ") + fields + u'\n';
    try {
        const DaytimeStamp stamp = nistStamp(reply);
        QCOMPARE(stamp.health, health);
    } catch (const RunTimeError &error) {
        QVERIFY2(health < 0, qPrintable(error.description()));
        QVERIFY2(error.description().contains(u"健康状态"), qPrintable(error.description()));
        return;
    }
    QCOMPARE(nistHealthProblem(health).isEmpty(), good);
    QCOMPARE(nistHealthProblem(health), problem);
}

QTEST_APPLESS_MAIN(TestDaytimeReply)
#include "tst_daytimereply.moc"
