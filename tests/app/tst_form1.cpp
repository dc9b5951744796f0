// The real window, driven offscreen against fake platform services.
#include "fakeclockcalls.h"
#include "fakes.h"
#include "form1.h"
#include "networktimefetch.h"
#include "systemclock.h"

#include <QAccessible>
#include <QApplication>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>

#include <memory>

using namespace horalis;
using namespace horalis::test;

class TestForm1 : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();

    void layout_data();
    void layout();
    void initialState();
    void tabOrder();
    void keyboardNeverClicksUnfocusedButtons();

    void fillFromClock_data();
    void fillFromClock();
    void focusSelectsLeadingDigits_data();
    void focusSelectsLeadingDigits();

    void modeSwitchKeepsTexts();
    void applyPrompts_data();
    void applyPrompts();
    void applySetsTheClockOnce_data();
    void applySetsTheClockOnce();
    void applyAsksBeforeStoppingSync_data();
    void applyAsksBeforeStoppingSync();
    void closedDuringApplyWritesNothing_data();
    void closedDuringApplyWritesNothing();
    void applyOnTheSystemClock_data();
    void applyOnTheSystemClock();
    void closeEndsTheWindow();
    void clicksWhileTheClockIsSetAreIgnored();
    void screenReadersReadChinese_data();
    void screenReadersReadChinese();

private:
    Form1 *makeWindow(Clock &clock);
    void fill(const QStringList &fields); // a1 a2 a3 b1 b2 b3

    QByteArray m_savedTz;
    bool m_hadTz = false;
    FakeClock m_clock;
    RecordingMessageBoxes m_messages;
    RecordingPointer m_pointer;
    std::unique_ptr<Form1> m_form;
};

Form1 *TestForm1::makeWindow(Clock &clock)
{
    // Servers on loopback where nobody listens: no test here reaches the network.
    TimeServers servers;
    servers.daytime.primaryHost = QStringLiteral("127.0.0.9");
    servers.daytime.secondaryHost = QStringLiteral("127.0.0.9");
    m_form = std::make_unique<Form1>(PlatformServices{clock, m_messages, m_pointer}, servers);
    m_form->showCentred();
    if (!QTest::qWaitForWindowActive(m_form.get()))
        qWarning("window did not become active");
    return m_form.get();
}

void TestForm1::fill(const QStringList &fields)
{
    QLineEdit *entries[] = {m_form->a1, m_form->a2, m_form->a3, m_form->b1, m_form->b2, m_form->b3};
    for (int i = 0; i < 6; ++i)
        entries[i]->setText(fields[i]);
}

void TestForm1::initTestCase()
{
    // Every zone must be a real tzdata file: an unknown TZ silently means UTC.
    for (const char *zone : {"Europe/Berlin", "America/New_York", "Asia/Shanghai"})
        QVERIFY2(QFile::exists(QStringLiteral("/usr/share/zoneinfo/") + zone), zone);
    m_savedTz = qgetenv("TZ");
    m_hadTz = qEnvironmentVariableIsSet("TZ");
}

void TestForm1::cleanupTestCase()
{
    if (m_hadTz)
        qputenv("TZ", m_savedTz);
    else
        qunsetenv("TZ");
    tzset();
}

void TestForm1::init()
{
    // The fake clock's local times are Beijing time, the instants it records are UTC.
    useZone("Asia/Shanghai");
    m_clock = FakeClock();
    m_messages = RecordingMessageBoxes();
    m_pointer.history.clear();
    makeWindow(m_clock);
}

void TestForm1::cleanup()
{
    m_form.reset();
    // No window, message box included, may outlive a test.
    QCOMPARE(QApplication::topLevelWidgets().size(), 0);
}

