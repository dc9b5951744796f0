#include "messageboxes.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QPushButton>

namespace horalis {

namespace {

QMessageBox::Icon iconFor(int flags)
{
    switch (flags & 0x70) {
    case MbIconCritical:
        return QMessageBox::Critical;
    case MbIconQuestion:
        return QMessageBox::Question;
    case MbIconExclamation:
        return QMessageBox::Warning;
    case MbIconInformation:
        return QMessageBox::Information;
    default:
        return QMessageBox::NoIcon;
    }
}

void prepare(QMessageBox &box, const QString &text, QMessageBox::Icon icon, const QString &title)
{
    box.setObjectName(QStringLiteral("horalisMessageBox"));
    box.setWindowTitle(title.isEmpty() ? QGuiApplication::applicationDisplayName() : title);
    box.setIcon(icon);
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
}

} // namespace

void QtMessageBoxes::show(const QString &text, int flags, const QString &title)
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
