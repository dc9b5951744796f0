#include "runtimeerror.h"
#include "timetext.h"

#include <QRandomGenerator>
#include <QTest>

using namespace Qt::StringLiterals;
using horalis::RunTimeError;

class TestTimeText : public QObject {
    Q_OBJECT

private slots:
    void acceptsTime_data();
    void acceptsTime();
    void rejectsTime_data();
    void rejectsTime();
    void acceptsDate_data();
    void acceptsDate();
    void rejectsDate_data();
    void rejectsDate();
    void shortensLongQuote();
    void survivesArbitraryText();
};

namespace {

// The description of the RunTimeError the call throws, or a null string when it throws nothing.
template <typename Call> QString errorOf(Call call)
{
    try {
        call();
    } catch (const RunTimeError &error) {
        return error.description();
    }
    return {};
}

} // namespace

void TestTimeText::acceptsTime_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QTime>("expected");

    QTest::newRow("one digit each") << u"8:5:3"_s << QTime(8, 5, 3);
    QTest::newRow("mixed widths") << u"8:5:30"_s << QTime(8, 5, 30);
    QTest::newRow("two digits each") << u"12:30:00"_s << QTime(12, 30, 0);
    QTest::newRow("no seconds") << u"12:30"_s << QTime(12, 30, 0);
    QTest::newRow("midnight") << u"0:0:0"_s << QTime(0, 0, 0);
    QTest::newRow("leading zeros") << u"00:00"_s << QTime(0, 0, 0);
    QTest::newRow("last second") << u"23:59:59"_s << QTime(23, 59, 59);
    QTest::newRow("full-width") << u"１２：０５：３０"_s << QTime(12, 5, 30);
    QTest::newRow("full-width short") << u"８：５"_s << QTime(8, 5, 0);
    QTest::newRow("mixed full-width") << u"1２:3４"_s << QTime(12, 34, 0);
    QTest::newRow("surrounding blanks") << u" \t\u30008:05\u3000 \t"_s << QTime(8, 5, 0);
}

void TestTimeText::acceptsTime()
{
    QFETCH(QString, text);
    QFETCH(QTime, expected);
    try {
        QCOMPARE(horalis::textToTime(text), expected);
    } catch (const RunTimeError &error) {
        QFAIL(qPrintable(error.description()));
    }
}

void TestTimeText::rejectsTime_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fragment");

    const QString format = u"不是有效的时间，请按“时:分:秒”填写，例如 8:05:30。"_s;
    QTest::newRow("empty") << QString() << u"时间为空，请按“时:分:秒”填写。"_s;
    QTest::newRow("blanks only") << u" \t\u3000"_s << u"时间为空"_s;
    QTest::newRow("letters") << u"abc"_s << u"“abc”"_s + format;
    QTest::newRow("quotes trimmed") << u"  abc "_s << u"“abc”不是"_s;
    QTest::newRow("hour only") << u"8"_s << u"“8”"_s + format;
    QTest::newRow("no hour") << u":5:30"_s << u"“:5:30”"_s + format;
    QTest::newRow("no minute") << u"8::30"_s << u"“8::30”"_s + format;
    QTest::newRow("trailing colon") << u"8:5:"_s << u"“8:5:”"_s + format;
    QTest::newRow("four parts") << u"8:5:30:1"_s << u"“8:5:30:1”"_s + format;
    QTest::newRow("letter in part") << u"8:5:3x"_s << u"“8:5:3x”"_s + format;
    QTest::newRow("three digits") << u"008:05"_s << u"“008:05”"_s + format;
    QTest::newRow("sign") << u"+8:05"_s << u"“+8:05”"_s + format;
    QTest::newRow("blank inside") << u"8: 05"_s << u"“8: 05”"_s + format;
    QTest::newRow("ideographic blank inside") << u"8:\u300005"_s << format;
    QTest::newRow("NUL inside") << u"8:"_s + QChar() + u"05"_s << format;
    QTest::newRow("date separator") << u"8-05"_s << format;
    QTest::newRow("arabic-indic digit") << u"٨:05"_s << format;
    QTest::newRow("newline is no blank") << u"8:05\n"_s << format;
    QTest::newRow("hour 24") << u"24:00:00"_s
                             << u"“24:00:00”不是有效的时间：小时应在 0 到 23 之间。"_s;
    QTest::newRow("minute 60") << u"8:60"_s << u"“8:60”不是有效的时间：分钟应在 0 到 59 之间。"_s;
    QTest::newRow("second 60") << u"8:5:60"_s << u"秒应在 0 到 59 之间"_s;
    QTest::newRow("full-width hour 99") << u"９９：０"_s << u"“９９：０”不是有效的时间：小时"_s;
    // The text is quoted up to 40 UTF-16 units, then cut, never inside a surrogate pair.
    QTest::newRow("40 units quoted whole")
        << QString(40, u'1') << u"“"_s + QString(40, u'1') + u"”"_s + format;
    QTest::newRow("41 units cut after 40")
        << QString(41, u'1') << u"“"_s + QString(40, u'1') + u"…”"_s + format;
    QTest::newRow("pair across the cut")
        << u"x"_s.repeated(39) + u"😀yy"_s << u"“"_s + u"x"_s.repeated(39) + u"…”"_s + format;
    QTest::newRow("pair before the cut")
        << u"x"_s.repeated(38) + u"😀yyy"_s << u"“"_s + u"x"_s.repeated(38) + u"😀…”"_s + format;
}

