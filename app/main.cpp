#include "commandline.h"
#include "program.h"

#include <QApplication>
#include <QCommandLineParser>

int main(int argc, char *argv[])
{
    // The help and the version need no window: Qt Core answers them, where a
    // QApplication would need a display first. Qt's parser prints the answer and ends the
    // program; it is given just what was asked, so that an option only QApplication knows
    // (-platform) is no error.
    const QStringList arguments = horalis::argumentsOf(argc, argv);
    if (const QString asked = horalis::askedWithoutWindow(arguments); !asked.isEmpty()) {
        QCoreApplication app(argc, argv);
        horalis::setUpApplication(app);
        // Qt words its own options (--help, --version) as they are added: only once its
        // Chinese texts are loaded.
        QCommandLineParser parser;
        horalis::describeCommandLine(parser);
        parser.process({arguments.value(0), asked});
        return 0;
    }
    QApplication app(argc, argv);
    horalis::setUpApplication(app);
    // The installed desktop entry's name, the application's id, by which a Wayland
    // desktop ties the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.horalis.horalis"));
    // QApplication has taken out Qt's own options; anything left is refused, in Chinese.
    QCommandLineParser parser;
    horalis::describeCommandLine(parser);
    parser.process(app);
    horalis::Program program;
    program.window().showCentred();
    return QApplication::exec();
}
