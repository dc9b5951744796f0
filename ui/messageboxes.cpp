#include "messageboxes.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QFontMetrics>
#include <QLayout>
#include <QMessageBox>
#include <QPushButton>
#include <QWidget>

#include <algorithm>

namespace horalis {

namespace {

QMessageBox::Icon iconFor(MessageFlags flags)
{
    return (flags & 0x70) == MbIconInformation ? QMessageBox::Information : QMessageBox::NoIcon;
}

// Where the program draws its own title bars (on Wayland, when the desktop leaves
// decorations to the program), Qt centres the title over the whole width and cuts it
// off at the buttons: up to three of them at one side, taking as much as 120 px in
// GNOME's style. QMessageBox sizes itself for the title with only 50 px to spare, so a
// short box would show "友情" and half a glyph of "友情提示". The box is kept wide enough
// for the title to clear that room on both sides.
constexpr int TitleBarButtonsWidth = 128;

// The title bars draw the title at 14 px or in the theme's title font, at times bold:
// the title is measured at the larger of 14 px and the application's font, in bold.
int titleBarWidth(const QString &title)
{
    QFont font = QApplication::font();
    font.setBold(true);
    if (QFontInfo(font).pixelSize() < 14)
        font.setPixelSize(14);
    return QFontMetrics(font).horizontalAdvance(title) + 2 * TitleBarButtonsWidth;
}

void prepare(QMessageBox &box, const QString &text, QMessageBox::Icon icon, const QString &title)
{
    box.setObjectName(QStringLiteral("horalisMessageBox"));
    box.setWindowTitle(title.isEmpty() ? QApplication::applicationDisplayName() : title);
    box.setIcon(icon);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    // The button row spans the whole box, and the box is never narrower than its
    // layout: a minimum width on the row is one on the box, and it outlives the layout
    // QMessageBox builds anew when the icon changes.
    if (auto *buttons = box.findChild<QDialogButtonBox *>()) {
        const QMargins margins = box.layout() ? box.layout()->contentsMargins() : QMargins();
        buttons->setMinimumWidth(
            std::max(0, titleBarWidth(box.windowTitle()) - margins.left() - margins.right()));
    }
}

} // namespace

void QtMessageBoxes::setParentWidget(QWidget *parent)
{
    m_parent = parent;
}

void QtMessageBoxes::show(const QString &text, MessageFlags flags, const QString &title)
{
    QMessageBox box(m_parent);
    prepare(box, text, iconFor(flags), title);
    // The buttons' captions are set directly so that they read Chinese even where Qt's
    // own translations are not installed.
    QPushButton *ok = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

bool QtMessageBoxes::ask(const QString &text, const QString &title)
{
    QMessageBox box(m_parent);
    prepare(box, text, QMessageBox::Question, title);
    QPushButton *yes = box.addButton(QStringLiteral("是"), QMessageBox::YesRole);
    QPushButton *no = box.addButton(QStringLiteral("否"), QMessageBox::NoRole);
    // The user asked for the change; Escape or closing the box declines it.
    box.setDefaultButton(yes);
    box.setEscapeButton(no);
    box.exec();
    return box.clickedButton() == yes;
}

} // namespace horalis
