// The window's controls: positions and sizes in device-independent pixels, which
// Qt scales with the screen's DPI.
#include "form1.h"

#include <QApplication>
#include <QFocusEvent>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyle>

namespace horalis {

namespace {

constexpr QSize ClientSize(473, 274);

template <typename W> W *place(QWidget *container, const char *name, const QRect &geometry)
{
    auto *widget = new W(container);
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(geometry);
    return widget;
}

QLabel *label(QWidget *container, const char *name, const QString &caption, const QRect &geometry)
{
    auto *widget = place<QLabel>(container, name, geometry);
    widget->setText(caption);
    return widget;
}

QPushButton *button(QWidget *container, const char *name, const QString &caption,
                    const QRect &geometry)
{
    auto *widget = place<QPushButton>(container, name, geometry);
    widget->setText(caption);
    // Outside a dialog a push button ignores Enter; with auto-default it clicks on
    // Enter while it has the focus. The window has no default button, so Enter
    // elsewhere clicks nothing.
    widget->setAutoDefault(true);
    return widget;
}

EntryField *field(QWidget *container, const char *name, const QRect &geometry)
{
    auto *widget = place<EntryField>(container, name, geometry);
    // The fields are only 17 pixels high: a flat field without inner margins keeps two
    // digits (four for the year) whole; EntryField draws a thin border of its own.
    widget->setFrame(false);
    widget->setTextMargins(0, 0, 0, 0);
    widget->setAlignment(Qt::AlignCenter);
    return widget;
}

} // namespace

void EntryField::paintEvent(QPaintEvent *event)
{
    QLineEdit::paintEvent(event);
    QPainter painter(this);
    painter.setPen(palette().color(hasFocus() ? QPalette::Highlight : QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

void EntryField::focusInEvent(QFocusEvent *event)
{
    QLineEdit::focusInEvent(event);
    emit gotFocus(event->reason());
}

void Form1::createControls()
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("Horalis"));
    setWindowIcon(QIcon(QStringLiteral(":/horalis/horalis-24.xpm")));
    setFixedSize(ClientSize);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                   Qt::MSWindowsFixedSizeDialogHint);

    // Labels are created before the fields beside them, so a field covers the part
    // of a unit label that reaches into it.
    Label11 = label(this, "Label11", QStringLiteral("校准模式："), {16, 16, 65, 17});
    Option1 = place<QRadioButton>(this, "Option1", {88, 8, 89, 25});
    Option1->setText(QStringLiteral("手工录入"));
    Option2 = place<QRadioButton>(this, "Option2", {184, 8, 97, 25});
    Option2->setText(QStringLiteral("网络时间"));

    Frame1 = place<QGroupBox>(this, "Frame1", {16, 40, 297, 209});
    Label8 = label(Frame1, "Label8", QStringLiteral("当前时间："), {8, 16, 65, 17});
    Label1 = label(Frame1, "Label1", QStringLiteral("年"), {57, 43, 25, 17});
    Label2 = label(Frame1, "Label2", QStringLiteral("月"), {96, 43, 25, 17});
    Label3 = label(Frame1, "Label3", QStringLiteral("日"), {136, 43, 25, 17});
    Label4 = label(Frame1, "Label4", QStringLiteral("时"), {186, 43, 17, 17});
    Label5 = label(Frame1, "Label5", QStringLiteral("分"), {226, 43, 17, 17});
    Label7 = label(Frame1, "Label7", QStringLiteral("秒"), {266, 43, 25, 17});
    b1 = field(Frame1, "b1", {16, 40, 41, 17});
    b2 = field(Frame1, "b2", {72, 40, 25, 17});
    b3 = field(Frame1, "b3", {112, 40, 25, 17});
    a1 = field(Frame1, "a1", {160, 40, 25, 17});
    a2 = field(Frame1, "a2", {200, 40, 25, 17});
    a3 = field(Frame1, "a3", {240, 40, 25, 17});

    Line1 = place<QFrame>(Frame1, "Line1", {8, 80, 281, 1});
    Line1->setAutoFillBackground(true);
    QPalette linePalette = Line1->palette();
    linePalette.setColor(QPalette::Window, linePalette.color(QPalette::Mid));
    Line1->setPalette(linePalette);

    Label9 = label(Frame1, "Label9", QStringLiteral("网络时间："), {8, 96, 97, 17});
    c1 = place<QPlainTextEdit>(Frame1, "c1", {16, 120, 265, 73});
    // Nothing reads the status line back: the user may select and copy it, not edit it.
    c1->setReadOnly(true);
    c1->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    c1->setTabChangesFocus(true);
    // Lies below the frame's lower edge and so is never seen.
    Label6 = label(Frame1, "Label6", QStringLiteral("："), {208, 216, 17, 25});

    Command1 = button(this, "Command1", QStringLiteral("系统时间"), {328, 16, 129, 41});
    Command2 = button(this, "Command2", QStringLiteral("北京时间"), {328, 80, 129, 41});
    Command3 = button(this, "Command3", QStringLiteral("手工校准"), {328, 144, 129, 41});
    Command4 = button(this, "Command4", QStringLiteral("关闭软件"), {328, 208, 129, 41});

    Label10 =
        label(this, "Label10", QStringLiteral("本机时钟校准工具：手工录入，或按网络标准时间校准"),
              {16, 256, 369, 17});
    QPalette creditPalette = Label10->palette();
    creditPalette.setColor(QPalette::WindowText,
                           creditPalette.color(QPalette::Disabled, QPalette::WindowText));
    Label10->setPalette(creditPalette);

    // Tab order: Command1, the date and time fields, Command3, Command4, Command2,
    // the status line, then the mode choice.
    QWidget *order[] = {Command1, b1,       b2,       b3, a1,      a2,     a3,
                        Command3, Command4, Command2, c1, Option1, Option2};
    for (std::size_t i = 1; i < std::size(order); ++i)
        setTabOrder(order[i - 1], order[i]);
    Command1->setFocus(Qt::OtherFocusReason);

    describeForScreenReaders();
}

void Form1::describeForScreenReaders()
{
    // Screen readers name each control by what it holds or does; the fields carry
    // no visible caption of their own, so they are named after their unit label.
    const struct {
        QWidget *control;
        const char16_t *name;
        const char16_t *description;
    } texts[] = {
        {this, u"Horalis", u"设置计算机时钟的窗口"},
        {Option1, u"手工录入", u"校准模式：按输入框中填写的日期和时间校准"},
        {Option2, u"网络时间", u"校准模式：按从网络获取的北京时间校准"},
        {Frame1, u"当前时间", u"要写入系统时钟的日期和时间"},
        {b1, u"年", u"年份，四位数字"},
        {b2, u"月", u"月份，1 到 12"},
        {b3, u"日", u"日期，1 到 31"},
        {a1, u"时", u"小时，0 到 23"},
        {a2, u"分", u"分钟，0 到 59"},
        {a3, u"秒", u"秒，0 到 59"},
        {Line1, u"分隔线", u"分隔当前时间与网络时间"},
        {c1, u"网络时间", u"从网络时间服务器获取的北京时间"},
        {Command1, u"系统时间", u"用系统时钟的当前日期和时间填写输入框"},
        {Command2, u"北京时间", u"从网络时间服务器获取当前的北京时间"},
        {Command3, u"手工校准", u"把选定的日期和时间写入系统时钟"},
        {Command4, u"关闭软件", u"关闭本程序"},
    };
    for (const auto &[control, name, description] : texts) {
        control->setAccessibleName(QString::fromUtf16(name));
        control->setAccessibleDescription(QString::fromUtf16(description));
    }
}

void Form1::centreOnScreen()
{
    // A Wayland client cannot place its windows: the desktop does, and ignores move().
    if (QGuiApplication::platformName().startsWith(u"wayland"))
        return;
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, frameSize(), available).topLeft());
}

} // namespace horalis