void TestForm1::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("caption");

    const auto row = [](const char *name, const char *container, QRect geometry,
                        const QString &caption = {}) {
        QTest::newRow(name) << name << container << geometry << caption;
    };
    row("Label11", "Form1", {16, 16, 65, 17}, QStringLiteral("校准模式："));
    row("Option1", "Form1", {88, 8, 89, 25}, QStringLiteral("手工录入"));
    row("Option2", "Form1", {184, 8, 97, 25}, QStringLiteral("网络时间"));
    row("Frame1", "Form1", {16, 40, 297, 209});
    row("Command1", "Form1", {328, 16, 129, 41}, QStringLiteral("系统时间"));
    row("Command2", "Form1", {328, 80, 129, 41}, QStringLiteral("北京时间"));
    row("Command3", "Form1", {328, 144, 129, 41}, QStringLiteral("手工校准"));
    row("Command4", "Form1", {328, 208, 129, 41}, QStringLiteral("关闭软件"));
    row("Label10", "Form1", {16, 256, 369, 17});
    row("Label8", "Frame1", {8, 16, 65, 17}, QStringLiteral("当前时间："));
    row("b1", "Frame1", {16, 40, 41, 17});
    row("Label1", "Frame1", {57, 43, 25, 17}, QStringLiteral("年"));
    row("b2", "Frame1", {72, 40, 25, 17});
    row("Label2", "Frame1", {96, 43, 25, 17}, QStringLiteral("月"));
    row("b3", "Frame1", {112, 40, 25, 17});
    row("Label3", "Frame1", {136, 43, 25, 17}, QStringLiteral("日"));
    row("a1", "Frame1", {160, 40, 25, 17});
    row("Label4", "Frame1", {186, 43, 17, 17}, QStringLiteral("时"));
    row("a2", "Frame1", {200, 40, 25, 17});
    row("Label5", "Frame1", {226, 43, 17, 17}, QStringLiteral("分"));
    row("a3", "Frame1", {240, 40, 25, 17});
    row("Label7", "Frame1", {266, 43, 25, 17}, QStringLiteral("秒"));
    row("Line1", "Frame1", {8, 80, 281, 1});
    row("Label9", "Frame1", {8, 96, 97, 17}, QStringLiteral("网络时间："));
    row("c1", "Frame1", {16, 120, 265, 73});
    row("Label6", "Frame1", {208, 216, 17, 25}, QStringLiteral("："));
}

void TestForm1::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, container);
    QFETCH(QRect, geometry);
    QFETCH(QString, caption);

    auto *widget = m_form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(widget->parentWidget()->objectName(), container);
    QCOMPARE(widget->geometry(), geometry);
    QVERIFY(widget->isEnabled());
    // The credit line's text is free; initialState checks it fits.
    if (auto *label = qobject_cast<QLabel *>(widget); label && name != u"Label10")
        QCOMPARE(label->text(), caption);
    if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), caption);
    // Every control uses the window's font.
    QCOMPARE(widget->font(), m_form->font());
    // Fields sit above the unit labels they overlap.
    if (qobject_cast<QLineEdit *>(widget)) {
        const QPoint overlap = widget->geometry().topLeft() + QPoint(1, 5);
        QCOMPARE(widget->parentWidget()->childAt(overlap), widget);
    }
}

