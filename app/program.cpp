#include "program.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace horalis {

void setUpApplication(QApplication &app)
{
    // The application name is the title of message boxes that have none of their own.
    // The desktop file name is the installed entry's, the application's id, by which a
    // Wayland desktop ties the window to its menu entry and icon.
    QApplication::setApplicationName(QStringLiteral("Horalis"));
    QApplication::setDesktopFileName(QStringLiteral("io.github.horalis.horalis"));

    auto *qtTexts = new QTranslator(&app);
    if (qtTexts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                      QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(qtTexts);
}

Program::Program() : m_window({m_clock, m_messages, m_pointer})
{
    m_messages.setParentWidget(&m_window);
}

} // namespace horalis
