#include "fileclass.h"

#include <array>

namespace fotarik {
namespace {

// The suffix is whatever the path ends with; a dot is not required, so "mybmp" counts as a bmp.
QString tail(const QString& path, qsizetype n)
{
    return path.right(n).toLower().trimmed();
}

template <size_t N> bool isOneOf(const QString& s, const std::array<const char*, N>& list)
{
    for (const char* item : list) {
        if (s == QLatin1String(item))
            return true;
    }
    return false;
}

} // namespace

FileKind FileClass(const QString& path)
{
    const QString s3 = tail(path, 3);
    const QString s4 = tail(path, 4);

    static constexpr std::array<const char*, 12> picture3{"bmp", "jpg", "jpe", "png", "ico", "gif",
                                                          "dib", "cur", "rle", "wmf", "tif", "emf"};
    static constexpr std::array<const char*, 3> picture4{"jpeg", "jfif", "tiff"};
    // Today's photo formats: HEIF (HEIC, AVIF), JPEG XL and WebP.
    static constexpr std::array<const char*, 2> photo3{"hif", "jxl"};
    static constexpr std::array<const char*, 4> photo4{"heic", "heif", "avif", "webp"};
    static constexpr std::array<const char*, 4> text3{"txt", "ini", "asc", "htm"};

    if (isOneOf(s3, picture3) || isOneOf(s4, picture4) || isOneOf(s3, photo3) || isOneOf(s4, photo4))
        return FileKind::Picture;
    if (isOneOf(s3, text3) || s4 == QLatin1String("html"))
        return FileKind::Text;
    if (s3 == QLatin1String("wav"))
        return FileKind::WaveSound;
    if (s3 == QLatin1String("mid"))
        return FileKind::MidiSound;
    if (s3 == QLatin1String("avi"))
        return FileKind::Video;
    if (s3 == QLatin1String("mp3"))
        return FileKind::Mp3;
    if (s3 == QLatin1String("exe") || s3 == QLatin1String("dll"))
        return FileKind::Program;
    return FileKind::Other;
}

} // namespace fotarik