void TestForm1::initialState()
{
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Horalis"));
    QCOMPARE(m_form->size(), QSize(473, 274));
    QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
    const QPoint screenCentre = m_form->screen()->availableGeometry().center();
    // Centred, give or take the window frame, which is only known once shown.
    QVERIFY((m_form->geometry().center() - screenCentre).manhattanLength() <= 8);
    QVERIFY(!m_form->windowIcon().pixmap(24, 24).isNull());
    QCOMPARE(QImage(QStringLiteral(":/horalis/horalis-24.xpm")).size(), QSize(24, 24));
    QVERIFY(m_form->Option2->isChecked());
    QVERIFY(!m_form->Option1->isChecked());
    QVERIFY(m_form->c1->toPlainText().isEmpty());
    QVERIFY(m_form->Frame1->title().isEmpty());
    QCOMPARE(m_form->NetTime.toString(), QString());
    QCOMPARE(m_form->NetDate, QString());
    QCOMPARE(QApplication::focusWidget(), m_form->Command1);
    QVERIFY(!m_form->Label10->text().isEmpty());
    QVERIFY(m_form->Label10->fontMetrics().horizontalAdvance(m_form->Label10->text()) <= 369);
    QVERIFY(m_form->Label6->visibleRegion().isEmpty());
    // Every caption is Chinese: no Latin letters anywhere but the title.
    QStringList captions;
    for (const QLabel *label : m_form->findChildren<QLabel *>())
        captions << label->text();
    for (const QAbstractButton *button : m_form->findChildren<QAbstractButton *>())
        captions << button->text();
    for (const QString &caption : captions)
        QVERIFY2(std::none_of(caption.cbegin(), caption.cend(),
                              [](QChar c) { return c.script() == QChar::Script_Latin; }),
                 qPrintable(caption));
    QVERIFY(m_messages.shown.isEmpty());
    QVERIFY(m_clock.writes.isEmpty());
    // The six fields are whole: a field's text fits its width.
    for (QLineEdit *field : m_form->findChildren<QLineEdit *>()) {
        const int room = field->contentsRect().width();
        QVERIFY2(field->fontMetrics().horizontalAdvance(field->text()) <= room,
                 qPrintable(field->objectName()));
        QVERIFY2(field->fontMetrics().height() <= field->contentsRect().height() + 1,
                 qPrintable(field->objectName()));
    }
}

void TestForm1::tabOrder()
{
    const QStringList expected = {"b1",       "b2",       "b3",       "a1", "a2",      "a3",
                                  "Command3", "Command4", "Command2", "c1", "Option2", "Command1"};
    QStringList visited;
    for (int i = 0; i < expected.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(visited, expected);

    // The mode choice is one stop: the arrow keys move within it, Tab leaves it.
    m_form->Option2->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_form->Option2, Qt::Key_Left);
    QCOMPARE(QApplication::focusWidget(), m_form->Option1);
    QVERIFY(m_form->Option1->isChecked());
    QTest::keyClick(m_form->Option1, Qt::Key_Backtab);
    QCOMPARE(QApplication::focusWidget(), m_form->c1);
    QTest::keyClick(m_form->c1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->Option1);
    QTest::keyClick(m_form->Option1, Qt::Key_Tab);
    QCOMPARE(QApplication::focusWidget(), m_form->Command1);
}

void TestForm1::keyboardNeverClicksUnfocusedButtons()
{
    QList<std::shared_ptr<QSignalSpy>> spies;
    for (QPushButton *button : m_form->findChildren<QPushButton *>())
        spies << std::make_shared<QSignalSpy>(button, &QPushButton::clicked);
    const auto clicks = [&spies] {
        int total = 0;
        for (const auto &spy : spies)
            total += spy->count();
        return total;
    };

    // Escape clicks nothing, wherever the focus is; Enter in a field clicks nothing.
    QTest::keyClick(m_form->Command1, Qt::Key_Escape);
    m_form->a1->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_form->a1, Qt::Key_Return);
    QTest::keyClick(m_form->a1, Qt::Key_Enter);
    QTest::keyClick(m_form->a1, Qt::Key_Escape);
    QCOMPARE(clicks(), 0);

    // Enter clicks the button that has the focus, and only that one.
    QSignalSpy command1(m_form->Command1, &QPushButton::clicked);
    m_form->Command1->setFocus(Qt::TabFocusReason);
    QTest::keyClick(m_form->Command1, Qt::Key_Return);
    QCOMPARE(command1.count(), 1);
    QCOMPARE(clicks(), 1);
    QVERIFY(m_form->isVisible());
}

