// Starts a window the way the program does and, when the window is first painted,
// prints CLOCK_MONOTONIC in nanoseconds and ends. Built twice: with Horalis's own
// window, and with a minimal Qt Widgets window as the baseline.
#include <QApplication>
#include <QEvent>
#include <QTimer>

#include <cstdio>
#include <ctime>

#ifdef PROBE_HORALIS
#include "program.h"
#else
#include <QLabel>
#include <QPushButton>
#endif

namespace {

class FirstPaint : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            timespec now{};
            clock_gettime(CLOCK_MONOTONIC, &now);
            std::printf("shown %lld\n",
                        static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec);
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    FirstPaint firstPaint;
#ifdef PROBE_HORALIS
    horalis::setUpApplication(app);
    horalis::Program program;
    program.window().installEventFilter(&firstPaint);
    program.window().showCentred();
#else
    QWidget window;
    window.setWindowTitle(QStringLiteral("Baseline"));
    window.setFixedSize(473, 274);
    // Chinese captions, like any window of a Chinese program: the cost of the CJK
    // font belongs to the baseline, not to Horalis.
    auto *label = new QLabel(QStringLiteral("当前时间："), &window);
    label->move(16, 16);
    auto *button = new QPushButton(QStringLiteral("关闭"), &window);
    button->setGeometry(328, 16, 129, 41);
    window.installEventFilter(&firstPaint);
    window.show();
#endif
    return QApplication::exec();
}
