// The program's command line, run as a user runs it: the help and the version are
// answered on standard output with no display there, and open no window.
#include "daytimeconfig.h"

#include <QLibraryInfo>
#include <QProcess>
#include <QTest>
#include <QTranslator>

#include <locale.h>

class TestCommandLine : public QObject {
    Q_OBJECT

private slots:
    void answersWithoutADisplay_data();
    void answersWithoutADisplay();
};

namespace {

// Qt's translations of its parser's texts, read from its own catalogue: what Qt's zh_CN
// texts say, in whatever wording the installed Qt has. Empty where they are not installed.
QString qtChinese(const char *source)
{
    QTranslator qt;
    if (!qt.load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                 QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return {};
    return qt.translate("QCommandLineParser", source);
}

// What --help says of the NTP servers: their names and port, when the build has any.
QStringList ntpHelp()
{
    const QStringList hosts = QStringLiteral(HORALIS_NTP_HOSTS).split(u';', Qt::SkipEmptyParts);
    if (hosts.isEmpty())
        return {};
    return {QStringLiteral("NTP 服务器 %1（SNTP，UDP 端口 %2）")
                .arg(hosts.join(u"、"))
                .arg(HORALIS_NTP_PORT)};
}

// Whether the C library can load the locale, without changing the process's own.
bool localeInstalled(const QByteArray &name)
{
    const locale_t loaded = newlocale(LC_ALL_MASK, name.constData(), locale_t(nullptr));
    if (loaded)
        freelocale(loaded);
    return loaded != locale_t(nullptr);
}

} // namespace

void TestCommandLine::answersWithoutADisplay_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("locale");   // LANG and LC_ALL of the run; "" leaves them as they are
    QTest::addColumn<QStringList>("said"); // each must be in standard output
    // Each must be a line of standard output: the option's names, then its description,
    // however wide the gap between them.
    QTest::addColumn<QStringList>("optionLines");
    QTest::addColumn<QStringList>("unsaid"); // none may be in standard output

    const QStringList version{QStringLiteral("Horalis " HORALIS_VERSION "\n")};
    // What this build asks, and how to see its trace.
    const QStringList help =
        QStringList{QStringLiteral(HORALIS_PRIMARY_HOST), QStringLiteral(HORALIS_SECONDARY_HOST),
                    QStringLiteral("TCP 端口 %1").arg(HORALIS_DAYTIME_PORT), "--version",
                    "QT_LOGGING_RULES=\"horalis.*.debug=true\""} +
        ntpHelp();
    const QStringList none;
    QTest::newRow("--version") << QStringList{"--version"} << QString() << version << none << none;
    QTest::newRow("-v") << QStringList{"-v"} << QString() << version << none << none;
    QTest::newRow("--help") << QStringList{"--help"} << QString() << help << none << none;
    QTest::newRow("-h") << QStringList{"-h"} << QString() << help << none << none;
    QTest::newRow("--help-all") << QStringList{"--help-all"} << QString() << help << none << none;
    QTest::newRow("--help before an option it does not know")
        << QStringList{"--help", "--no-such-option"} << QString() << help << none << none;
    // Qt's own option for a display is no reason to open one.
    QTest::newRow("-platform xcb, then --version")
        << QStringList{"-platform", "xcb", "--version"} << QString() << version << none << none;

    // Qt's own options described in Chinese, like the rest of the help, whatever the
    // locale: the program's texts are Chinese only.
    // (--help-all's own line is left out: its English source changed in Qt 6.5, and the
    // Chinese catalogue of some Qt releases has no translation of the new one.)
    const char *const helpText = "Displays help on commandline options.";
    const char *const versionText = "Displays version information.";
    const QStringList chineseLines{QStringLiteral("-h, --help ") + qtChinese(helpText),
                                   QStringLiteral("-v, --version ") + qtChinese(versionText)};
    const QStringList english{QString::fromLatin1(helpText), QString::fromLatin1(versionText)};
    QTest::newRow("--help, Qt's options in Chinese under zh_CN")
        << QStringList{"--help"} << QStringLiteral("zh_CN.UTF-8") << help << chineseLines
        << english;
    QTest::newRow("--help, Qt's options in Chinese under C")
        << QStringList{"--help"} << QStringLiteral("C.UTF-8") << help << chineseLines << english;
    QTest::newRow("--help-all, Qt's options in Chinese")
        << QStringList{"--help-all"} << QStringLiteral("C.UTF-8") << help << chineseLines
        << english;
}

void TestCommandLine::answersWithoutADisplay()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, locale);
    QFETCH(QStringList, said);
    QFETCH(QStringList, optionLines);
    QFETCH(QStringList, unsaid);
    // Qt's texts come with Qt's translations, a package of their own (the program's
    // package recommends it).
    if (!locale.isEmpty() && qtChinese("Displays version information.").isEmpty())
        QSKIP("Qt's Chinese texts (qt6-translations-l10n) are not installed");
    // A build root has C.UTF-8 alone: under a locale the C library does not have, Qt
    // warns of a locale that is not UTF-8 before the program says a word.
    if (!locale.isEmpty() && !localeInstalled(locale.toLatin1()))
        QSKIP(qPrintable(locale + QStringLiteral(" is not installed here (locale -a)")));
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char *display : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(display));
    if (!locale.isEmpty()) {
        environment.insert(QStringLiteral("LANG"), locale);
        environment.insert(QStringLiteral("LC_ALL"), locale);
        environment.remove(QStringLiteral("LANGUAGE"));
    }
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
    QStringList lines;
    for (const QString &line : out.split(u'\n'))
        lines << line.simplified();
    for (const QString &line : optionLines)
        QVERIFY2(lines.contains(line),
                 qPrintable(QStringLiteral("no line \"%1\" in:\n%2").arg(line, out)));
    for (const QString &text : unsaid)
        QVERIFY2(!out.contains(text), qPrintable(out));
}

QTEST_GUILESS_MAIN(TestCommandLine)
#include "tst_commandline.moc"