void TestForm1::fillFromClock_data()
{
    QTest::addColumn<QDateTime>("start");
    QTest::addColumn<int>("stepMs");
    QTest::addColumn<QStringList>("fields"); // a1 a2 a3 b1 b2 b3

    QTest::newRow("first of March") << QDateTime(QDate(2026, 3, 1), QTime(9, 5, 7)) << 0
                                    << QStringList{"09", "05", "07", "2026", "03", "01"};
    QTest::newRow("afternoon on the 24-hour clock")
        << QDateTime(QDate(2026, 6, 15), QTime(14, 30, 0)) << 0
        << QStringList{"14", "30", "00", "2026", "06", "15"};
    QTest::newRow("minute, not month") << QDateTime(QDate(2026, 12, 1), QTime(10, 7, 0)) << 0
                                       << QStringList{"10", "07", "00", "2026", "12", "01"};
    // One reading per field: midnight passes between the hour and the minute.
    QTest::newRow("midnight between readings")
        << QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59, 900)) << 200
        << QStringList{"23", "00", "00", "2027", "01", "01"};
    QTest::newRow("second turns after the minute")
        << QDateTime(QDate(2026, 12, 7), QTime(8, 15, 59, 800)) << 150
        << QStringList{"08", "15", "00", "2026", "12", "07"};
}

void TestForm1::fillFromClock()
{
    QFETCH(QDateTime, start);
    QFETCH(int, stepMs);
    QFETCH(QStringList, fields);

    m_clock.current = start;
    m_clock.advancePerReadingMs = stepMs;
    m_form->Command1->click();
    const QStringList shown = {m_form->a1->text(), m_form->a2->text(), m_form->a3->text(),
                               m_form->b1->text(), m_form->b2->text(), m_form->b3->text()};
    QCOMPARE(shown, fields);
    QCOMPARE(m_clock.current, start.addMSecs(6 * stepMs));
    QVERIFY(m_clock.writes.isEmpty());
    QCOMPARE(QApplication::focusWidget(), m_form->Command1);
}

void TestForm1::focusSelectsLeadingDigits_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("selected");
    QTest::addColumn<QString>("afterTyping9");

    QTest::newRow("year, four digits") << "b1"
                                       << "2026"
                                       << "2026"
                                       << "9";
    QTest::newRow("month") << "b2"
                           << "12"
                           << "12"
                           << "9";
    QTest::newRow("day") << "b3"
                         << "07"
                         << "07"
                         << "9";
    QTest::newRow("hour") << "a1"
                          << "23"
                          << "23"
                          << "9";
    QTest::newRow("minute, five characters typed") << "a2"
                                                   << "12345"
                                                   << "12"
                                                   << "9345";
    QTest::newRow("second, one character") << "a3"
                                           << "7"
                                           << "7"
                                           << "9";
    QTest::newRow("empty field") << "a3"
                                 << ""
                                 << ""
                                 << "9";
    QTest::newRow("year, longer text") << "b1"
                                       << "202612"
                                       << "2026"
                                       << "912";
}

void TestForm1::focusSelectsLeadingDigits()
{
    QFETCH(QString, field);
    QFETCH(QString, text);
    QFETCH(QString, selected);
    QFETCH(QString, afterTyping9);

    auto *entry = m_form->findChild<QLineEdit *>(field);
    QVERIFY(entry);
    entry->setText(text);
    // Arrive from the keyboard, as Tab does.
    QTest::keyClick(m_form->Command1, Qt::Key_Tab);
    entry->setFocus(Qt::TabFocusReason);
    QTRY_COMPARE(QApplication::focusWidget(), entry);
    QCOMPARE(entry->selectedText(), selected);
    QCOMPARE(entry->selectionStart(), selected.isEmpty() ? -1 : 0);
    QTest::keyClick(entry, Qt::Key_9);
    QCOMPARE(entry->text(), afterTyping9);
}

