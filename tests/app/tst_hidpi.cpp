// On a screen with two device pixels per logical pixel (QT_SCALE_FACTOR=2, set before the
// application starts), the preview and the full-screen picture are made and drawn with the
// screen's pixels, while every size, position and value stays in logical pixels.

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <cmath>

#include "capturingmessageseam.h"
#include "clongscroll.h"
#include "decoderworker.h"
#include "form1.h"
#include "gdiplusresize.h"
#include "globals.h"
#include "listbox.h"
#include "mediacommands.h"
#include "messagebox.h"
#include "modlargelist.h"
#include "programflags.h"
#include "recordingbackend.h"
#include "suche.h"
#include "ui_form1.h"
#include "ui_suche.h"

using namespace fotarik;

namespace {

// One-pixel black and white stripes on a red frame: every device pixel matters, and a
// picture drawn at half resolution and blown up shows grey instead.
QImage stripes(int w, int h)
{
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            image.setPixel(x, y, x % 2 ? 0xFFFFFFFF : 0xFF000000);
    return image;
}

// Share of pixels that are nearly black or nearly white: 1 for sharp stripes, about 0 for
// stripes averaged to grey.
double crispShare(const QImage& image, QRect area)
{
    int crisp = 0;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x) {
            const int g = qGray(image.pixel(x, y));
            crisp += g < 40 || g > 215;
        }
    return double(crisp) / (area.width() * area.height());
}

} // namespace

class TstHiDpi : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void screenHasTwoDevicePixelsPerPixel();
    void loadKeepsLogicalSizesAndMakesDevicePixels_data();
    void loadKeepsLogicalSizesAndMakesDevicePixels();
    void previewIsDrawnWithTheScreensPixels();
    void fullScreenPictureIsDrawnWithTheScreensPixels();
    void clipboardGetsThePictureAtItsLogicalSize();

private:
    QByteArray writePicture(const QString& name, const QImage& image);

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<RecordingBackend> m_media;
    std::unique_ptr<CapturingMessageSeam> m_messages;
};

void TstHiDpi::init()
{
    test::resetProgramFlags();
    m_dir = std::make_unique<QTemporaryDir>();
    m_media = std::make_unique<RecordingBackend>();
    m_messages = std::make_unique<CapturingMessageSeam>();
}

void TstHiDpi::cleanup()
{
    m_messages.reset();
    m_media.reset();
    m_dir.reset();
}

QByteArray TstHiDpi::writePicture(const QString& name, const QImage& image)
{
    const QString path = m_dir->filePath(name);
    if (!image.save(path))
        qWarning("cannot write %s", qPrintable(path));
    return QFile::encodeName(path);
}

void TstHiDpi::screenHasTwoDevicePixelsPerPixel()
{
    QWidget probe;
    probe.show();
    QCOMPARE(probe.devicePixelRatio(), 2.0);
}

void TstHiDpi::loadKeepsLogicalSizesAndMakesDevicePixels_data()
{
    QTest::addColumn<QSize>("picture");
    QTest::addColumn<qreal>("ratio");
    QTest::addColumn<QSize>("logical");
    QTest::addColumn<QSize>("pixels");
    QTest::addColumn<qreal>("drawnRatio");
    QTest::newRow("reduced, ratio 2")
        << QSize(1600, 1200) << 2.0 << QSize(210, 157) << QSize(420, 314) << 2.0;
    QTest::newRow("reduced, ratio 1.5")
        << QSize(1600, 1200) << 1.5 << QSize(210, 157) << QSize(315, 236) << 1.5;
    QTest::newRow("small, ratio 2") << QSize(100, 50) << 2.0 << QSize(100, 50) << QSize(200, 100) << 2.0;
    QTest::newRow("ratio 1") << QSize(1600, 1200) << 1.0 << QSize(210, 157) << QSize(210, 157) << 1.0;
    QTest::newRow("ratio below 1 counts as 1")
        << QSize(1600, 1200) << 0.5 << QSize(210, 157) << QSize(210, 157) << 1.0;
    QTest::newRow("no ratio counts as 1")
        << QSize(1600, 1200) << qreal(NAN) << QSize(210, 157) << QSize(210, 157) << 1.0;
}

