#include "timedatedservice.h"

#include "dbuswait.h"
#include "polkitauthority.h"
#include "runtimeerror.h"
#include "trace.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QElapsedTimer>
#include <QEventLoop>
#include <optional>
#include <stop_token>
#include <utility>

namespace horalis {

namespace {

const QString kService = QStringLiteral("org.freedesktop.timedate1");
const QString kPath = QStringLiteral("/org/freedesktop/timedate1");
const QString kInterface = QStringLiteral("org.freedesktop.timedate1");
const QString kSyncEnabled = QStringLiteral("org.freedesktop.timedate1.AutomaticTimeSyncEnabled");
// The polkit actions timedated checks: setting the time, and switching NTP off.
const QString kSetTimeAction = QStringLiteral("org.freedesktop.timedate1.set-time");
const QString kSetNtpAction = QStringLiteral("org.freedesktop.timedate1.set-ntp");

// After SetNTP(false), how often SetTime is tried again while timedated refuses it.
// It refuses before asking polkit, so a try never shows a password prompt.
constexpr int kSyncStopRetryMs = 250;

QString noServiceText()
{
    return QStringLiteral("没有修改系统时间的权限，也找不到系统的时间服务（timedated），"
                          "请以管理员（root）身份运行本程序。");
}

QString seconds(int ms)
{
    return QString::number(ms / 1000.0);
}

// polkit had no way to ask: no authentication agent runs in this session (a bare window
// manager, a remote X session), so no password prompt was ever shown.
QString noAgentText()
{
    return QStringLiteral("系统无法弹出输入管理员密码的授权窗口（当前会话中没有运行 polkit "
                          "认证代理），时间没有修改。请在完整的桌面会话中运行本程序，"
                          "或以管理员（root）身份运行。");
}

// The prompt was shown: the user cancelled it, or the password was refused.
QString deniedText()
{
    return QStringLiteral("没有得到修改系统时间的授权（密码验证未通过或被取消），时间没有修改。"
                          "请重试并输入管理员密码，或以管理员（root）身份运行本程序。");
}

// polkitd ended while its prompt was open (it crashed, or was restarted as its package
// was upgraded): the password was never refused, and nothing was set.
QString polkitStoppedText()
{
    return QStringLiteral("系统的授权服务（polkit）在等待输入管理员密码时停止了回应，"
                          "时间没有修改。请再点击“手工校准”。");
}

// polkitd ended, or did not answer, before any prompt.
QString polkitSilentText()
{
    return QStringLiteral("系统的授权服务（polkit）没有回应，时间没有修改。"
                          "请稍后再点击“手工校准”。");
}

// polkitd answered with an error Horalis has no better words for: named as it came.
QString polkitFailedText(const QDBusError &error)
{
    const QString said =
        error.message().isEmpty() ? error.name() : error.message() + u'，' + error.name();
    return QStringLiteral("系统的授权服务（polkit）出错（%1），时间没有修改。请再点击“手工校准”，"
                          "仍不行时请以管理员（root）身份运行本程序。")
        .arg(said);
}

// Said when Horalis stops waiting for the password: it has withdrawn the prompt, so
// nothing can be set from it any more.
QString authorizationTimeoutText(int timeoutMs)
{
    return QStringLiteral("等待输入管理员密码超过 %1 秒，本程序不再等待，授权窗口已经撤下，"
                          "时间没有修改。请再点击“手工校准”。")
        .arg(seconds(timeoutMs));
}

// Said when the time service gave up first: timedated waits for polkit only so long
// (25 s), answers that no reply came, and drops the request, so nothing is set from it.
// Its prompt stays open, though, and polkit keeps what is granted there for a few
// minutes: the next click then needs no password.
QString serviceGaveUpText(qint64 waitedMs)
{
    return QStringLiteral("系统时间服务等了约 %1 秒没有等到授权（管理员密码），已经不再等待，"
                          "时间没有修改。请再点击“手工校准”（如果已在授权窗口中输入了密码，"
                          "这次不会再要求输入）。")
        .arg(qRound64(waitedMs / 1000.0));
}

// Said when Horalis stops waiting: the request is still with timedated and polkit, and
// an approval given later is still carried out.
QString setTimeTimeoutText(int timeoutMs)
{
    return QStringLiteral("等待系统时间服务回应超过 %1 秒，本程序不再等待。如果授权窗口还在，"
                          "稍后在其中通过授权，时间仍会被校准到正确的时刻；取消授权则时间不变。")
        .arg(seconds(timeoutMs));
}

// Said when timedated still refuses, as its NTP service has not stopped yet although
// it has been told to.
QString stillStoppingText(int waitedMs)
{
    return QStringLiteral("自动时间同步已经关闭，但系统的时间同步服务等了 %1 秒还没有停下来，"
                          "时间没有修改。请稍等片刻，再校准一次。")
        .arg(seconds(waitedMs));
}

QString stopSyncTimeoutText(int timeoutMs)
{
    return QStringLiteral("等待系统时间服务回应超过 %1 秒，时间没有修改。如果稍后在授权窗口中"
                          "通过授权，自动时间同步会被关闭，但时间不会修改，请再校准一次。")
        .arg(seconds(timeoutMs));
}

// The one place that turns the service's D-Bus errors into words for the user. The
// texts follow "时间格式不对，" in the window's message box.
QString failureText(const QDBusError &error, qint64 waitedMs)
{
    const QString name = error.name();
    if (name == u"org.freedesktop.DBus.Error.InteractiveAuthorizationRequired" ||
        name == u"org.freedesktop.PolicyKit1.Error.InteractiveAuthorizationRequired")
        return noAgentText();
    if (name == u"org.freedesktop.DBus.Error.AccessDenied" ||
        name == u"org.freedesktop.PolicyKit1.Error.NotAuthorized" ||
        name == u"org.freedesktop.PolicyKit1.Error.Cancelled")
        return deniedText();
    if (name == kSyncEnabled)
        return QStringLiteral("系统开启了自动时间同步，不能手工修改时间。请先关闭自动同步"
                              "（在桌面的“日期和时间”设置中关闭自动设置时间，"
                              "或执行 timedatectl set-ntp false），再重试。");
    if (name == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == u"org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name == u"org.freedesktop.DBus.Error.NoServer" ||
        name == u"org.freedesktop.DBus.Error.Disconnected" ||
        name.startsWith(u"org.freedesktop.DBus.Error.Spawn."))
        return noServiceText();
    // Calls are sent with more time than Horalis waits for them, so this is the service
    // saying that it gave up, before Horalis's own bound.
    if (name == u"org.freedesktop.DBus.Error.NoReply" ||
        name == u"org.freedesktop.DBus.Error.Timeout" ||
        name == u"org.freedesktop.DBus.Error.TimedOut")
        return serviceGaveUpText(waitedMs);
    const QString said = error.message().isEmpty() ? name : error.message() + u'，' + name;
    return QStringLiteral("系统时间服务拒绝修改时间（%1）。").arg(said);
}

// An answer of polkit's, as the trace names it.
const char *answerName(PolkitAuthority::Answer answer)
{
    switch (answer) {
    case PolkitAuthority::Answer::Authorized:
        return "authorized";
    case PolkitAuthority::Answer::Challenge:
        return "a password is needed";
    case PolkitAuthority::Answer::Refused:
        return "refused";
    case PolkitAuthority::Answer::NoAgent:
        return "a password is needed, and no authentication agent can ask for it";
    case PolkitAuthority::Answer::TimedOut:
        return "no answer in time; the prompt was withdrawn";
    case PolkitAuthority::Answer::Stopped:
        return "polkitd stopped answering";
    case PolkitAuthority::Answer::Unavailable:
        return "cannot say (no polkitd, or the action is not installed)";
    case PolkitAuthority::Answer::Failed:
        return "an error";
    }
    return "?";
}

struct Outcome {
    bool timedOut = false; // the bound passed first; the call may still be carried out
    QDBusError error;      // invalid when the call succeeded
    qint64 waitedMs = 0;   // how long the answer took
};

// Sends a method call that may prompt for a password and waits for its answer, at most
// boundMs. Throws when there is no bus, and Abandoned when stopped meanwhile (the call
// stays with the service: a password prompt may still be answered).
Outcome callInteractive(QDBusConnection bus, const QString &method,
                        const QList<QVariant> &arguments, int boundMs, std::stop_token stop)
{
    if (stop.stop_requested())
        throw Abandoned();
    if (!bus.isConnected())
        throw RunTimeError(noServiceText());
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, method);
    call.setArguments(arguments);
    call.setInteractiveAuthorizationAllowed(true);
    QElapsedTimer waited;
    waited.start();
    qCDebug(lcTimedated).noquote() << "timedated" << method << arguments;
    const std::optional<QDBusMessage> reply =
        awaitReply(bus.asyncCall(call, boundMs + kReplySlackMs), boundMs, stop);
    if (stop.stop_requested()) {
        qCDebug(lcTimedated).noquote() << "timedated" << method << ": the window closed meanwhile";
        throw Abandoned();
    }
    if (!reply) {
        qCDebug(lcTimedated).noquote()
            << "timedated" << method << ": no answer in" << boundMs << "ms";
        return {true, {}, waited.elapsed()};
    }
    if (reply->type() == QDBusMessage::ErrorMessage) {
        qCDebug(lcTimedated).noquote()
            << "timedated" << method << "answered, after" << waited.elapsed()
            << "ms:" << reply->errorName() << traceQuoted(reply->errorMessage());
        return {false, QDBusError(*reply), waited.elapsed()};
    }
    qCDebug(lcTimedated).noquote()
        << "timedated" << method << "done, after" << waited.elapsed() << "ms";
    return {};
}

} // namespace

