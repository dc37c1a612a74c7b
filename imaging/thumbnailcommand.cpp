#include "thumbnailcommand.h"

#include <QBuffer>
#include <QByteArray>
#include <QGuiApplication>
#include <QImageWriter>
#include <QRegularExpression>
#include <cstdio>
#include <memory>

#include "gdiplusresize.h"
#include "metafile.h"

namespace fotarik {
namespace {

int usage()
{
    std::fputs("Aufruf: fotarik --thumbnail DATEI BREITExHOEHE\n", stderr);
    return 2;
}

bool parseBox(const char* text, int& width, int& height)
{
    static const QRegularExpression pattern(QStringLiteral("^([1-9][0-9]{0,5})x([1-9][0-9]{0,5})$"));
    const QRegularExpressionMatch m = pattern.match(QString::fromLatin1(text));
    if (!m.hasMatch())
        return false;
    width = m.captured(1).toInt();
    height = m.captured(2).toInt();
    return true;
}

bool isMetafile(const QByteArray& path)
{
    std::FILE* f = std::fopen(path.constData(), "rb");
    if (!f)
        return false;
    char head[64];
    const size_t n = std::fread(head, 1, sizeof head, f);
    std::fclose(f);
    return imaging::metafileKind(QByteArray(head, qsizetype(n))) != imaging::MetafileKind::None;
}

} // namespace

int runThumbnailCommand(int argc, char** argv)
{
    int boxWidth = 0;
    int boxHeight = 0;
    if (argc != 4 || !parseBox(argv[3], boxWidth, boxHeight))
        return usage();
    const QByteArray path(argv[2]);
    // Standard error carries only the size line; Qt's diagnostics would corrupt it.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    // Metafiles may hold text, and text needs fonts, which only a GUI application
    // provides; the offscreen platform gives one without any display.
    std::unique_ptr<QGuiApplication> app;
    if (isMetafile(path)) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(argc, argv);
    }

    int32_t width = -1;
    int32_t height = -1;
    const QImage picture = LoadScaledPicture(path, boxWidth, boxHeight, width, height, 0x00FFFFFF);
    if (picture.isNull())
        return 1;

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // Thumbnails are written once and read once: speed matters more than size.
    writer.setCompression(1);
    if (!writer.write(picture))
        return 1;
    std::fwrite(png.constData(), 1, size_t(png.size()), stdout);
    std::fflush(stdout);
    std::fprintf(stderr, "%d %d\n", width, height);
    return 0;
}

} // namespace fotarik