void TestForm1::modeSwitchKeepsTexts()
{
    m_form->c1->setPlainText(QStringLiteral("标准时间： x"));
    m_form->a2->setText(QStringLiteral("abc"));
    for (int i = 0; i < 2; ++i) {
        QTest::mouseClick(m_form->Option1, Qt::LeftButton);
        QVERIFY(m_form->Option1->isChecked());
        QVERIFY(!m_form->Option2->isChecked());
    }
    QTest::mouseClick(m_form->Option2, Qt::LeftButton);
    QVERIFY(m_form->Option2->isChecked());
    QVERIFY(!m_form->Option1->isChecked());
    QCOMPARE(m_form->a2->text(), QStringLiteral("abc"));
    QCOMPARE(m_form->c1->toPlainText(), QStringLiteral("标准时间： x"));
}

void TestForm1::applyPrompts_data()
{
    QTest::addColumn<bool>("manual");
    QTest::addColumn<QStringList>("fields"); // a1 a2 a3 b1 b2 b3
    QTest::addColumn<QString>("message");

    const QString enter = QStringLiteral("请输入当前时间！");
    QTest::newRow("manual, all empty") << true << QStringList{"", "", "", "", "", ""} << enter;
    QTest::newRow("manual, date empty")
        << true << QStringList{"12", "30", "00", "", "", ""} << enter;
    QTest::newRow("manual, time empty")
        << true << QStringList{"", "", "", "2026", "12", "7"} << enter;
    QTest::newRow("network, nothing fetched")
        << false << QStringList{"12", "30", "00", "2026", "12", "7"}
        << QStringLiteral("请选获取网络时间！");
}

void TestForm1::applyPrompts()
{
    QFETCH(bool, manual);
    QFETCH(QStringList, fields);
    QFETCH(QString, message);

    if (manual)
        m_form->Option1->click();
    fill(fields);

    m_form->Command3->click();
    QCOMPARE(m_messages.shown.size(), 1);
    QCOMPARE(m_messages.shown[0].text, message);
    QCOMPARE(m_messages.shown[0].title, QStringLiteral("友情提示"));
    QCOMPARE(m_messages.shown[0].flags, 64);
    QVERIFY(m_clock.writes.isEmpty());
}

void TestForm1::applySetsTheClockOnce_data()
{
    QTest::addColumn<QStringList>("fields"); // a1 a2 a3 b1 b2 b3, Beijing time
    QTest::addColumn<QString>("refusal");    // the clock refuses with this text
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QString>("error"); // fragment of the error box, "" for none

    const QString range = QStringLiteral("超出了系统时钟能设置的范围");
    QTest::newRow("two-digit year") << QStringList{"12", "30", "00", "12", "5", "1"} << ""
                                    << QStringList{"set 2012-05-01T04:30:00.000Z"} << "";
    QTest::newRow("short fields, UTC the day before")
        << QStringList{"8", "5", "30", "2026", "12", "7"} << ""
        << QStringList{"set 2026-12-07T00:05:30.000Z"} << "";
    QTest::newRow("blank counts as filled, then fails")
        << QStringList{" ", " ", " ", "2026", "12", "7"} << "" << QStringList{} << "不是有效的时间";
    QTest::newRow("letter in the hour: clock untouched")
        << QStringList{"x", "30", "00", "2026", "12", "7"} << "" << QStringList{} << "“x:30:00”";
    QTest::newRow("hour out of range")
        << QStringList{"24", "00", "00", "2026", "12", "7"} << "" << QStringList{} << "“24:00:00”";
    QTest::newRow("only the hour empty")
        << QStringList{"", "30", "00", "2026", "12", "7"} << "" << QStringList{} << "“:30:00”";
    // A good time with a bad date is no half change: the time is not written either.
    QTest::newRow("bad month: nothing written")
        << QStringList{"12", "30", "00", "2026", "x", "7"} << "" << QStringList{} << "“2026-x-7”";
    QTest::newRow("day that does not exist")
        << QStringList{"12", "30", "00", "2026", "2", "29"} << "" << QStringList{} << "2026-2-29";
    QTest::newRow("first settable second") << QStringList{"08", "00", "00", "1970", "1", "1"} << ""
                                           << QStringList{"set 1970-01-01T00:00:00.000Z"} << "";
    QTest::newRow("a second before 1970 in UTC")
        << QStringList{"07", "59", "59", "1970", "1", "1"} << "" << QStringList{} << range;
    QTest::newRow("clock refuses")
        << QStringList{"12", "30", "00", "2026", "12", "7"}
        << "没有修改系统时间的权限，请以管理员身份运行。" << QStringList{}
        << "没有修改系统时间的权限，请以管理员身份运行。";
}