TimedatedService::TimedatedService(int timeoutMs, QString busAddress, int syncStopWaitMs)
    : m_timeoutMs(timeoutMs), m_syncStopWaitMs(syncStopWaitMs), m_busAddress(std::move(busAddress)),
      m_connectionName(QStringLiteral("horalis-time-service-%1").arg(quintptr(this)))
{
}

TimedatedService::~TimedatedService()
{
    if (!m_busAddress.isEmpty())
        QDBusConnection::disconnectFromBus(m_connectionName);
}

QDBusConnection TimedatedService::connection()
{
    // Connected only when first needed: most runs never get here.
    return m_busAddress.isEmpty() ? QDBusConnection::systemBus()
                                  : QDBusConnection::connectToBus(m_busAddress, m_connectionName);
}

std::optional<bool> TimedatedService::automaticSync(std::stop_token stop)
{
    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage get = QDBusMessage::createMethodCall(
        kService, kPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << kInterface << QStringLiteral("NTP");
    const std::optional<QDBusMessage> reply =
        awaitReply(bus.asyncCall(get, kQueryTimeoutMs), kQueryTimeoutMs, stop);
    if (!reply || reply->type() != QDBusMessage::ReplyMessage) {
        qCDebug(lcTimedated).noquote()
            << "timedated's NTP property:"
            << (reply ? reply->errorName() : QStringLiteral("no answer")) << "(taken as off)";
        return std::nullopt;
    }
    const QVariant value = reply->arguments().value(0).value<QDBusVariant>().variant();
    if (value.typeId() != QMetaType::Bool)
        return std::nullopt;
    qCDebug(lcTimedated).noquote()
        << "timedated's NTP property:" << (value.toBool() ? "on" : "off");
    return value.toBool();
}

namespace {

// What polkit's answer without a prompt means for what follows: true when a password is
// needed. A polkitd that is there but does not answer, or answers with an error, would
// leave timedated waiting on it too, and is said so. Otherwise (authorized already, a
// rule that says no, no polkitd) timedated decides, as it would without this step.
bool promptNeeded(PolkitAuthority::Answer held, const PolkitAuthority &polkit)
{
    switch (held) {
    case PolkitAuthority::Answer::Challenge:
        return true;
    case PolkitAuthority::Answer::Stopped:
        throw RunTimeError(polkitSilentText());
    case PolkitAuthority::Answer::Failed:
        throw RunTimeError(polkitFailedText(polkit.error()));
    case PolkitAuthority::Answer::Authorized:
    case PolkitAuthority::Answer::Refused:
    case PolkitAuthority::Answer::NoAgent:
    case PolkitAuthority::Answer::TimedOut:
    case PolkitAuthority::Answer::Unavailable:
        break;
    }
    return false;
}

// Throws what the user is told when the password prompt did not authorize what follows.
void requireGiven(PolkitAuthority::Answer given, const PolkitAuthority &polkit, int timeoutMs)
{
    switch (given) {
    case PolkitAuthority::Answer::Refused:
        throw RunTimeError(deniedText());
    case PolkitAuthority::Answer::NoAgent:
        throw RunTimeError(noAgentText());
    case PolkitAuthority::Answer::TimedOut:
        throw RunTimeError(authorizationTimeoutText(timeoutMs));
    case PolkitAuthority::Answer::Stopped:
        // No fallback to timedated's own prompt: that would be a second one, with its
        // 25 s limit, where polkitd has come back.
        throw RunTimeError(polkitStoppedText());
    case PolkitAuthority::Answer::Failed:
        throw RunTimeError(polkitFailedText(polkit.error()));
    case PolkitAuthority::Answer::Authorized:
    case PolkitAuthority::Answer::Challenge:
    case PolkitAuthority::Answer::Unavailable:
        // Unavailable: Horalis's action is not installed (run from the build tree), or
        // there is no polkitd. timedated then asks polkit for its own actions itself.
        break;
    }
}

} // namespace

void TimedatedService::authorize(const QStringList &actions, std::stop_token stop)
{
    if (stop.stop_requested())
        throw Abandoned();
    QDBusConnection bus = connection();
    if (!bus.isConnected())
        return; // the call that follows says there is no service
    // Never a prompt the system would not show: only when polkit says a password is
    // needed for what follows.
    PolkitAuthority polkit(bus);
    const PolkitAuthority::Answer held = polkit.check(actions, stop);
    qCDebug(lcTimedated).noquote()
        << "polkit, asked without a prompt for" << actions.join(u", ") << ":" << answerName(held)
        << (held == PolkitAuthority::Answer::Failed ? polkit.error().name() : QString());
    if (!promptNeeded(held, polkit))
        return;
    QElapsedTimer prompt;
    prompt.start();
    const PolkitAuthority::Answer given =
        polkit.obtain(QString::fromLatin1(PolkitAuthority::SetClockAction), m_timeoutMs, stop);
    qCDebug(lcTimedated).noquote()
        << "polkit, asked with a password prompt for" << PolkitAuthority::SetClockAction << ":"
        << answerName(given) << "after" << prompt.elapsed() << "ms"
        << (given == PolkitAuthority::Answer::Failed ? polkit.error().name() : QString());
    requireGiven(given, polkit, m_timeoutMs);
}

void TimedatedService::stopAutomaticSync(std::stop_token stop)
{
    // One prompt for the whole apply: the time is set right after, on the same
    // authorization.
    authorize({kSetNtpAction, kSetTimeAction}, stop);
    // SetNTP(use_ntp = false, interactive = true).
    const Outcome outcome =
        callInteractive(connection(), QStringLiteral("SetNTP"), {false, true}, m_timeoutMs, stop);
    if (outcome.timedOut)
        throw RunTimeError(stopSyncTimeoutText(m_timeoutMs));
    if (outcome.error.isValid())
        throw RunTimeError(failureText(outcome.error, outcome.waitedMs));
    m_syncJustStopped = true;
}

void TimedatedService::shiftTime(qint64 deltaUsec, std::stop_token stop)
{
    // SetTime(usec_utc = delta, relative = true, interactive = true): timedated adds the
    // delta to the clock as it stands when polkit says yes, so the seconds spent typing a
    // password are not lost, and an approval after Horalis stopped waiting is still right.
    // The same holds for every try below: the delta is relative, so it stays right.
    const bool justStopped = std::exchange(m_syncJustStopped, false);
    authorize({kSetTimeAction}, stop);
    QElapsedTimer stopping;
    stopping.start();
    for (;;) {
        const Outcome outcome = callInteractive(connection(), QStringLiteral("SetTime"),
                                                {deltaUsec, true, true}, m_timeoutMs, stop);
        if (outcome.timedOut)
            throw RunTimeError(setTimeTimeoutText(m_timeoutMs));
        if (!outcome.error.isValid())
            return;
        if (!justStopped || outcome.error.name() != kSyncEnabled)
            throw RunTimeError(failureText(outcome.error, outcome.waitedMs));
        // Right after SetNTP(false), timedated refuses with the same error as when
        // synchronisation is on until the NTP unit has stopped: wait that out, for a
        // while, and then say what is true.
        if (stopping.elapsed() >= m_syncStopWaitMs)
            throw RunTimeError(stillStoppingText(m_syncStopWaitMs));
        QEventLoop pause;
        runEvents(pause, kSyncStopRetryMs, stop);
    }
}

} // namespace horalis
