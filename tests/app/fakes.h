#pragma once

#include "clock.h"
#include "messageboxes.h"
#include "pointer.h"
#include "runtimeerror.h"
#include "services.h"

#include <QList>
#include <QStringList>

#include <ctime>
#include <functional>
#include <optional>

namespace horalis::test {

// A clock that moves only when told to, and records what the window does to it.
class FakeClock : public Clock {
public:
    QDateTime current = QDateTime(QDate(2026, 12, 7), QTime(9, 5, 7));
    qint64 advancePerReadingMs = 0;
    qint64 boot = 1'000'000;        // the boot clock, unless it follows the machine's
    bool followMachineBoot = false; // read the machine's CLOCK_BOOTTIME instead (never set)
    qint64 bootShiftMs = 0;         // added to the machine's reading: time spent asleep
    qint64 earliestMs = 0; // the first settable instant (CLOCK_MONOTONIC on a real machine)
    bool syncOn = false;
    QStringList writes;            // "stop sync" / "set <UTC, ISO with ms>", in call order
    std::optional<QString> refuse; // setInstant throws this description instead of setting
    // Run inside the calls that wait on the system, as the events a wait runs would:
    // asking timedated whether sync is on, switching it off, a password prompt. The
    // first two answer as the system did just as the window closed; a stop requested
    // during the prompt abandons it, as the real clock does. The window must check.
    std::function<void()> whileCheckingSync, whileStoppingSync, whileSetting;

    QDateTime now() override
    {
        const QDateTime reading = current;
        current = current.addMSecs(advancePerReadingMs);
        return reading;
    }
    qint64 boottimeMs() override
    {
        if (!followMachineBoot)
            return boot;
        timespec ts{};
        clock_gettime(CLOCK_BOOTTIME, &ts);
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1'000'000 + bootShiftMs;
    }
    qint64 earliestSettableMs() override { return earliestMs; }
    bool automaticSyncOn(std::stop_token stop) override
    {
        if (whileCheckingSync)
            whileCheckingSync();
        return !stop.stop_requested() && syncOn; // no answer counts as off
    }
    void stopAutomaticSync(std::stop_token) override
    {
        writes << QStringLiteral("stop sync");
        if (whileStoppingSync)
            whileStoppingSync();
        syncOn = false;
    }
    void setInstant(Instant target, std::stop_token stop) override
    {
        if (whileSetting) {
            whileSetting();
            if (stop.stop_requested())
                throw Abandoned();
        }
        if (refuse)
            throw RunTimeError(*refuse);
        // As the real clock does: the instant as of the moment it lands, range checked.
        const qint64 utcMs = target.at(boottimeMs());
        requireSettable(utcMs, earliestMs);
        writes << QStringLiteral("set ") +
                      QDateTime::fromMSecsSinceEpoch(utcMs).toUTC().toString(Qt::ISODateWithMs);
        current = QDateTime::fromMSecsSinceEpoch(utcMs);
    }
};

struct ShownBox {
    QString text;
    int flags;
    QString title;
};

struct AskedQuestion {
    QString text;
    QString title;
};

// Records every message box instead of showing it, and answers questions as scripted.
class RecordingMessageBoxes : public MessageBoxes {
public:
    QList<ShownBox> shown;
    QList<AskedQuestion> asked;
    bool answerYes = true;

    void show(const QString &text, MessageFlags flags, const QString &title) override
    {
        shown.append({text, flags, title});
    }
    std::function<void()> whileAsking; // runs before the answer, like a user thinking
    bool ask(const QString &text, const QString &title) override
    {
        asked.append({text, title});
        if (whileAsking)
            whileAsking();
        return answerYes;
    }
};

class RecordingPointer : public MousePointer {
public:
    QList<int> history; // each PointerState set, in order
    int current() const { return history.isEmpty() ? PointerDefault : history.last(); }
    void set(PointerState state) override { history.append(state); }
};

} // namespace horalis::test
