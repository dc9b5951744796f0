// The real message boxes and pointer, shown offscreen and closed by the test.
#include "messageboxes.h"
#include "pointer.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

using namespace horalis;

struct SeenBox {
    QString text, title, buttonText;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    bool modal = false;
    int width = 0;
};

// The narrowest box whose title shows whole in a title bar the program draws itself
// (Wayland, GNOME's style): the title, bold and at least 14 px, centred over the box,
// must end 8 px before three 24 px buttons 12 px apart, 10 px in from the edge.
int widthForWholeTitle(const QString &title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    if (QFontInfo(font).pixelSize() < 14)
        font.setPixelSize(14);
    const int buttons = 3 * (24 + 12) + 10 + 8;
    return QFontMetrics(font).horizontalAdvance(title) + 2 * buttons;
}

class TestMessageBoxes : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QApplication::setApplicationName(QStringLiteral("Horalis")); }
    void cleanup() { QTRY_COMPARE(QApplication::topLevelWidgets().size(), 0); }

    void showsAndWaits_data();
    void showsAndWaits();
    void asks_data();
    void asks();
    void busyPointerIsBalanced();
};

void TestMessageBoxes::showsAndWaits_data()
{
    QTest::addColumn<int>("flags");
    QTest::addColumn<QString>("title");
    QTest::addColumn<int>("icon");
    QTest::addColumn<QString>("shownTitle");

    QTest::newRow("information, own title")
        << 64 << QStringLiteral("友情提示") << int(QMessageBox::Information) << "友情提示";
    QTest::newRow("no icon, application title")
        << 0 << QString() << int(QMessageBox::NoIcon) << "Horalis";
    // Flags the window does not use, such as a warning's 48 or a critical's 16 in other
    // toolkits, show no icon rather than one the window never meant.
    QTest::newRow("warning's flag")
        << 48 << QStringLiteral("系统提示") << int(QMessageBox::NoIcon) << "系统提示";
    QTest::newRow("critical's flag")
        << 16 << QStringLiteral("系统提示") << int(QMessageBox::NoIcon) << "系统提示";
    QTest::newRow("title longer than the text")
        << 64 << QStringLiteral("系统提示：自动时间同步与手工校准") << int(QMessageBox::Information)
        << "系统提示：自动时间同步与手工校准";
}

void TestMessageBoxes::showsAndWaits()
{
    QFETCH(int, flags);
    QFETCH(QString, title);
    QFETCH(int, icon);
    QFETCH(QString, shownTitle);

    // Reads the box while it is open, then presses its one button, as a user would.
    SeenBox seen;
    QTimer closer;
    closer.setInterval(10);
    connect(&closer, &QTimer::timeout, this, [&seen, &closer] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        closer.stop();
        seen = {box->text(),    box->windowTitle(), {}, box->icon(), int(box->buttons().size()),
                box->isModal(), box->width()};
        if (!box->buttons().isEmpty()) {
            seen.buttonText = box->buttons().constFirst()->text();
            box->buttons().constFirst()->click();
        }
    });
    closer.start();

    QWidget parent;
    parent.show();
    QtMessageBoxes boxes;
    boxes.setParentWidget(&parent);
    boxes.show(QStringLiteral("请输入当前时间！"), MessageFlags(flags), title);

    QCOMPARE(seen.text, QStringLiteral("请输入当前时间！"));
    QCOMPARE(seen.title, shownTitle);
    QCOMPARE(int(seen.icon), icon);
    QCOMPARE(seen.buttons, 1);
    QCOMPARE(seen.buttonText, QStringLiteral("确定"));
    QVERIFY(seen.modal);
    QVERIFY2(
        seen.width >= widthForWholeTitle(shownTitle),
        qPrintable(QStringLiteral("%1 < %2").arg(seen.width).arg(widthForWholeTitle(shownTitle))));
}

void TestMessageBoxes::asks_data()
{
    QTest::addColumn<QString>("answer"); // a button's caption, or a key
    QTest::addColumn<bool>("yes");

    QTest::newRow("是") << QStringLiteral("是") << true;
    QTest::newRow("否") << QStringLiteral("否") << false;
    QTest::newRow("Return: the default") << QStringLiteral("Return") << true;
    QTest::newRow("Escape") << QStringLiteral("Escape") << false;
}

void TestMessageBoxes::asks()
{
    QFETCH(QString, answer);
    QFETCH(bool, yes);

    // Reads the open box, then answers it as the row says.
    SeenBox seen;
    QStringList captions;
    QString defaultCaption, escapeCaption;
    QTimer answerer;
    answerer.setInterval(10);
    connect(&answerer, &QTimer::timeout, this, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        answerer.stop();
        seen = {box->text(),    box->windowTitle(), {}, box->icon(), int(box->buttons().size()),
                box->isModal(), box->width()};
        for (QAbstractButton *button : box->buttons())
            captions << button->text();
        captions.sort();
        if (box->defaultButton())
            defaultCaption = box->defaultButton()->text();
        if (box->escapeButton())
            escapeCaption = box->escapeButton()->text();
        if (answer == u"Return" || answer == u"Escape") {
            QTest::keyClick(box, answer == u"Return" ? Qt::Key_Return : Qt::Key_Escape);
            return;
        }
        for (QAbstractButton *button : box->buttons())
            if (button->text() == answer)
                button->click();
    });
    answerer.start();

    QWidget parent;
    parent.show();
    QtMessageBoxes boxes;
    boxes.setParentWidget(&parent);
    const bool said =
        boxes.ask(QStringLiteral("要关闭自动时间同步吗？"), QStringLiteral("系统提示"));

    QCOMPARE(said, yes);
    QCOMPARE(seen.text, QStringLiteral("要关闭自动时间同步吗？"));
    QCOMPARE(seen.title, QStringLiteral("系统提示"));
    QCOMPARE(seen.icon, QMessageBox::Question);
    QCOMPARE(captions, (QStringList{QStringLiteral("否"), QStringLiteral("是")}));
    QCOMPARE(defaultCaption, QStringLiteral("是"));
    QCOMPARE(escapeCaption, QStringLiteral("否"));
    QVERIFY(seen.modal);
    QVERIFY(seen.width >= widthForWholeTitle(seen.title));
}

void TestMessageBoxes::busyPointerIsBalanced()
{
    {
        OverrideCursorPointer pointer;
        pointer.set(PointerBusy);
        pointer.set(PointerBusy);
        QVERIFY(QApplication::overrideCursor());
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        pointer.set(PointerDefault);
        QVERIFY(!QApplication::overrideCursor());
        pointer.set(PointerDefault);
        pointer.set(PointerBusy);
    }
    // Destroying the pointer while busy restores the default one.
    QVERIFY(!QApplication::overrideCursor());
}

QTEST_MAIN(TestMessageBoxes)
#include "tst_messageboxes.moc"
