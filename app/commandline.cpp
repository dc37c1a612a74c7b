#include "commandline.h"

namespace fotarik {

namespace {

// The options Qt's application object takes itself (with one dash or two), and whether each
// takes a value: they are known options, left to Qt.
int qtOptionValues(QString option)
{
    if (option.startsWith(QLatin1String("--")))
        option.remove(0, 1);
    const QString name = option.section(u'=', 0, 0);
    static const QStringList withValue = {QStringLiteral("-platform"),
                                          QStringLiteral("-platformpluginpath"),
                                          QStringLiteral("-platformtheme"),
                                          QStringLiteral("-plugin"),
                                          QStringLiteral("-qwindowgeometry"),
                                          QStringLiteral("-qwindowicon"),
                                          QStringLiteral("-qwindowtitle"),
                                          QStringLiteral("-display"),
                                          QStringLiteral("-geometry"),
                                          QStringLiteral("-style"),
                                          QStringLiteral("-stylesheet"),
                                          QStringLiteral("-session"),
                                          QStringLiteral("-name"),
                                          QStringLiteral("-title")};
    static const QStringList flags = {QStringLiteral("-reverse"), QStringLiteral("-nograb"),
                                      QStringLiteral("-dograb"), QStringLiteral("-sync"),
                                      QStringLiteral("-widgetcount")};
    if (withValue.contains(name))
        return name.size() < option.size() ? 0 : 1;
    if (flags.contains(name) && name.size() == option.size())
        return 0;
    return -1;
}

} // namespace

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine c;
    bool optionsEnded = false;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (optionsEnded || a.size() < 2 || !a.startsWith(u'-')) {
            c.pathArguments << int(i);
            continue;
        }
        if (a == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (i == 1 && a == QLatin1String("--find"))
            return {CommandLine::Mode::Find, {}, {}};
        if (i == 1 && a == QLatin1String("--thumbnail"))
            return {CommandLine::Mode::Thumbnail, {}, {}};
        if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return {CommandLine::Mode::Help, {}, {}};
        if (a == QLatin1String("--version"))
            return {CommandLine::Mode::Version, {}, {}};
        if (const int values = qtOptionValues(a); values >= 0) {
            i += values;
            continue;
        }
        if (a == QLatin1String("--find") || a == QLatin1String("--thumbnail"))
            return {CommandLine::Mode::UsageError,
                    QStringLiteral("„%1“ steht nur als erstes Argument").arg(a),
                    {}};
        return {CommandLine::Mode::UsageError, QStringLiteral("unbekannte Option „%1“").arg(a), {}};
    }
    return c;
}

QString usageErrorText(const CommandLine& commandLine)
{
    return QStringLiteral("fotarik: %1\n"
                          "Aufruf: fotarik [--] [PFAD]; ein Pfad, der mit „-“ beginnt, folgt nach „--“.\n"
                          "Alle Aufrufe: fotarik --help\n")
        .arg(commandLine.error);
}

QString usageText()
{
    return QStringLiteral(
        "Aufruf: fotarik [--] [PFAD]\n"
        "  PFAD   Datei, Ordner, Verknüpfung (.lnk) oder symbolischer Link: wählt den Startordner\n"
        "  fotarik --find ORDNER [\"MUSTER\"] [--no-subfolders] [-0|--print0]\n"
        "                                                         Treffer auf die Standardausgabe, je Zeile\n"
        "                                                         (mit -0 durch NUL-Zeichen getrennt)\n"
        "  fotarik --thumbnail DATEI BREITExHÖHE                  Vorschaubild als PNG auf die "
        "Standardausgabe\n"
        "  fotarik --help | --version\n");
}

} // namespace fotarik
