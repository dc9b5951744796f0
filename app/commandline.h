#pragma once

#include <QStringList>

class QCommandLineParser;

namespace horalis {

// The command line. The window takes no arguments; -h/--help (--help-all with Qt's own
// options) and -v/--version are answered on standard output, with Qt Core alone: without
// a display, and without opening one.

// The arguments as the C library gives them (the program's name first), decoded as
// QCoreApplication decodes them.
QStringList argumentsOf(int argc, char **argv);

// What the arguments ask for that needs no window: "--version", "--help" or "--help-all"
// (as Qt's parser answers them, in that order, whatever else is there), or "" when the
// window is to open. Everything else is for QApplication (Qt's own options: -platform,
// -style, ...) and then for describeCommandLine's parser, which refuses what is left.
QString askedWithoutWindow(const QStringList &arguments);

// Horalis's options and what --help says beside them: what it does, the Daytime servers
// and port this build asks, and the environment variables that matter. Qt words its own
// options' descriptions when they are added: call it after setUpApplication has loaded
// Qt's Chinese texts, or they stay English.
void describeCommandLine(QCommandLineParser &parser);

} // namespace horalis
