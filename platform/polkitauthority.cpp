#include "polkitauthority.h"

#include "dbuswait.h"
#include "runtimeerror.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QMap>

#include <optional>

namespace horalis {

namespace {

const QString kService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");

constexpr uint kAllowUserInteraction = 1;
// An answer that needs no prompt: polkitd may first have to be started.
constexpr int kCheckBoundMs = 5'000;
// Withdrawing a prompt is sent as a blocking call, so that it has left before the
// program may end; polkitd answers at once, and the wait is kept short all the same
// (the program is closing). polkitd also withdraws the prompt of a process that ends.
constexpr int kCancelBoundMs = 250;

struct Result {
    bool authorized = false;
    bool challenge = false;
};

// CheckAuthorization(subject, action, details, flags, cancellation id) for this process.
QDBusMessage checkCall(const QString &busName, const QString &action, uint flags,
                       const QString &cancellationId)
{
    // The subject (sa{sv}): this process, by its name on the bus.
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name");
    subject.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    subject.beginMapEntry();
    subject << QStringLiteral("name") << QDBusVariant(busName);
    subject.endMapEntry();
    subject.endMap();
    subject.endStructure();
    // No details (a{ss}): polkit lets only privileged callers pass any.
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();

    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface,
                                                       QStringLiteral("CheckAuthorization"));
    call << QVariant::fromValue(subject) << action << QVariant::fromValue(details) << flags
         << cancellationId;
    return call;
}

// The (bba{ss}) answer; nothing when the reply is an error or not of that shape.
std::optional<Result> resultOf(const QDBusMessage &reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1)
        return std::nullopt;
    const QDBusArgument answer = reply.arguments().constFirst().value<QDBusArgument>();
    if (answer.currentSignature() != u"(bba{ss})")
        return std::nullopt;
    Result result;
    QMap<QString, QString> details;
    answer.beginStructure();
    answer >> result.authorized >> result.challenge >> details;
    answer.endStructure();
    return result;
}

QString newCancellationId()
{
    static int count = 0;
    return QStringLiteral("horalis-%1-%2").arg(QCoreApplication::applicationPid()).arg(++count);
}

} // namespace

PolkitAuthority::Answer PolkitAuthority::failure(const QDBusMessage &reply)
{
    const QString name = reply.errorName();
    // polkitd ended while the question was pending (it crashed, or was restarted as its
    // package was upgraded): the bus answers for it at once that no reply will come. Or
    // this process's own connection to the bus dropped. Nothing was refused, and nothing
    // its prompt might still show can count any more.
    if (name == u"org.freedesktop.DBus.Error.NoReply" ||
        name == u"org.freedesktop.DBus.Error.Disconnected")
        return Answer::Stopped;
    // No polkitd at all, nor one that can be started; or polkitd does not know the action
    // (not installed: run from the build tree), which it says before any prompt.
    if (name == u"org.freedesktop.DBus.Error.ServiceUnknown" ||
        name == u"org.freedesktop.DBus.Error.NameHasNoOwner" ||
        name.startsWith(u"org.freedesktop.DBus.Error.Spawn.") ||
        name.startsWith(u"org.freedesktop.systemd1.") ||
        (name == u"org.freedesktop.PolicyKit1.Error.Failed" &&
         reply.errorMessage().contains(u"is not registered")))
        return Answer::Unavailable;
    // Cancelled by someone else than Horalis: as good as a cancelled prompt.
    if (name == u"org.freedesktop.PolicyKit1.Error.Cancelled")
        return Answer::Refused;
    m_error = reply.type() == QDBusMessage::ErrorMessage
                  ? QDBusError(reply)
                  : QDBusError(QDBusError::InvalidSignature,
                               QStringLiteral("(%1)").arg(reply.signature()));
    return Answer::Failed;
}

PolkitAuthority::Answer PolkitAuthority::check(const QStringList &actions, std::stop_token stop)
{
    for (const QString &action : actions) {
        // Sent with more time than Horalis waits, as every call is: a reply that says no
        // reply came is then the bus's word that polkitd ended.
        const std::optional<QDBusMessage> reply =
            awaitReply(m_bus.asyncCall(checkCall(m_bus.baseService(), action, 0, {}),
                                       kCheckBoundMs + kReplySlackMs),
                       kCheckBoundMs, stop);
        if (stop.stop_requested())
            throw Abandoned();
        // A polkitd that runs and does not answer a question that needs no prompt is
        // as good as gone (and timedated would wait on it in vain).
        if (!reply)
            return Answer::Stopped;
        const std::optional<Result> result = resultOf(*reply);
        if (!result)
            return failure(*reply);
        if (!result->authorized)
            return result->challenge ? Answer::Challenge : Answer::Refused;
    }
    return Answer::Authorized;
}

PolkitAuthority::Answer PolkitAuthority::obtain(const QString &action, int boundMs,
                                                std::stop_token stop)
{
    const QString id = newCancellationId();
    // Sent with more time than Horalis waits: its own bound ends the wait, and then the
    // prompt is withdrawn rather than left to polkit.
    const std::optional<QDBusMessage> reply = awaitReply(
        m_bus.asyncCall(checkCall(m_bus.baseService(), action, kAllowUserInteraction, id),
                        boundMs + kReplySlackMs),
        boundMs, stop);
    if (!reply || stop.stop_requested()) {
        QDBusMessage cancel = QDBusMessage::createMethodCall(
            kService, kPath, kInterface, QStringLiteral("CancelCheckAuthorization"));
        cancel << id;
        m_bus.call(cancel, QDBus::Block, kCancelBoundMs);
        if (stop.stop_requested())
            throw Abandoned();
        return Answer::TimedOut;
    }
    const std::optional<Result> result = resultOf(*reply);
    if (!result)
        return failure(*reply);
    if (result->authorized)
        return Answer::Authorized;
    // Still a challenge after one was allowed: polkit found no agent to put it to.
    return result->challenge ? Answer::NoAgent : Answer::Refused;
}

} // namespace horalis
