// Applying a time of day and a date to the system clock.
#include "form1.h"

#include "runtimeerror.h"
#include "timetext.h"

#include <QRadioButton>
#include <QScopeGuard>

namespace horalis {

namespace {

const QString FriendlyTitle = QStringLiteral("友情提示");
const QString SystemTitle = QStringLiteral("系统提示");

bool allEmpty(const QLineEdit *first, const QLineEdit *second, const QLineEdit *third)
{
    // A field holding a blank counts as filled.
    return first->text().isEmpty() && second->text().isEmpty() && third->text().isEmpty();
}

} // namespace

QDate Form1::toDate(const QString &text)
{
    // A short year is read relative to the clock's current year.
    return textToDate(text, m_services.clock.now().date().year());
}

void Form1::applyNetworkTime()
{
    // The fetched values are Beijing time as of the moment their reply arrived. Both
    // are converted before anything is written: the instant needs the two together.
    const QTime time =
        NetTime.typeId() == QMetaType::QTime ? NetTime.toTime() : textToTime(NetTime.toString());
    const QDate date = toDate(NetDate);
    const qint64 sinceReplyMs = m_services.clock.monotonicMs() - m_netTimeArrivedMs;
    const QDateTime beijing(date, time, Qt::OffsetFromUTC, 8 * 3600);
    // Written in this computer's own time zone, moved on by the time since the reply,
    // so a later click does not set the clock back.
    const QDateTime local = beijing.addMSecs(sinceReplyMs).toLocalTime();
    m_services.clock.setTimeOfDay(local.time());
    m_services.clock.setDate(local.date());
}

void Form1::Command3_Click()
{
    // Setting the clock may wait for the user to authorize it; a second click in the
    // meantime must not start a second write.
    if (m_applying)
        return;
    m_applying = true;
    const auto done = qScopeGuard([this] { m_applying = false; });
    try {
        const QString timeText = a1->text() + u':' + a2->text() + u':' + a3->text();
        const QString dateText = b1->text() + u'-' + b2->text() + u'-' + b3->text();

        if (Option1->isChecked()) {
            if (allEmpty(a1, a2, a3) || allEmpty(b1, b2, b3)) {
                m_services.messages.show(QStringLiteral("请输入当前时间！"), MbIconInformation,
                                         FriendlyTitle);
                return;
            }
            // Time of day first, then the date: a date that does not convert leaves
            // the time already set.
            m_services.clock.setTimeOfDay(textToTime(timeText));
            m_services.clock.setDate(toDate(dateText));
            return;
        }

        if (NetTime.toString().isEmpty()) {
            m_services.messages.show(QStringLiteral("请选获取网络时间！"), MbIconInformation,
                                     FriendlyTitle);
            return;
        }
        applyNetworkTime();
    } catch (const RunTimeError &error) {
        // Closed while the clock was being set: the program is ending, say nothing.
        if (m_unloading)
            return;
        m_services.messages.show(QStringLiteral("时间格式不对，") + error.description(),
                                 MbIconInformation, SystemTitle);
    }
}

} // namespace horalis
