#pragma once

#include <QDBusConnection>
#include <QDBusError>
#include <QString>
#include <QStringList>

#include <stop_token>

class QDBusMessage;

namespace horalis {

// polkit's authority (org.freedesktop.PolicyKit1) asked about this process, named by
// its connection's name on the system bus. That is the subject timedated checks when
// this process calls it over the same connection, so an authorization polkit keeps for
// it after a password prompt also passes timedated's checks, with no prompt of theirs.
class PolkitAuthority {
public:
    // Horalis's own action, installed with the package: an administrator's password,
    // kept for a while, and it implies timedated's set-time and set-ntp.
    static constexpr const char *SetClockAction = "io.github.horalis.horalis.set-clock";

    enum class Answer {
        Authorized,  // nothing to ask, or the prompt was answered
        Challenge,   // a password is needed
        Refused,     // no: the prompt was cancelled or the password refused, or a rule says no
        NoAgent,     // a password is needed, but nothing in the session can ask for it
        TimedOut,    // no answer within the bound; the prompt has been withdrawn
        Stopped,     // polkitd ended while asked (or, asked without a prompt, did not answer)
        Unavailable, // polkit cannot say: no polkitd, or the action is not installed
        Failed,      // polkitd answered with an error of another kind: see error()
    };

    explicit PolkitAuthority(QDBusConnection bus) : m_bus(bus) {}

    // Whether the process holds every one of the actions now, asking nobody: a rule of
    // the site, an authorization polkit still keeps, or root. Stops at the first that
    // is not Authorized. No answer within a few seconds is Stopped. Throws Abandoned
    // when stopped meanwhile.
    Answer check(const QStringList &actions, std::stop_token stop);
    // Asks for the action, letting polkit show a password prompt, and waits at most
    // boundMs. When the bound passes or a stop is requested, the prompt is withdrawn
    // (CancelCheckAuthorization), and a stop throws Abandoned.
    Answer obtain(const QString &action, int boundMs, std::stop_token stop);

    // polkit's error, after an answer that was Failed.
    const QDBusError &error() const { return m_error; }

private:
    // What polkit's error reply, or a reply of the wrong shape, means for what follows.
    Answer failure(const QDBusMessage &reply);

    QDBusConnection m_bus;
    QDBusError m_error;
};

} // namespace horalis
