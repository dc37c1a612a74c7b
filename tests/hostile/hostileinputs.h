#pragma once
// Hostile files made on the spot, and a way to run code or the program in a child
// process under a hang guard while its time and peak memory are measured.

#include <QByteArray>
#include <QFile>
#include <QString>
#include <QStringList>
#include <QtEndian>
#include <functional>

namespace hostile {

// ---- files ----------------------------------------------------------------------------

inline QByteArray be16(int v)
{
    QByteArray b(2, '\0');
    qToBigEndian<quint16>(quint16(v), b.data());
    return b;
}

inline QByteArray le16(int v)
{
    QByteArray b(2, '\0');
    qToLittleEndian<quint16>(quint16(v), b.data());
    return b;
}

inline QByteArray le32(qint64 v)
{
    QByteArray b(4, '\0');
    qToLittleEndian<quint32>(quint32(v), b.data());
    return b;
}

inline QByteArray be32(qint64 v)
{
    QByteArray b(4, '\0');
    qToBigEndian<quint32>(quint32(v), b.data());
    return b;
}

// A progressive JPEG of components (1 grey, 4 CMYK) declaring width x height, with a DC
// table whose one code decodes to "no change", then scans times the first DC scan of the
// first component with no data at all, and the end marker. A few hundred bytes whatever it
// declares.
inline QByteArray progressiveJpeg(int width, int height, int scans, int components = 1)
{
    QByteArray j("\xFF\xD8", 2);
    j += QByteArray("\xFF\xDB", 2) + be16(67) + QByteArray(1, '\0') + QByteArray(64, '\1');
    j += QByteArray("\xFF\xC2", 2) + be16(8 + 3 * components) + QByteArray(1, 8) + be16(height) +
         be16(width) + QByteArray(1, char(components));
    for (int c = 1; c <= components; ++c)
        j += QByteArray(1, char(c)) + QByteArray("\x11\x00", 2);
    // One code of length 1 for the symbol 0.
    j += QByteArray("\xFF\xC4", 2) + be16(20) + QByteArray(1, '\0') + QByteArray(1, 1) +
         QByteArray(15, '\0') + QByteArray(1, '\0');
    const QByteArray sos = QByteArray("\xFF\xDA", 2) + be16(8) + QByteArray("\x01\x01\x00\x00\x00\x00", 6);
    for (int i = 0; i < scans; ++i)
        j += sos;
    j += QByteArray("\xFF\xD9", 2);
    return j;
}

inline quint32 crc32(const QByteArray& data)
{
    quint32 crc = 0xFFFFFFFFu;
    for (const char ch : data) {
        crc ^= uchar(ch);
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

inline QByteArray pngChunk(const char* type, const QByteArray& data);

inline QByteArray pngEnd()
{
    return pngChunk("IEND", {});
}

inline QByteArray pngChunk(const char* type, const QByteArray& data)
{
    const QByteArray body = QByteArray(type, 4) + data;
    return be32(data.size()) + body + be32(crc32(body));
}

// The head of a PNG (signature and the header of a 1 x 1 grey picture) followed by the
// start of a text chunk declaring length bytes. The end chunk goes after the chunk's data.
inline QByteArray pngWithHugeChunkHead(qint64 length)
{
    QByteArray p("\x89PNG\r\n\x1a\n", 8);
    p += pngChunk("IHDR", be32(1) + be32(1) + QByteArray("\x08\x00\x00\x00\x00", 5));
    p += be32(length) + QByteArray("tEXt", 4) + QByteArray("Comment\0", 8);
    return p;
}

// An EMF of records line records (a move, then lines), about 16 bytes each.
inline QByteArray emfOfLines(int records)
{
    const int count = records + 3;
    const qint64 bytes = 88 + 16 + qint64(records) * 16 + 20;
    QByteArray e;
    e += le32(1) + le32(88);
    e += le32(0) + le32(0) + le32(999) + le32(999);     // bounds
    e += le32(0) + le32(0) + le32(26458) + le32(26458); // frame, 0.01 mm
    e += QByteArray(" EMF", 4) + le32(0x10000) + le32(bytes) + le32(count);
    e += le16(1) + le16(0) + le32(0) + le32(0) + le32(0);
    e += le32(1000) + le32(1000) + le32(264) + le32(264); // device, millimetres
    e += le32(27) + le32(16) + le32(0) + le32(0);         // move to
    // Written in place: millions of small temporaries are slow under the sanitizers.
    const qsizetype at = e.size();
    e.resize(at + qsizetype(records) * 16);
    char* r = e.data() + at;
    for (int i = 0; i < records; ++i, r += 16) { // line to
        qToLittleEndian<quint32>(54, r);
        qToLittleEndian<quint32>(16, r + 4);
        qToLittleEndian<quint32>(quint32(i % 1000), r + 8);
        qToLittleEndian<quint32>(quint32((i * 7) % 1000), r + 12);
    }
    e += le32(14) + le32(20) + le32(0) + le32(16) + le32(20); // end
    return e;
}

// The placeable header of a WMF of 1000 x 1000 units at 1440 units an inch.
inline QByteArray placeableWmfHeader()
{
    QByteArray w;
    w += le32(0x9AC6CDD7) + le16(0) + le16(0) + le16(0) + le16(1000) + le16(1000) + le16(1440) + le32(0);
    quint16 sum = 0;
    for (int i = 0; i < 10; ++i)
        sum ^= qFromLittleEndian<quint16>(w.constData() + 2 * i);
    w += le16(sum);
    return w;
}

// A placeable WMF of records line records (10 bytes each).
inline QByteArray wmfOfLines(int records)
{
    QByteArray w = placeableWmfHeader();
    const qint64 words = 9 + qint64(records) * 5 + 3;
    w += le16(1) + le16(9) + le16(0x0300) + le32(words) + le16(0) + le32(5) + le16(0);
    const qsizetype at = w.size();
    w.resize(at + qsizetype(records) * 10);
    char* r = w.data() + at;
    for (int i = 0; i < records; ++i, r += 10) { // line to
        qToLittleEndian<quint32>(5, r);
        qToLittleEndian<quint16>(0x0213, r + 4);
        qToLittleEndian<quint16>(quint16((i * 7) % 1000), r + 6);
        qToLittleEndian<quint16>(quint16(i % 1000), r + 8);
    }
    w += le32(3) + le16(0);
    return w;
}

// A 54-byte BMP whose header declares a width, height and bit depth whose product (the
// pixel data's size) does not fit in 64 bits.
inline QByteArray absurdBitmap()
{
    QByteArray b("BM", 2);
    b += le32(54) + le32(0) + le32(54);
    b += le32(40) + le32(0x7FFFFFFF) + le32(0x7FFFFFFF) + le16(1) + le16(0xFFFF) + le32(0) + le32(0);
    b += le32(0) + le32(0) + le32(0) + le32(0);
    return b;
}

// A little-endian TIFF of a 2 x 2 grey picture carrying a tag libtiff does not know, which
// makes it warn.
inline QByteArray tiffWithUnknownTag()
{
    struct Entry
    {
        int tag, type;
        qint64 count, value;
    };
    const Entry entries[] = {
        {256, 3, 1, 2},   // width
        {257, 3, 1, 2},   // height
        {258, 3, 1, 8},   // bits per sample
        {259, 3, 1, 1},   // no compression
        {262, 3, 1, 1},   // black is zero
        {273, 4, 1, 8},   // strip offset
        {277, 3, 1, 1},   // samples per pixel
        {278, 3, 1, 2},   // rows per strip
        {279, 4, 1, 4},   // strip byte count
        {65000, 3, 1, 7}, // unknown
    };
    QByteArray t("II*\0", 4);
    t += le32(12);
    t += QByteArray("\x10\x60\xA0\xF0", 4);
    t += le16(int(std::size(entries)));
    for (const Entry& e : entries) {
        t += le16(e.tag) + le16(e.type) + le32(e.count);
        t += e.type == 3 ? le16(int(e.value)) + le16(0) : le32(e.value);
    }
    t += le32(0);
    return t;
}

// data packed as gzip (.svgz and the like).
QByteArray gzip(const QByteArray& data);

// A zlib stream of unit repeated times over, made in the time it takes to pack unit once:
// gigabytes unpacked from a megabyte.
QByteArray zlibRepeated(const QByteArray& unit, qint64 times);

// A 16-bit RGBA PNG of side x side pixels, every row filtered with Paeth (the costliest
// filter): eight bytes a pixel to unfilter from a file of about a megabyte.
QByteArray png16WithPaethRows(int side);

// An RGBA TIFF of 32-bit floats, side x side, in one deflated strip of zeros.
QByteArray floatTiff(int side);

// A valid progressive JPEG with arithmetic coding (the slowest to decode) of a noisy photo
// of width x height.
QByteArray arithmeticJpeg(int width, int height);

// An SVG of about unpackedBytes (almost all of it a comment), packed as gzip.
QByteArray gzippedSvg(qint64 unpackedBytes);

inline bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// head, then a hole of holeBytes (read back as zeros, taking no disk), then tail.
inline bool writeSparseFile(const QString& path, const QByteArray& head, qint64 holeBytes,
                            const QByteArray& tail)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(head) == head.size() && f.seek(head.size() + holeBytes) &&
           f.write(tail) == tail.size();
}

// ---- child processes ------------------------------------------------------------------

struct ChildRun
{
    bool finished = false; // false: stopped by the hang guard
    int exitCode = -1;     // -1 when ended by a signal
    double seconds = 0;
    qint64 peakKiB = 0; // the child's maximum resident set
    QByteArray out;
    QByteArray err;
};

// Runs program with arguments (through GNU time, which measures its peak alone), stdout
// and stderr captured, killed after guardSeconds.
ChildRun runProgram(const QString& program, const QStringList& arguments, double guardSeconds,
                    const QStringList& environment = {});
// Runs work in a forked child (exit code: work's result), killed after guardSeconds.
ChildRun runInChild(const std::function<int()>& work, double guardSeconds);

// The peak resident set this build may be held to for budget: a sanitizer build carries
// its shadow memory on top.
bool sanitizerBuild();

} // namespace hostile