void TstHiDpi::loadKeepsLogicalSizesAndMakesDevicePixels()
{
    QFETCH(QSize, picture);
    QFETCH(qreal, ratio);
    QFETCH(QSize, logical);
    QFETCH(QSize, pixels);
    QFETCH(qreal, drawnRatio);
    const QByteArray path = writePicture(QStringLiteral("p.png"), stripes(picture.width(), picture.height()));
    int32_t w = -1;
    int32_t h = -1;
    ScaledWidth = 0;
    ScaledHeight = 0;
    const QImage image = LoadScaledPicture(path, 210, 210, w, h, 0x00FFFFFF, ratio);
    QCOMPARE(QSize(w, h), logical);
    QCOMPARE(QSizeF(ScaledWidth, ScaledHeight), QSizeF(logical));
    QCOMPARE(image.size(), pixels);
    QCOMPARE(image.devicePixelRatio(), drawnRatio);
    QCOMPARE(image.deviceIndependentSize().toSize(), logical);
    // A file that cannot be decoded changes nothing, whatever the ratio.
    QFile broken(m_dir->filePath(QStringLiteral("kaputt.jpg")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    broken.write("\xff\xd8\xff garbage");
    broken.close();
    QVERIFY(
        LoadScaledPicture(QFile::encodeName(broken.fileName()), 210, 210, w, h, 0x00FFFFFF, ratio).isNull());
    QCOMPARE(QSizeF(ScaledWidth, ScaledHeight), QSizeF(logical));
}

void TstHiDpi::previewIsDrawnWithTheScreensPixels()
{
    // 420 x 420 fits the 210 box exactly at two device pixels per pixel: no scaling at all.
    const QImage source = stripes(420, 420);
    writePicture(QStringLiteral("streifen.png"), source);
    writePicture(QStringLiteral("foto.png"), stripes(400, 300));
    Suche w(m_dir->path());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.ui->txtSearchSpec->setText(QStringLiteral("*.png"));
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(w.ui->lstFoundFiles), 2);
    for (int32_t i = 0; i < 2; ++i)
        if (GetListItem(w.ui->lstFoundFiles, i).endsWith("foto.png")) {
            w.hsb->setValue(i);
            // Logical size and placement as on any screen (400 x 300 into the 210 box).
            QCOMPARE(w.ui->Anzeige1->geometry(), QRect(25, 36, 210, 157));
            QCOMPARE(w.ui->Anzeige1->pixmap().size(), QSize(420, 314));
            QCOMPARE(w.ui->Anzeige1->pixmap().devicePixelRatio(), 2.0);
        } else {
            w.hsb->setValue(i);
            QCOMPARE(w.ui->Anzeige1->size(), QSize(210, 210));
            QCOMPARE(QSizeF(ScaledWidth, ScaledHeight), QSizeF(210, 210));
            const QPixmap drawn = w.ui->Anzeige1->pixmap();
            QCOMPARE(drawn.devicePixelRatio(), 2.0);
            QCOMPARE(drawn.size(), QSize(420, 420));
            QImage pixels = drawn.toImage().convertToFormat(QImage::Format_RGB32);
            pixels.setDevicePixelRatio(1);
            QCOMPARE(pixels, source);
            // What reaches the screen: the label grabbed at the screen's ratio is sharp.
            const QImage shown = w.ui->Anzeige1->grab().toImage();
            QCOMPARE(shown.size(), QSize(420, 420));
            QVERIFY2(crispShare(shown, QRect(10, 10, 400, 400)) > 0.99,
                     qPrintable(QString::number(crispShare(shown, QRect(10, 10, 400, 400)))));
        }
}

void TstHiDpi::fullScreenPictureIsDrawnWithTheScreensPixels()
{
    QWidget search;
    auto* list = new ListBox(&search);
    search.show();
    AddItem(list, writePicture(QStringLiteral("a.png"), stripes(1600, 1200)));
    AddItem(list, writePicture(QStringLiteral("b.png"), stripes(1600, 1200)));
    SetListIndex(list, 0);
    VollbildGeladen = 0;
    Form1 form(list, &search);
    form.ui->Picture1->resize(form.ui->Picture1->width(), 46);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    form.resize(800, 600);
    QTRY_COMPARE(form.size(), QSize(800, 600));
    // Both the loaded picture and the one prepared ahead of the arrow key.
    for (int step = 0; step < 2; ++step) {
        if (step == 1) {
            QTest::keyClick(&form, Qt::Key_Right);
            QCOMPARE(form.hsb->Value(), 1);
        }
        // The 800 x 600 client area with a 46-pixel panel fits 1600 x 1200 to 732 x 549 at 34, 2.
        QCOMPARE(form.PicAreaWidth, 795);
        QCOMPARE(form.PicAreaHeight, 549);
        QCOMPARE(QSizeF(ScaledWidth, ScaledHeight), QSizeF(732, 549));
        QCOMPARE(form.ui->Image1->geometry(), QRect(34, 2, 732, 549));
        const QPixmap drawn = form.ui->Image1->pixmap();
        QCOMPARE(drawn.devicePixelRatio(), 2.0);
        QCOMPARE(drawn.size(), QSize(1464, 1098));
    }
    form.close();
}

void TstHiDpi::clipboardGetsThePictureAtItsLogicalSize()
{
    // Four flat quarters: the colours survive the way to the screen's pixels and back.
    QImage icon(48, 48, QImage::Format_RGB32);
    icon.fill(Qt::red);
    for (int y = 0; y < 48; ++y)
        for (int x = 0; x < 48; ++x)
            if ((x < 24) != (y < 24))
                icon.setPixel(x, y, qRgb(0, 0, 255));
    writePicture(QStringLiteral("icon.png"), icon);
    writePicture(QStringLiteral("gross.png"), stripes(800, 400));
    Suche w(m_dir->path());
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    w.ui->txtSearchSpec->setText(QStringLiteral("*.png"));
    QTest::mouseClick(w.ui->cmdSearch, Qt::LeftButton);
    QCOMPARE(GetListCount(w.ui->lstFoundFiles), 2);
    for (int32_t i = 0; i < 2; ++i) {
        const bool small = GetListItem(w.ui->lstFoundFiles, i).endsWith("icon.png");
        w.hsb->setValue(i);
        QCOMPARE(w.ui->Anzeige1->pixmap().devicePixelRatio(), 2.0);
        QTest::mouseClick(w.ui->Anzeige1, Qt::LeftButton);
        QCOMPARE(m_messages->messages.size(), size_t(i + 1));
        QCOMPARE(m_messages->messages.back().text,
                 QStringLiteral("Bild wurde in die Zwischenablage übertragen."));
        const QImage copied = QGuiApplication::clipboard()->image();
        // A small picture at its own size, a large one at the preview's size.
        QCOMPARE(copied.size(), small ? QSize(48, 48) : QSize(210, 105));
        if (small) {
            QCOMPARE(QColor(copied.pixel(5, 5)), QColor(Qt::red));
            QCOMPARE(QColor(copied.pixel(40, 5)), QColor(Qt::blue));
            QCOMPARE(QColor(copied.pixel(5, 40)), QColor(Qt::blue));
            QCOMPARE(QColor(copied.pixel(40, 40)), QColor(Qt::red));
        }
    }
}

int main(int argc, char** argv)
{
    fotarik::imaging::runDecodeWorkerIfAsked(argc, argv);
    qputenv("QT_SCALE_FACTOR", "2");
    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    TstHiDpi test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hidpi.moc"
