#include "commandline.h"

#include "daytimeconfig.h"

#include <QCommandLineParser>

namespace horalis {

QStringList argumentsOf(int argc, char **argv)
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

namespace {

// The NTP servers asked when neither Daytime server gives a time; none when the build
// has none.
QString ntpSentence()
{
    const QStringList hosts = QStringLiteral(HORALIS_NTP_HOSTS).split(u';', Qt::SkipEmptyParts);
    if (hosts.isEmpty())
        return {};
    return QStringLiteral("两台都没有给出时间时，再依次问 NTP 服务器 %1（SNTP，UDP 端口 %2）。")
        .arg(hosts.join(u"、"))
        .arg(HORALIS_NTP_PORT);
}

} // namespace

void describeCommandLine(QCommandLineParser &parser)
{
    parser.setApplicationDescription(
        QStringLiteral("手工录入或按网络标准时间校准本机时钟。\n"
                       "\n"
                       "网络时间取自 Daytime 服务器（RFC 867，TCP 端口 %3）：先问 %1（北京时间），"
                       "它没有给出时间时改问 %2（NIST 格式，UTC）。%4\n"
                       "\n"
                       "环境变量：\n"
                       "  QT_LOGGING_RULES=\"horalis.*.debug=true\"\n"
                       "      在标准错误输出中记录每次查询、算出的时间和设置时钟的经过\n"
                       "  TZ  输入框和提示中的当地时间所用的时区")
            .arg(QStringLiteral(HORALIS_PRIMARY_HOST), QStringLiteral(HORALIS_SECONDARY_HOST))
            .arg(HORALIS_DAYTIME_PORT)
            .arg(ntpSentence()));
    parser.addHelpOption();
    parser.addVersionOption();
}

QString askedWithoutWindow(const QStringList &arguments)
{
    QCommandLineParser parser;
    describeCommandLine(parser);
    // Options not known yet (Qt's own) are no error here: only what is asked matters.
    parser.parse(arguments);
    for (const QString &option :
         {QStringLiteral("version"), QStringLiteral("help"), QStringLiteral("help-all")}) {
        if (parser.isSet(option))
            return QStringLiteral("--") + option;
    }
    return {};
}

} // namespace horalis
