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

} // namespace

void QtMessageBoxes::show(const QString &text, int flags, const QString &title)
{
    QMessageBox box(m_parent);
    box.setObjectName(QStringLiteral("horalisMessageBox"));
    box.setWindowTitle(title.isEmpty() ? QGuiApplication::applicationDisplayName() : title);
    box.setIcon(iconFor(flags));
    box.setText(text);
    box.setTextFormat(Qt::PlainText);
    // Set the caption directly so the button reads Chinese even where Qt's own
    // translations are not installed.
    QPushButton *ok = box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
    box.setDefaultButton(ok);
    box.setEscapeButton(ok);
    box.exec();
}

} // namespace horalis
