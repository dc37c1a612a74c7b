#include "commandline.h"

namespace fotarik {

CommandLine parseCommandLine(const QStringList& arguments)
{
    CommandLine c;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& a = arguments[i];
        if (i == 1 && a == QLatin1String("--find"))
            return {CommandLine::Mode::Find};
        if (i == 1 && a == QLatin1String("--thumbnail"))
            return {CommandLine::Mode::Thumbnail};
        if (a == QLatin1String("--help") || a == QLatin1String("-h"))
            return {CommandLine::Mode::Help};
        if (a == QLatin1String("--version"))
            return {CommandLine::Mode::Version};
    }
    return c;
}

QString usageText()
{
    return QStringLiteral(
        "Aufruf: fotarik [PFAD]\n"
        "  PFAD   Datei, Ordner, Verknüpfung (.lnk) oder symbolischer Link: wählt den Startordner\n"
        "  fotarik --find ORDNER [\"MUSTER\"] [--no-subfolders] [-0|--print0]\n"
        "                                                         Treffer auf die Standardausgabe, je Zeile\n"
        "                                                         (mit -0 durch NUL-Zeichen getrennt)\n"
        "  fotarik --thumbnail DATEI BxH                          Vorschaubild als PNG auf die "
        "Standardausgabe\n"
        "  fotarik --help | --version\n"
        "Fotos in HEIC, HEIF, AVIF, JPEG XL und WebP findet ein getipptes Muster, z. B.\n"
        "  \"*.HEIC;*.AVIF;*.JXL;*.WEBP\"\n");
}

} // namespace fotarik
