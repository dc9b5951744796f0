#pragma once

#include "networktime.h"

#include <QHash>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <stop_token>
#include <utility>

namespace horalis {

// Where the Daytime time comes from. The program uses the servers fixed at build
// time; tests point it at servers of their own.
struct DaytimeServers {
    QString primaryHost;   // answers in Beijing time, "YYYY-MM-DD HH:MM:SS"
    QString secondaryHost; // answers in UTC, in the NIST layout
    quint16 port = 13;
    int queryTimeoutMs = 5000; // a query that gets no reply by then has failed
    // NIST refuses a client that connects to one of its servers more often than once
    // every 4 seconds; the secondary is never asked sooner after it last saw us.
    int secondarySpacingMs = 4000;
    // A host's next address is tried when the one before has not connected by then.
    int attemptDelayMs = 250;
    // Addresses to use for a name instead of asking the resolver (tests).
    QHash<QString, QList<QHostAddress>> addresses;

    // The servers fixed at build time (CMake cache variables).
    static DaytimeServers builtIn();
};

// The two layouts a Daytime server answers in, one per server.
enum class DaytimeLayout {
    Primary, // the primary's Beijing time, "YYYY-MM-DD HH:MM:SS"
    Nist,    // the secondary's NIST line, in UTC, with its health digit
};

// How a layout's replies are read (in the client's source).
struct DaytimeLayoutRules;

// Asks one Daytime server for the time, twice: the first reply bounds the server's
// clock to a second, the second is timed to split that second. Every wait runs the
// event loop, so the window stays responsive.
class DaytimeClient : public QObject {
    Q_OBJECT
public:
    // bootMs reads CLOCK_BOOTTIME in milliseconds; the instant found is tied to it.
    DaytimeClient(DaytimeServers servers, std::function<qint64()> bootMs,
                  QObject *parent = nullptr);
    ~DaytimeClient() override;

    // Asks the server of the layout. A stop requested meanwhile ends the fetch at once,
    // wherever it waits: it returns Cancelled. A primary that gives no time (no reply,
    // or one that is not a time) returns Failed with no message.
    FetchResult fetch(DaytimeLayout layout, std::stop_token stop = {});
    FetchResult askPrimary(std::stop_token stop = {})
    {
        return fetch(DaytimeLayout::Primary, std::move(stop));
    }
    FetchResult askSecondary(std::stop_token stop = {})
    {
        return fetch(DaytimeLayout::Nist, std::move(stop));
    }

private:
    // One query at a time: its sockets, its waits and its state.
    class Query;
    // The two queries of one server, read by the rules of its layout.
    FetchResult ask(const DaytimeLayoutRules &rules);
    // The earliest moment the server of the rules may be asked.
    qint64 dueMs(const DaytimeLayoutRules &rules) const;

    DaytimeServers m_servers;
    std::function<qint64()> m_bootMs;
    std::unique_ptr<Query> m_query;
    qint64 m_secondaryLastMs = -1; // boot clock when the secondary last saw us
};

} // namespace horalis
