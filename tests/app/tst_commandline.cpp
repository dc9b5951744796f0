// The program's command line, run as a user runs it: the help and the version are
// answered on standard output with no display there, and open no window.
#include "daytimeconfig.h"

#include <QProcess>
#include <QTest>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
};

void TestCommandLine::answersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("said"); // each must be in standard output

    const QStringList version{QStringLiteral("Horalis " HORALIS_VERSION "\n")};
    // What this build asks, and how to see its trace.
    const QStringList help{QStringLiteral(HORALIS_PRIMARY_HOST),
                           QStringLiteral(HORALIS_SECONDARY_HOST),
                           QStringLiteral("TCP 端口 %1").arg(HORALIS_DAYTIME_PORT), "--version",
                           "QT_LOGGING_RULES=\"horalis.*.debug=true\""};
    QTest::newRow("--version") << QStringList{"--version"} << version;
    QTest::newRow("-v") << QStringList{"-v"} << version;
    QTest::newRow("--help") << QStringList{"--help"} << help;
    QTest::newRow("-h") << QStringList{"-h"} << help;
    QTest::newRow("--help-all") << QStringList{"--help-all"} << help;
    QTest::newRow("--help before an option it does not know")
        << QStringList{"--help", "--no-such-option"} << help;
    // Qt's own option for a display is no reason to open one.
    QTest::newRow("-platform xcb, then --version")
        << QStringList{"-platform", "xcb", "--version"} << version;
}

void TestCommandLine::answersWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, said);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(display));
    QProcess program;
    program.setProcessEnvironment(environment);
    program.start(QStringLiteral(HORALIS_PROGRAM), arguments);
    QVERIFY2(program.waitForFinished(60'000), "the program did not end");
    const QString out = QString::fromUtf8(program.readAllStandardOutput());
    const QByteArray err = program.readAllStandardError();
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QVERIFY2(program.exitCode() == 0, err.constData());
    QVERIFY2(err.isEmpty(), err.constData());
    for (const QString &text : said)
        QVERIFY2(out.contains(text), qPrintable(out));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
