#include "program.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    horalis::setUpApplication(app);
    horalis::Program program;
    program.window().showCentred();
    return QApplication::exec();
}