void TestTimeText::rejectsTime()
{
    QFETCH(QString, text);
    QFETCH(QString, fragment);
    const QString description = errorOf([&] { horalis::textToTime(text); });
    QVERIFY2(description.contains(fragment), qPrintable(description));
}

void TestTimeText::acceptsDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("currentYear");
    QTest::addColumn<QDate>("expected");

    QTest::newRow("dashes") << u"2026-12-7"_s << 2026 << QDate(2026, 12, 7);
    QTest::newRow("slashes") << u"2008/10/29"_s << 2026 << QDate(2008, 10, 29);
    QTest::newRow("dots") << u"2026.1.31"_s << 2026 << QDate(2026, 1, 31);
    QTest::newRow("full-width") << u"２０２６－１２－０７"_s << 2026 << QDate(2026, 12, 7);
    QTest::newRow("full-width slashes") << u"2026／3／4"_s << 2026 << QDate(2026, 3, 4);
    QTest::newRow("blanks") << u"\u3000 2026-12-7\t"_s << 2026 << QDate(2026, 12, 7);
    QTest::newRow("leap year") << u"2024-2-29"_s << 2026 << QDate(2024, 2, 29);
    QTest::newRow("leap century") << u"2000-2-29"_s << 2026 << QDate(2000, 2, 29);
    QTest::newRow("literal far year") << u"1066-10-14"_s << 2026 << QDate(1066, 10, 14);
    QTest::newRow("literal padded year") << u"0026-1-1"_s << 2026 << QDate(26, 1, 1);
    QTest::newRow("same year") << u"26-12-7"_s << 2026 << QDate(2026, 12, 7);
    QTest::newRow("last century") << u"99-1-1"_s << 2026 << QDate(1999, 1, 1);
    QTest::newRow("leading zero") << u"08-10-29"_s << 2026 << QDate(2008, 10, 29);
    QTest::newRow("one digit") << u"7-1-1"_s << 2026 << QDate(2007, 1, 1);
    QTest::newRow("tie takes earlier") << u"76-1-1"_s << 2026 << QDate(1976, 1, 1);
    QTest::newRow("just past") << u"77-1-1"_s << 2026 << QDate(1977, 1, 1);
    QTest::newRow("just ahead") << u"75-1-1"_s << 2026 << QDate(2075, 1, 1);
    QTest::newRow("next century") << u"00-1-1"_s << 1999 << QDate(2000, 1, 1);
    QTest::newRow("previous century") << u"99-1-1"_s << 2001 << QDate(1999, 1, 1);
    QTest::newRow("on century") << u"50-1-1"_s << 2000 << QDate(1950, 1, 1);
    QTest::newRow("short leap day") << u"24-2-29"_s << 2026 << QDate(2024, 2, 29);
    QTest::newRow("year 1") << u"0001-1-1"_s << 2026 << QDate(1, 1, 1);
}

void TestTimeText::acceptsDate()
{
    QFETCH(QString, text);
    QFETCH(int, currentYear);
    QFETCH(QDate, expected);
    try {
        QCOMPARE(horalis::textToDate(text, currentYear), expected);
    } catch (const RunTimeError &error) {
        QFAIL(qPrintable(error.description()));
    }
}