void TestForm1::applySetsTheClockOnce()
{
    QFETCH(QStringList, fields);
    QFETCH(QString, refusal);
    QFETCH(QStringList, writes);
    QFETCH(QString, error);

    if (!refusal.isEmpty())
        m_clock.refuse = refusal;
    m_form->Option1->click();
    fill(fields);

    m_form->Command3->click();
    QCOMPARE(m_clock.writes, writes);
    if (error.isEmpty()) {
        QVERIFY(m_messages.shown.isEmpty());
    } else {
        QCOMPARE(m_messages.shown.size(), 1);
        const ShownBox &box = m_messages.shown[0];
        QVERIFY2(box.text.startsWith(QStringLiteral("时间格式不对，")), qPrintable(box.text));
        QVERIFY2(box.text.contains(error), qPrintable(box.text));
        QCOMPARE(box.title, QStringLiteral("系统提示"));
        QCOMPARE(box.flags, 64);
    }
    // Applying changes no field.
    const QStringList shown = {m_form->a1->text(), m_form->a2->text(), m_form->a3->text(),
                               m_form->b1->text(), m_form->b2->text(), m_form->b3->text()};
    QCOMPARE(shown, fields);
}

void TestForm1::applyAsksBeforeStoppingSync_data()
{
    QTest::addColumn<bool>("syncOn");
    QTest::addColumn<bool>("answerYes");
    QTest::addColumn<qint64>("thinkMs"); // the user takes this long to answer
    QTest::addColumn<QString>("year");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QStringList>("writes");
    QTest::addColumn<QString>("error"); // fragment of the error box, "" for none

    const QString set = QStringLiteral("set 2026-12-07T01:05:07.000Z");
    QTest::newRow("sync off: no question")
        << false << true << 0LL << "2026" << false << QStringList{set} << "";
    QTest::newRow("yes: sync stopped, then set")
        << true << true << 0LL << "2026" << true << QStringList{"stop sync", set} << "";
    QTest::newRow("no: nothing written")
        << true << false << 0LL << "2026" << true << QStringList{} << "";
    // The fields are the time as of the click: a minute spent on the question is added.
    QTest::newRow("yes after a minute")
        << true << true << 60'000LL << "2026" << true
        << QStringList{"stop sync", QStringLiteral("set 2026-12-07T01:06:07.000Z")} << "";
    QTest::newRow("out of range: refused before asking")
        << true << true << 0LL << "2233" << false << QStringList{} << "超出了系统时钟能设置的范围";
}

