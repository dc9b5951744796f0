#include "timedatedservice.h"

#include "runtimeerror.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QEventLoop>
#include <QTimer>

namespace horalis {

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kInterface = QStringLiteral("org.freedesktop.timedate1");

QString noServiceText()
{
    return QStringLiteral("没有修改系统时间的权限，也找不到系统的时间服务（timedated），"
                          "请以管理员（root）身份运行本程序。");
}

QString timeoutText(int timeoutMs)
{
    return QStringLiteral("等待系统时间服务回应超时（%1 秒），时间没有修改，请重试。")
        .arg(QString::number(timeoutMs / 1000.0));
}

// The one place that turns the service's D-Bus errors into words for the user. The
// texts follow "时间格式不对，" in the window's message box.
QString failureText(const QDBusError &error, int timeoutMs)
{
    const QString name = error.name();
    if (name == u"org.freedesktop.DBus.Error.AccessDenied" ||
        name == u"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired" ||
        name == u"org.freedesktop.PolicyKit1.Error.NotAuthorized" ||
        name == u"org.freedesktop.PolicyKit1.Error.InteractiveAuthorizationRequired")
        return QStringLiteral("没有得到修改系统时间的授权（密码验证未通过或被取消），时间没有修改。"
                              "请重试并输入管理员密码，或以管理员（root）身份运行本程序。");
    if (name == u"org.freedesktop.timedate1.AutomaticTimeSyncEnabled")
        return QStringLiteral("系统开启了自动时间同步，不能手工修改时间。请先关闭自动同步"
                              "（在桌面的“日期和时间”设置中关闭自动设置时间，"
                              "或执行 timedatectl set-ntp false），再重试。");
    if (name == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == u"org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == u"org.freedesktop.DBus.Error.NoServer" ||
        name == u"org.freedesktop.DBus.Error.Disconnected" ||
        name.startsWith(u"org.freedesktop.DBus.Error.Spawn."))
        return noServiceText();
    // The bus gives up on its own when the call outlives the timeout passed with it.
    if (name == u"org.freedesktop.DBus.Error.NoReply" ||
        name == u"org.freedesktop.DBus.Error.Timeout" ||
        name == u"org.freedesktop.DBus.Error.TimedOut")
        return timeoutText(timeoutMs);
    const QString said = error.message().isEmpty() ? name : error.message() + u'，' + name;
    return QStringLiteral("系统时间服务拒绝修改时间（%1）。").arg(said);
}

} // namespace

TimedatedService::TimedatedService(int timeoutMs, QString busAddress)
    : m_timeoutMs(timeoutMs), m_busAddress(std::move(busAddress)),
      m_connectionName(QStringLiteral("horalis-time-service-%1").arg(quintptr(this)))
{
}

TimedatedService::~TimedatedService()
{
    if (!m_busAddress.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
}

void TimedatedService::setTime(qint64 usecUtc)
{
    // Connected only when first needed: most runs never get here.
    QDBusConnection bus = m_busAddress.isEmpty()
                              ? QDBusConnection::systemBus()
                              : QDBusConnection::connectToBus(m_busAddress, m_connectionName);
    if (!bus.isConnected())
        throw RunTimeError(noServiceText());

    // An absolute instant (relative = false), the one the caller has just worked out.
    // timedated applies it when polkit says yes, so the time spent typing a password is
    // not added: the user applies again if those seconds matter.
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("SetTime"));
    call << usecUtc << false << true;
    call.setInteractiveAuthorizationAllowed(true);

    QDBusPendingCallWatcher watcher(bus.asyncCall(call, m_timeoutMs));
    if (!watcher.isFinished()) {
        // The window goes on painting and handling input while the prompt is up.
        QEventLoop loop;
        QTimer bound;
        bound.setSingleShot(true);
        QObject::connect(&watcher, &QDBusPendingCallWatcher::finished, &loop, &QEventLoop::quit);
        QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
        bound.start(m_timeoutMs);
        loop.exec();
    }
    if (!watcher.isFinished())
        throw RunTimeError(timeoutText(m_timeoutMs));
    if (watcher.isError())
        throw RunTimeError(failureText(watcher.error(), m_timeoutMs));
}

} // namespace horalis