void TestTimeText::rejectsDate_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("fragment");

    const QString format = u"不是有效的日期，请按“年-月-日”填写，例如 2026-12-07。"_s;
    const QString digits = u"不是有效的日期：年份应写 1、2 或 4 位数字。"_s;
    QTest::newRow("empty") << QString() << u"日期为空，请按“年-月-日”填写。"_s;
    QTest::newRow("blanks only") << u"\u3000"_s << u"日期为空"_s;
    QTest::newRow("no day") << u"2026-12"_s << u"“2026-12”"_s + format;
    QTest::newRow("four parts") << u"2026-12-7-1"_s << u"“2026-12-7-1”"_s + format;
    QTest::newRow("mixed separators") << u"2026-12/7"_s << u"“2026-12/7”"_s + format;
    QTest::newRow("time separator") << u"2026:12:7"_s << format;
    QTest::newRow("letters") << u"2026-Dec-7"_s << format;
    QTest::newRow("blank inside") << u"2026- 12-7"_s << format;
    QTest::newRow("leading separator") << u"-2026-12-7"_s << format;
    QTest::newRow("three-digit month") << u"2026-012-7"_s << format;
    QTest::newRow("three-digit day") << u"2026-12-007"_s << u"“2026-12-007”"_s + format;
    QTest::newRow("three-digit year") << u"202-1-1"_s << u"“202-1-1”"_s + digits;
    QTest::newRow("five-digit year") << u"20260-1-1"_s << u"“20260-1-1”"_s + digits;
    QTest::newRow("year zero") << u"0000-1-1"_s << u"“0000-1-1”不是有效的日期：没有 0 年。"_s;
    QTest::newRow("month 13") << u"2026-13-1"_s
                              << u"“2026-13-1”不是有效的日期：月份应在 1 到 12 之间。"_s;
    QTest::newRow("month 0") << u"2026-0-1"_s << u"月份应在 1 到 12 之间"_s;
    QTest::newRow("day 32") << u"2026-12-32"_s << u"2026 年 12 月没有 32 日"_s;
    QTest::newRow("day 0") << u"2026-12-0"_s << u"2026 年 12 月没有 0 日"_s;
    QTest::newRow("february 30") << u"2026-2-30"_s
                                 << u"“2026-2-30”不是有效的日期：2026 年 2 月没有 30 日。"_s;
    QTest::newRow("not a leap year") << u"2026-2-29"_s << u"2026 年 2 月没有 29 日"_s;
    QTest::newRow("century not leap") << u"1900-2-29"_s << u"1900 年 2 月没有 29 日"_s;
    QTest::newRow("short year named in full")
        << u"26-4-31"_s << u"“26-4-31”不是有效的日期：2026 年 4 月"_s;
}

void TestTimeText::rejectsDate()
{
    QFETCH(QString, text);
    QFETCH(QString, fragment);
    const QString description = errorOf([&] { horalis::textToDate(text, 2026); });
    QVERIFY2(description.contains(fragment), qPrintable(description));
}

void TestTimeText::shortensLongQuote()
{
    // After one letter, the emoji put a surrogate pair across the cut.
    for (const QString &text :
         {QString(100000, u'1'), u"x"_s + u"😀"_s.repeated(30), u"25:"_s.repeated(50)}) {
        const QString description = errorOf([&] { horalis::textToTime(text); });
        QVERIFY2(description.startsWith(u"“") && description.contains(u"…”不是有效的时间"),
                 qPrintable(description));
        QVERIFY(description.size() < 100);
        QCOMPARE(QString::fromUtf8(description.toUtf8()), description);
    }
}

void TestTimeText::survivesArbitraryText()
{
    // Digit runs joined by separators, so that some texts are accepted, spiced with blanks and
    // arbitrary UTF-16 units, lone surrogates among them.
    const QString digits = u"0123456789０１２３４５６７８９"_s;
    const QString separators = u":-/.：－／． \t\u3000"_s;
    QRandomGenerator random(20261207);
    int times = 0;
    int dates = 0;
    for (int i = 0; i < 5000; ++i) {
        QString text;
        QChar separator = separators[random.bounded(separators.size())];
        for (int runs = random.bounded(5); runs > 0; --runs) {
            if (!text.isEmpty())
                text += separator;
            for (int length = 1 + random.bounded(random.bounded(6) == 0 ? 5 : 2); length > 0;
                 --length)
                text += digits[random.bounded(digits.size())];
            if (random.bounded(4) == 0)
                separator = separators[random.bounded(separators.size())];
            if (random.bounded(12) == 0)
                text += QChar(char16_t(random.bounded(0x10000)));
        }
        try {
            QVERIFY2(horalis::textToTime(text).isValid(), qPrintable(text));
            ++times;
        } catch (const RunTimeError &error) {
            QVERIFY2(!error.description().isEmpty(), qPrintable(text));
        }
        try {
            QVERIFY2(horalis::textToDate(text, 2026).isValid(), qPrintable(text));
            ++dates;
        } catch (const RunTimeError &error) {
            QVERIFY2(!error.description().isEmpty(), qPrintable(text));
        }
    }
    // The generator must reach the accepting paths too, or the checks above prove little.
    QVERIFY(times > 25);
    QVERIFY(dates > 25);
}

QTEST_APPLESS_MAIN(TestTimeText)
#include "tst_timetext.moc"