void TestForm1::applyAsksBeforeStoppingSync()
{
    QFETCH(bool, syncOn);
    QFETCH(bool, answerYes);
    QFETCH(qint64, thinkMs);
    QFETCH(QString, year);
    QFETCH(bool, asked);
    QFETCH(QStringList, writes);
    QFETCH(QString, error);

    m_clock.syncOn = syncOn;
    m_messages.answerYes = answerYes;
    m_messages.whileAsking = [this, thinkMs] {
        m_clock.boot += thinkMs;
    };
    m_form->Option1->click();
    fill({"09", "05", "07", year, "12", "07"});

    m_form->Command3->click();
    QCOMPARE(m_messages.asked.size(), asked ? 1 : 0);
    if (asked) {
        QCOMPARE(m_messages.asked[0].title, QStringLiteral("友情提示"));
        QVERIFY(m_messages.asked[0].text.contains(QStringLiteral("自动时间同步")));
    }
    QCOMPARE(m_clock.writes, writes);
    QCOMPARE(m_messages.shown.size(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QVERIFY2(m_messages.shown[0].text.contains(error), qPrintable(m_messages.shown[0].text));
}

void TestForm1::closedDuringApplyWritesNothing_data()
{
    QTest::addColumn<QString>("wait"); // the wait during which the window is closed
    QTest::addColumn<int>("pointer");  // shown during it: busy unless the user is asked
    QTest::addColumn<QStringList>("writes");

    const int busy = PointerBusy, normal = PointerDefault;
    QTest::newRow("a slow check of automatic sync") << "check" << busy << QStringList{};
    QTest::newRow("the question") << "question" << normal << QStringList{};
    QTest::newRow("a slow stop of automatic sync") << "stop" << busy << QStringList{"stop sync"};
    QTest::newRow("the password prompt") << "set" << busy << QStringList{"stop sync"};
}

void TestForm1::closedDuringApplyWritesNothing()
{
    QFETCH(QString, wait);
    QFETCH(int, pointer);
    QFETCH(QStringList, writes);

    // Each wait runs the window's events: the user can close it meanwhile. The program
    // then ends quietly and the clock is left as it is.
    int shownDuringWait = -1;
    const auto close = [&] {
        shownDuringWait = m_pointer.current();
        m_form->Command4->click();
    };
    m_clock.syncOn = true;
    if (wait == u"check")
        m_clock.whileCheckingSync = close;
    else if (wait == u"question")
        m_messages.whileAsking = close;
    else if (wait == u"stop")
        m_clock.whileStoppingSync = close;
    else
        m_clock.whileSetting = close;
    m_form->Option1->click();

    m_form->Command3->click();
    QVERIFY(!m_form->isVisible());
    QCOMPARE(shownDuringWait, pointer);
    QCOMPARE(m_clock.writes, writes);
    QVERIFY(m_messages.shown.isEmpty());
    QCOMPARE(m_pointer.current(), int(PointerDefault));
}

void TestForm1::applyOnTheSystemClock_data()
{
    QTest::addColumn<QByteArray>("zone");
    QTest::addColumn<QString>("clockUtc");   // the machine's clock before the click
    QTest::addColumn<QStringList>("fields"); // a1 a2 a3 b1 b2 b3, local time
    QTest::addColumn<QString>("written");    // UTC, "" for nothing written
    QTest::addColumn<QString>("error");      // fragment of the error box, "" for none

    const QString epoch = QStringLiteral("1970-01-01T00:00:00.000Z");
    const QStringList march4 = {"05", "06", "07", "2027", "03", "04"};
    // A flat RTC battery boots at the epoch; in New York that is still 1969 locally,
    // and a two-digit year must still mean this century.
    QTest::newRow("clock at the epoch, Shanghai")
        << QByteArray("Asia/Shanghai") << epoch << march4 << "2027-03-03T21:06:07.000Z"
        << "";
    QTest::newRow("clock at the epoch, New York, two-digit year")
        << QByteArray("America/New_York") << epoch
        << QStringList{"05", "06", "07", "27", "03", "04"} << "2027-03-04T10:06:07.000Z"
        << "";
    QTest::newRow("Berlin, hour passed twice: the earlier")
        << QByteArray("Europe/Berlin") << "2026-12-07T11:00:00.000Z"
        << QStringList{"02", "30", "00", "2026", "10", "25"} << "2026-10-25T00:30:00.000Z"
        << "";
    QTest::newRow("Berlin, skipped hour")
        << QByteArray("Europe/Berlin") << "2026-12-07T11:00:00.000Z"
        << QStringList{"02", "30", "00", "2026", "03", "29"} << ""
        << "不存在 2026-03-29 02:30:00";
    // Today lacks 02:30, the day set does not: a time set before the date would fail.
    QTest::newRow("Berlin, today springs forward")
        << QByteArray("Europe/Berlin") << "2026-03-29T00:30:00.000Z"
        << QStringList{"02", "30", "00", "2026", "03", "30"} << "2026-03-30T00:30:00.000Z"
        << "";
}

void TestForm1::applyOnTheSystemClock()
{
    QFETCH(QByteArray, zone);
    QFETCH(QString, clockUtc);
    QFETCH(QStringList, fields);
    QFETCH(QString, written);
    QFETCH(QString, error);

    useZone(zone);
    FakeCalls calls;
    calls.realtime = utcNs(clockUtc);
    calls.boottime = 5'000'000'000;
    SystemClock clock(calls);
    makeWindow(clock);
    const auto closeFirst = qScopeGuard([this] { m_form.reset(); }); // before the clock goes
    m_form->Option1->click();
    fill(fields);

    m_form->Command3->click();
    QStringList writtenUtc;
    for (const qint64 ns : calls.written)
        writtenUtc
            << QDateTime::fromMSecsSinceEpoch(ns / 1'000'000).toUTC().toString(Qt::ISODateWithMs);
    QCOMPARE(writtenUtc, written.isEmpty() ? QStringList{} : QStringList{written});
    QCOMPARE(m_messages.shown.size(), error.isEmpty() ? 0 : 1);
    if (!error.isEmpty())
        QVERIFY2(m_messages.shown[0].text.contains(error), qPrintable(m_messages.shown[0].text));
}

void TestForm1::closeEndsTheWindow()
{
    m_form->Command4->click();
    QVERIFY(!m_form->isVisible());
    // Closing the last window ends the event loop and so the program.
    QVERIFY(m_form->testAttribute(Qt::WA_QuitOnClose));
    QVERIFY(QApplication::quitOnLastWindowClosed());
    QVERIFY(m_messages.shown.isEmpty());
}

void TestForm1::clicksWhileTheClockIsSetAreIgnored()
{
    // Setting the clock may wait for a password; the window keeps handling clicks.
    m_form->Option1->click();
    int nested = 0;
    m_clock.whileSetting = [this, &nested] {
        if (nested++ == 0)
            m_form->Command3->click();
    };
    m_form->Command3->click();
    QCOMPARE(nested, 1);
    QCOMPARE(m_clock.writes, QStringList{"set 2026-12-07T01:05:07.000Z"});
    // Once done, the command works again.
    m_form->Command3->click();
    QCOMPARE(m_clock.writes.size(), 2);
}

void TestForm1::screenReadersReadChinese_data()
{
    QTest::addColumn<QString>("control");
    QTest::addColumn<QString>("name");

    const char *const rows[][2] = {
        {"b1", "年"},
        {"b2", "月"},
        {"b3", "日"},
        {"a1", "时"},
        {"a2", "分"},
        {"a3", "秒"},
        {"c1", "网络时间"},
        {"Option1", "手工录入"},
        {"Option2", "网络时间"},
        {"Command1", "系统时间"},
        {"Command2", "北京时间"},
        {"Command3", "手工校准"},
        {"Command4", "关闭软件"},
        {"Frame1", "当前时间"},
        {"Label8", "当前时间："},
        {"Label1", "年"},
        {"Label11", "校准模式："},
    };
    for (const auto &[control, name] : rows)
        QTest::newRow(control) << control << QString::fromUtf8(name);
}

void TestForm1::screenReadersReadChinese()
{
    QFETCH(QString, control);
    QFETCH(QString, name);

    auto *widget = m_form->findChild<QWidget *>(control);
    QVERIFY(widget);
    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(widget);
    QVERIFY(accessible);
    QCOMPARE(accessible->text(QAccessible::Name), name);
    // Controls that act or hold a value also say what they are for, in Chinese.
    if (!qobject_cast<QLabel *>(widget)) {
        const QString description = accessible->text(QAccessible::Description);
        QVERIFY2(std::any_of(description.cbegin(), description.cend(),
                             [](QChar c) { return c.script() == QChar::Script_Han; }),
                 qPrintable(control));
    }
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
