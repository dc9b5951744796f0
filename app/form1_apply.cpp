// Applying a time of day and a date to the system clock.
#include "form1.h"

#include "clock.h"
#include "messageboxes.h"
#include "runtimeerror.h"
#include "timetext.h"
#include "trace.h"

#include <QRadioButton>
#include <QScopeGuard>
#include <algorithm>

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
    // A short year is read relative to the current year. A clock that reads a year
    // before this program was built is wrong (a flat RTC battery boots at 1970), and
    // is exactly the clock being set: then "27" must still mean 2027, not 1927.
    const int year = std::max(m_services.clock.now().date().year(), HORALIS_BUILD_YEAR);
    return textToDate(text, year);
}

void Form1::writeClock(Instant target)
{
    Clock &clock = m_services.clock;
    // Refused before anything is asked: there is no point switching synchronisation off
    // for a time that cannot be set. The clock checks again as it writes.
    requireSettable(target.at(clock.boottimeMs()), clock.earliestSettableMs());

    // Every wait below runs the window's events, and the window may be closed during
    // any of them: after each, nothing more is done once it is closing. A wait the
    // user is not part of shows the busy pointer.
    const std::stop_token stop = m_closing.get_token();
    const auto waitOnSystem = [this](bool waits) {
        m_clockWaits = waits;
        updatePointer();
    };
    const auto ready = qScopeGuard([&waitOnSystem] { waitOnSystem(false); });
    waitOnSystem(true);
    const bool syncOn = clock.automaticSyncOn(stop);
    if (closing())
        return;
    if (syncOn) {
        // The system's own synchronisation would soon put the clock back. The desktops'
        // date and time settings switch it off before a manual setting; so does Horalis,
        // but it asks first.
        waitOnSystem(false);
        const bool stopSync = m_services.messages.ask(
            QStringLiteral("系统开启了自动时间同步，手工设置的时间很快会被它改回。\n"
                           "要关闭自动时间同步并设置时间吗？\n"
                           "（以后可以在系统的“日期和时间”设置中重新打开自动同步。）"),
            FriendlyTitle);
        qCDebug(lcClock).noquote() << "automatic synchronisation is on; the user"
                                   << (stopSync ? "chose to switch it off" : "chose to leave it");
        if (closing() || !stopSync)
            return;
        waitOnSystem(true);
        clock.stopAutomaticSync(stop);
        if (closing())
            return;
    }
    // The one write: the instant moves on with the boot clock to the moment it lands,
    // whatever the question and any password prompt took.
    clock.setInstant(target, stop);
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
            // The time text is checked first, then the date text, and the instant the two
            // stand for together is worked out before anything is written: a date that
            // does not convert leaves the clock as it was. The fields are local time, as
            // of this click.
            const QTime time = textToTime(timeText);
            const QDate date = toDate(dateText);
            const QString typed = date.toString(Qt::ISODate) + u' ' + time.toString(u"HH:mm:ss");
            qCDebug(lcClock).noquote() << "apply, manual entry:" << timeText << dateText
                                       << "read as" << typed << "local time";
            writeClock({localToUtcMs(date, time), m_services.clock.boottimeMs(),
                        QStringLiteral("typed in as %1 local time").arg(typed)});
            return;
        }

        if (NetTime.toString().isEmpty()) {
            m_services.messages.show(QStringLiteral("请选获取网络时间！"), MbIconInformation,
                                     FriendlyTitle);
            return;
        }
        // The fetched instant, moved on by the boot clock to the moment of writing.
        qCDebug(lcClock).noquote() << "apply, network time:" << m_netInstant.origin;
        writeClock(m_netInstant);
    } catch (const RunTimeError &error) {
        // Closed while the clock was being set: the program is ending, say nothing.
        if (closing())
            return;
        qCDebug(lcClock).noquote() << "apply refused; the user is told:" << error.description();
        m_services.messages.show(QStringLiteral("时间格式不对，") + error.description(),
                                 MbIconInformation, SystemTitle);
    }
}

} // namespace horalis
