#include "program.h"

#include "daytimeconfig.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QTranslator>

namespace horalis {

void setUpApplication(QCoreApplication &app)
{
    // The application name is the title of message boxes that have none of their own;
    // with the version, it is what --version prints.
    QCoreApplication::setApplicationName(QStringLiteral("Horalis"));
    QCoreApplication::setApplicationVersion(QStringLiteral(HORALIS_VERSION));

    auto *qtTexts = new QTranslator(&app);
    if (qtTexts->load(QLocale(QLocale::Chinese, QLocale::China), QStringLiteral("qtbase"),
                      QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(qtTexts);
}

Program::Program() : m_window({m_clock, m_messages, m_pointer})
{
    m_messages.setParentWidget(&m_window);
}

} // namespace horalis
