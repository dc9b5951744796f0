// Network fetch benchmark, run against Daytime servers on loopback:
//  (a) time from the click on Command2 to the result line, both servers answering
//      the way the primary does (two connections);
//  (b) the longest delay in handling an input event queued while the fetch waits on
//      a silent server.
// Each is measured with the program's waiting event pump and, as the baseline, with
// a pump that sleeps 55 ms per pass.
#include "daytimeserver.h"
#include "fakes.h"
#include "form1.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QThread>

#include <algorithm>
#include <atomic>
#include <cstdio>

using namespace horalis;
using namespace horalis::test;

namespace {

const QHostAddress Loopback(QStringLiteral("127.0.0.2"));

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// An input event that carries the moment it was queued.
class StampedEvent : public QEvent {
public:
    static inline const Type Kind = Type(QEvent::registerEventType());
    explicit StampedEvent(qint64 queuedNs) : QEvent(Kind), queuedNs(queuedNs) {}
    qint64 queuedNs;
};

// Handles the stamped events on the window's thread and keeps the longest delay.
class DelayRecorder : public QObject {
public:
    explicit DelayRecorder(const QElapsedTimer &clock) : m_clock(clock) {}
    double longestMs = 0;
    int handled = 0;

protected:
    bool event(QEvent *event) override
    {
        if (event->type() != StampedEvent::Kind)
            return QObject::event(event);
        const auto *stamped = static_cast<StampedEvent *>(event);
        longestMs = std::max(longestMs, (m_clock.nsecsElapsed() - stamped->queuedNs) / 1e6);
        ++handled;
        return true;
    }

private:
    const QElapsedTimer &m_clock;
};

// A fresh window (nothing fetched yet) over fake clock, boxes and pointer.
struct BenchWindow {
    BenchWindow(EventPump &pump, const DaytimeServers &servers)
        : form(PlatformServices{clock, messages, pointer, pump}, servers)
    {
    }
    FakeClock clock;
    RecordingMessageBoxes messages;
    RecordingPointer pointer;
    Form1 form;
};

double fetchOnceMs(EventPump &pump, const DaytimeServers &servers)
{
    BenchWindow window(pump, servers);
    Form1 &form = window.form;
    QElapsedTimer elapsed;
    elapsed.start();
    form.Command2->click();
    const double ms = elapsed.nsecsElapsed() / 1e6;
    if (!form.c1->toPlainText().startsWith(QStringLiteral("标准时间： 2026")))
        qFatal("fetch failed: %s", qPrintable(form.c1->toPlainText()));
    return ms;
}

double longestInputDelayMs(EventPump &pump, const DaytimeServers &servers)
{
    BenchWindow window(pump, servers);
    QElapsedTimer stamps;
    stamps.start();
    DelayRecorder recorder(stamps);

    // Input arrives from outside the window's thread, every 7 ms, as a user's would.
    std::atomic<bool> stop = false;
    QThread *source = QThread::create([&] {
        while (!stop) {
            QCoreApplication::postEvent(&recorder, new StampedEvent(stamps.nsecsElapsed()));
            QThread::msleep(7);
        }
    });
    source->start();
    window.form.Command2->click(); // waits on the silent primary until its time-out
    stop = true;
    source->wait();
    delete source;
    QCoreApplication::sendPostedEvents(&recorder);
    if (recorder.handled < 20)
        qFatal("too few input events handled: %d", recorder.handled);
    return recorder.longestMs;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    const int runs = argc > 1 ? std::max(5, atoi(argv[1])) : 20;

    const QByteArray reply = "2026-12-07 15:39:29\r\n";
    DaytimeServer answering(DaytimeServer::Answers, reply);
    DaytimeServer silent(DaytimeServer::Silent);
    if (!answering.listen(Loopback) || !silent.listen(QHostAddress(QStringLiteral("127.0.0.3"))))
        qFatal("cannot listen on loopback");
    // The secondary address refuses on the answering server's port, so (b) ends
    // quickly after the primary's time-out.
    const DaytimeServers fast{Loopback.toString(), QStringLiteral("127.0.0.4"), answering.port(),
                              5000};
    const DaytimeServers stalled{QStringLiteral("127.0.0.3"), QStringLiteral("127.0.0.4"),
                                 silent.port(), 700};

    WaitingEventPump waiting;
    SleepingEventPump sleeping;
    struct Result {
        const char *name;
        EventPump &pump;
        QList<double> fetchMs, delayMs;
    } results[] = {{"waiting pump (program)", waiting, {}, {}},
                   {"sleeping pump (55 ms)", sleeping, {}, {}}};

    for (int i = 0; i < runs; ++i)
        for (Result &r : results)
            r.fetchMs << fetchOnceMs(r.pump, fast);
    for (int i = 0; i < 5; ++i)
        for (Result &r : results)
            r.delayMs << longestInputDelayMs(r.pump, stalled);

    std::printf("fetch runs: %d, input-delay runs: 5 (median of each run's longest delay)\n", runs);
    std::printf("%-24s %22s %26s\n", "", "(a) median fetch ms", "(b) longest input delay ms");
    for (const Result &r : results)
        std::printf("%-24s %22.2f %26.2f\n", r.name, median(r.fetchMs), median(r.delayMs));
    const double a = median(results[0].fetchMs), b = median(results[0].delayMs);
    std::printf("goals: (a) <= 15 ms: %s, (b) <= 20 ms: %s\n", a <= 15 ? "met" : "MISSED",
                b <= 20 ? "met" : "MISSED");
    return a <= 15 && b <= 20 ? 0 : 1;
}
