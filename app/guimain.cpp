#include <QApplication>
#include <cstdio>
#include <cstring>

#include "commandline.h"
#include "decoderworker.h"
#include "fonts.h"
#include "qmessageboxseam.h"
#include "suche.h"
#include "thumbnailcommand.h"

// The program's main for everything but --find (see app/main.cpp).
extern "C" __attribute__((visibility("default"))) int fotarik_gui_main(int argc, char** argv)
{
    // A decoder worker is this binary started again; it never comes back from here.
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    // The terminal mode runs before any window system is touched.
    if (argc > 1 && std::strcmp(argv[1], "--thumbnail") == 0)
        return fotarik::runThumbnailCommand(argc, argv);

    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const fotarik::CommandLine commandLine = fotarik::parseCommandLine(arguments);
    if (commandLine.mode == fotarik::CommandLine::Mode::Help) {
        std::fputs(fotarik::usageText().toUtf8().constData(), stdout);
        return 0;
    }
    if (commandLine.mode == fotarik::CommandLine::Mode::UsageError) {
        std::fputs(fotarik::usageErrorText(commandLine).toUtf8().constData(), stderr);
        return 2;
    }
    if (commandLine.mode == fotarik::CommandLine::Mode::Version) {
        std::printf("fotarik %s\n", FOTARIK_VERSION);
        return 0;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fotarik"));
    // Ties the windows to the installed desktop entry (its name and icon in task bars).
    QGuiApplication::setDesktopFileName(QStringLiteral("org.fotarik.fotarik"));
    fotarik::installMessageBoxSeam();
    fotarik::registerFontSubstitutions();
    // The start path goes on as the arguments' own bytes, so any file name works; Qt has
    // taken its own options out of argv by now.
    QStringList left;
    for (int i = 0; i < argc; ++i)
        left << QString::fromLocal8Bit(argv[i]);
    QByteArray startPath;
    bool first = true;
    for (const int i : fotarik::parseCommandLine(left).pathArguments) {
        startPath += (first ? "" : " ") + QByteArray(argv[i]);
        first = false;
    }
    fotarik::Suche window(startPath);
    window.show();
    return app.exec();
}
