#include "fuzzentries.h"

#include <cstdlib>

#include "workerprotocol.h"

#include <sys/mman.h>
#include <unistd.h>

#include "errorcatalogue.h"
#include "heifdecoder.h"
#include "jxldecoder.h"
#include "metafile.h"
#include "modul1.h"
#include "pattern.h"
#include "scaledpicture.h"
#include "shortcut.h"

namespace fuzzentry {

void patternList(const QByteArray& bytes)
{
    const qsizetype cut = bytes.indexOf('\n');
    const QByteArray list = cut < 0 ? bytes : bytes.left(cut);
    const QByteArray name = cut < 0 ? QByteArray() : bytes.mid(cut + 1);
    const fotarik::search::PatternList patterns{std::string_view(list.constData(), size_t(list.size()))};
    try {
        const bool hit = patterns.matches(std::string_view(name.constData(), size_t(name.size())));
        if (!patterns.isValid())
            std::abort(); // an invalid list must raise, never answer
        (void)hit;
    } catch (const fotarik::RaisedError& e) {
        if (patterns.isValid() || e.number() != fotarik::errors::InvalidPattern.number)
            std::abort();
    }
}

void shortcutTarget(const QByteArray& bytes)
{
    const QByteArray target = fotarik::shortcutTargetFromBytes(bytes);
    // Whatever it finds is a piece of the file.
    if (!target.isEmpty() && !bytes.contains(target))
        std::abort();
}

void textDecoder(const QByteArray& bytes)
{
    const QString text = fotarik::decodeText(bytes);
    // Nothing is lost: every byte becomes at least part of a character.
    if (bytes.size() > 0 && text.isEmpty() && !bytes.startsWith("\xEF\xBB\xBF"))
        std::abort();
}

namespace {

// The bytes as an open file, as the decoders get one from disk.
fotarik::ReadableFile asFile(const QByteArray& bytes)
{
    const int fd = ::memfd_create("fuzz", MFD_CLOEXEC);
    if (fd < 0)
        std::abort();
    fotarik::UniqueFd owner(fd);
    if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
        std::abort();
    return fotarik::openForReading("/proc/self/fd/" + QByteArray::number(fd));
}

} // namespace

void pictureFrontEnd(const QByteArray& bytes)
{
    fotarik::ReadableFile file = asFile(bytes);
    const fotarik::imaging::ScaledPicture picture =
        fotarik::imaging::decodeScaledPicture(std::move(file), 210, 210, -1, -1, 0x00FFFFFF);
    if (!picture.isNull() &&
        (picture.image.size() != picture.size || picture.size.width() > 210 || picture.size.height() > 210))
        std::abort();
}

namespace {

// A decoded picture is null or exactly the size asked for (at most the picture's own).
void checkReduced(const QImage& image, QSize asked, QSize own)
{
    if (!image.isNull() && image.size() != asked.boundedTo(own))
        std::abort();
}

} // namespace

void heifFrontEnd(const QByteArray& bytes)
{
    fotarik::imaging::HeifDecoder decoder(asFile(bytes));
    if (!decoder.readHeader())
        return;
    const QSize own = decoder.size();
    if (own.isEmpty() || own.width() > decoder.MaxSide || own.height() > decoder.MaxSide)
        std::abort();
    const QSize asked = own.scaled(210, 210, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    checkReduced(decoder.decodeScaled(asked, fotarik::imaging::pictureBudgetBytes()), asked, own);
}

void jxlFrontEnd(const QByteArray& bytes)
{
    fotarik::imaging::JxlDecoder decoder(asFile(bytes));
    if (!decoder.readHeader())
        return;
    const QSize own = decoder.storedSize();
    if (own.isEmpty() || decoder.orientation() < 1 || decoder.orientation() > 8)
        std::abort();
    const QSize asked = own.scaled(210, 210, Qt::KeepAspectRatio).expandedTo(QSize(1, 1));
    checkReduced(decoder.decodeScaled(asked, fotarik::imaging::pictureBudgetBytes()), asked, own);
}

void metafileFrontEnd(const QByteArray& bytes)
{
    using fotarik::imaging::MetafileKind;
    QByteArray data = bytes;
    MetafileKind kind = fotarik::imaging::metafileKind(data);
    if (kind == MetafileKind::None) {
        // A plain WMF header in front, so that the records themselves are exercised.
        const char header[] = "\x01\x00\x09\x00\x00\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00";
        data.prepend(QByteArray(header, 18));
        kind = MetafileKind::Wmf;
    }
    const QImage image = fotarik::imaging::renderMetafile(
        kind, data, [](QSize natural) { return natural.boundedTo(QSize(210, 210)).expandedTo(QSize(1, 1)); });
    (void)image;
}

void workerAnswer(const QByteArray& bytes)
{
    using namespace fotarik::imaging::worker;
    if (bytes.size() < 12)
        return;
    const auto* b = reinterpret_cast<const uchar*>(bytes.constData());
    WorkerRequest request;
    request.id = 1;
    request.boxWidth = int(b[0] | b[1] << 8) - 2;
    request.boxHeight = int(b[2] | b[3] << 8) - 2;
    const double ratios[] = {1.0, 1.25, 1.5, 2.0, 3.0, 0.5, -1.0, 1e300};
    request.devicePixelRatio = ratios[b[4] % 8];
    request.capacity = answerCapacity(request);
    const int64_t memorySize =
        int64_t(uint32_t(b[5] | b[6] << 8 | b[7] << 16 | uint32_t(b[8]) << 24)) * (b[9] & 0x80 ? 64 : 1);
    const int seals = int(b[10] | b[11] << 8);
    const QByteArray packet = bytes.mid(12);
    const CheckedMessage c =
        checkAnswer(packet.constData(), size_t(packet.size()), request, memorySize, seals);
    if (c.verdict != CheckedMessage::Verdict::Picture)
        return;
    const QSize limit = answerPixelLimit(request);
    const int64_t need = int64_t(c.bytesPerLine) * c.pixels.height();
    if (c.pixels.isEmpty() || c.pixels.width() > limit.width() || c.pixels.height() > limit.height() ||
        c.bytesPerLine != c.pixels.width() * 4 || need > memorySize || need > int64_t(request.capacity) ||
        (seals & requiredSeals()) != requiredSeals() || c.logical.width() > request.boxWidth ||
        c.logical.height() > request.boxHeight)
        std::abort();
}

const std::vector<Entry>& entries()
{
    static const std::vector<Entry> all = {
        {"pattern", patternList},     {"shortcut", shortcutTarget},   {"text", textDecoder},
        {"picture", pictureFrontEnd}, {"metafile", metafileFrontEnd}, {"workeranswer", workerAnswer},
        {"heif", heifFrontEnd},       {"jxl", jxlFrontEnd},
    };
    return all;
}

} // namespace fuzzentry
