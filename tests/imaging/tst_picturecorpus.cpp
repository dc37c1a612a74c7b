// Every real-world and hostile file of the decoder corpus either decodes (at the size the
// corpus states, where it states one) or gives no picture: never a crash or a hang.

#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include "gdiplusresize.h"
#include "globals.h"
#include "workermain.h"

using namespace fotarik;

namespace {

const QString Root = QStringLiteral(FOTARIK_CORPUS_DIR "/images");

// Expected sizes: from a manifest note that starts with or names "W x H per"/"W x H;",
// and from the GIF suite's .conf files.
QHash<QString, QSize> expectedSizes()
{
    QHash<QString, QSize> sizes;
    QFile manifest(Root + QStringLiteral("/manifest.json"));
    if (manifest.open(QIODevice::ReadOnly)) {
        static const QRegularExpression size(QStringLiteral("^(?:cursor, )?(\\d+)x(\\d+)(?: |;|$)"));
        const QJsonArray files = QJsonDocument::fromJson(manifest.readAll()).array();
        for (const QJsonValue& v : files) {
            const QString file = v[QStringLiteral("file")].toString();
            if (file.startsWith(QStringLiteral("wmf_emf/"))) // metafile sizes there are another program's dpi
                continue;
            const QRegularExpressionMatch m = size.match(v[QStringLiteral("note")].toString());
            if (m.hasMatch())
                sizes.insert(file, QSize(m.captured(1).toInt(), m.captured(2).toInt()));
        }
    }
    QDirIterator confs(Root + QStringLiteral("/gif/gif-test-suite"), {QStringLiteral("*.conf")});
    while (confs.hasNext()) {
        QSettings conf(confs.next(), QSettings::IniFormat);
        const QString input = conf.value(QStringLiteral("config/input")).toString();
        const int w = conf.value(QStringLiteral("config/width")).toInt();
        const int h = conf.value(QStringLiteral("config/height")).toInt();
        if (!input.isEmpty() && w > 0 && h > 0)
            sizes.insert(QStringLiteral("gif/gif-test-suite/") + input, QSize(w, h));
    }
    // The note says 8 x 8, but the cursor's directory and bitmap header both say 1 x 4.
    sizes.remove(QStringLiteral("ico/mask_1.cur"));
    return sizes;
}

bool isPictureSuffix(const QString& name)
{
    static const QStringList suffixes = {"bmp",  "dib", "rle", "ico", "cur", "jpg",  "jpeg",
                                         "jfif", "jpe", "png", "gif", "tif", "tiff", "wmf",
                                         "emf",  "pcx", "tga", "pnm", "xpm"};
    return suffixes.contains(QFileInfo(name).suffix().toLower());
}

} // namespace

class TstPictureCorpus : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sweep_data();
    void sweep();
    void statedSizesWereFound();

private:
    QHash<QString, QSize> m_sizes;
    int m_checkedSizes = 0;
};

void TstPictureCorpus::initTestCase()
{
    if (!QFile::exists(Root))
        QSKIP("corpus not present");
    m_sizes = expectedSizes();
}

void TstPictureCorpus::sweep_data()
{
    QTest::addColumn<QString>("file");
    QDirIterator it(Root, QDir::Files, QDirIterator::Subdirectories);
    QStringList files;
    while (it.hasNext()) {
        const QString path = it.next();
        if (isPictureSuffix(path))
            files << path.mid(Root.size() + 1);
    }
    files.sort();
    for (const QString& f : files)
        QTest::newRow(qPrintable(f)) << f;
}

void TstPictureCorpus::sweep()
{
    QFETCH(QString, file);
    const QByteArray path = QFile::encodeName(Root + QLatin1Char('/') + file);

    ScaledWidth = -5;
    ScaledHeight = -5;
    int32_t w = -1;
    int32_t h = -1;
    const QImage natural = LoadScaledPicture(path, 1 << 20, 1 << 20, w, h, 0x00FFFFFF);
    int32_t pw = -1;
    int32_t ph = -1;
    const QImage preview = LoadScaledPicture(path, 210, 210, pw, ph, 0x00FFFFFF);
    QCOMPARE(natural.isNull(), preview.isNull());
    // Files that end before their picture does: no picture, not a half-grey one.
    static const QStringList truncated = {"bmp/bmpsuite/b/shortfile.bmp",
                                          "png/fail/pillow_truncated_end_chunk.png",
                                          "jpeg/truncated_jpeg.jpg", "jpeg/fail/gdkpixbuf_premature-end.jpg"};
    if (truncated.contains(file))
        QVERIFY(natural.isNull());
    if (natural.isNull()) {
        QCOMPARE(w, -1);
        QCOMPARE(pw, -1);
        QCOMPARE(ScaledWidth, -5.0f);
        return;
    }
    QCOMPARE(natural.size(), QSize(w, h));
    QCOMPARE(preview.size(), QSize(pw, ph));
    QVERIFY(pw <= 210 && ph <= 210);
    QCOMPARE(ScaledWidth, float(pw));
    QCOMPARE(ScaledHeight, float(ph));
    if (m_sizes.contains(file)) {
        QCOMPARE(natural.size(), m_sizes.value(file));
        ++m_checkedSizes;
    }
}

void TstPictureCorpus::statedSizesWereFound()
{
    // The size table must actually have been used, or the sweep checks less than it claims.
    QVERIFY2(m_checkedSizes >= 35, qPrintable(QString::number(m_checkedSizes)));
}

FOTARIK_TEST_GUILESS_MAIN(TstPictureCorpus)
#include "tst_picturecorpus.moc"
