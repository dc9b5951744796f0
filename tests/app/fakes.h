#pragma once

#include "runtimeerror.h"
#include "services.h"

#include <QList>
#include <QStringList>

#include <functional>

#include <optional>

namespace horalis::test {

// A clock that moves only when told to, and records what the window writes to it.
class FakeClock : public Clock {
public:
    QDateTime current = QDateTime(QDate(2026, 12, 7), QTime(9, 5, 7));
    qint64 advancePerReadingMs = 0;
    qint64 monotonic = 1'000'000;
    QStringList writes;                // "time HH:mm:ss" / "date yyyy-MM-dd", in call order
    std::optional<QString> refuseTime; // throw this description instead of setting
    std::optional<QString> refuseDate;
    std::function<void()> whileSettingTime; // runs inside setTimeOfDay, like a wait would

    QDateTime now() override
    {
        const QDateTime reading = current;
        current = current.addMSecs(advancePerReadingMs);
        return reading;
    }
    qint64 monotonicMs() override { return monotonic; }
    void setTimeOfDay(QTime time) override
    {
        if (whileSettingTime)
            whileSettingTime();
        if (refuseTime)
            throw RunTimeError(*refuseTime);
        writes << QStringLiteral("time ") + time.toString(QStringLiteral("HH:mm:ss"));
        current = QDateTime(current.date(), time);
    }
    void setDate(QDate date) override
    {
        if (refuseDate)
            throw RunTimeError(*refuseDate);
        writes << QStringLiteral("date ") + date.toString(Qt::ISODate);
        current = QDateTime(date, current.time());
    }
};

struct ShownBox {
    QString text;
    int flags;
    QString title;
};

// Records every message box instead of showing it.
class RecordingMessageBoxes : public MessageBoxes {
public:
    QList<ShownBox> shown;
    void show(const QString &text, int flags, const QString &title) override
    {
        shown.append({text, flags, title});
    }
};

class RecordingPointer : public MousePointer {
public:
    QList<int> history;
    int current() const { return history.isEmpty() ? 0 : history.last(); }
    void set(int number) override { history.append(number); }
};

} // namespace horalis::test
