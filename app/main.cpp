#include <QApplication>
#include <QWidget>
#include <cstring>

#include "findcommand.h"

int main(int argc, char** argv)
{
    // The terminal search runs before any window system is touched.
    if (argc > 1 && std::strcmp(argv[1], "--find") == 0)
        return fotarik::search::runFindCommand(argc, argv);

    QApplication app(argc, argv);
    QWidget w;
    w.setWindowTitle(QStringLiteral("The Fotarik"));
    w.show();
    return app.exec();
}
