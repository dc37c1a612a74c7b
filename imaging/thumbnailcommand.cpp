#include "thumbnailcommand.h"

#include <QBuffer>
#include <QByteArray>
#include <QImageWriter>
#include <QRegularExpression>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "gdiplusresize.h"
#include "pictureformat.h"
#include "readablefile.h"

namespace fotarik {
namespace {

int usage()
{
    std::fputs("Aufruf: fotarik --thumbnail DATEI BREITExHÖHE\n", stderr);
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

// Standard error sent to /dev/null while the libraries work (libtiff, for one, prints its
// warnings there itself); the original comes back for the size line.
class QuietStandardError
{
public:
    QuietStandardError() : m_saved(::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3))
    {
        std::fflush(stderr);
        const UniqueFd null(::open("/dev/null", O_WRONLY | O_CLOEXEC));
        if (m_saved && null)
            ::dup2(null.get(), STDERR_FILENO);
    }
    ~QuietStandardError() { restore(); }
    QuietStandardError(const QuietStandardError&) = delete;
    QuietStandardError& operator=(const QuietStandardError&) = delete;

    void restore()
    {
        if (!m_saved)
            return;
        std::fflush(stderr);
        ::dup2(m_saved.get(), STDERR_FILENO);
        m_saved.reset();
    }

private:
    UniqueFd m_saved;
};

// Why path gave no picture, in German, for standard error.
QByteArray noPictureReason(const QByteArray& path)
{
    const ReadableFile file = openForReading(path);
    if (file.error == NotARegularFile)
        return "ist keine gewöhnliche Datei (Ordner, Pipe oder Gerät)";
    if (file.missing())
        return "gibt es nicht";
    if (!file.isOpen())
        return QByteArray("lässt sich nicht lesen: ") + std::strerror(file.error);
    if (file.size == 0)
        return "ist leer";
    if (imaging::pictureFormat(readAtMost(file.fd, imaging::FormatHeadBytes)) == imaging::PictureFormat::None)
        return "ist kein Bild in einem der bekannten Formate";
    return "ließ sich nicht als Bild lesen (beschädigt, abgeschnitten oder zu groß)";
}

int noPicture(const QByteArray& path, QuietStandardError& quiet)
{
    quiet.restore();
    const QByteArray line = "fotarik --thumbnail: \"" + path + "\" " + noPictureReason(path) + "\n";
    std::fputs(line.constData(), stderr);
    return 1;
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
    QuietStandardError quiet;

    // The decoder worker does all the work, fonts for a metafile's text included: this
    // process needs no application object and makes no files.
    int32_t width = -1;
    int32_t height = -1;
    const QImage picture = LoadScaledPicture(path, boxWidth, boxHeight, width, height, 0x00FFFFFF);
    if (picture.isNull())
        return noPicture(path, quiet);

    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, "png");
    // Thumbnails are written once and read once: speed matters more than size.
    writer.setCompression(1);
    if (!writer.write(picture)) {
        quiet.restore();
        std::fputs("fotarik --thumbnail: das PNG ließ sich nicht schreiben\n", stderr);
        return 1;
    }
    std::fwrite(png.constData(), 1, size_t(png.size()), stdout);
    std::fflush(stdout);
    quiet.restore();
    std::fprintf(stderr, "%d %d\n", width, height);
    return 0;
}

} // namespace fotarik
