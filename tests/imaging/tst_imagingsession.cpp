#include <QCoreApplication>
#include <QFileInfo>
#include <QTest>

#include "capturingmessageseam.h"
#include "gdiplusresize.h"
#include "workermain.h"

using namespace fotarik;

class TstImagingSession : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setImagingAvailabilityProbe({}); }
    void realReadersAreAvailable();
    void sessionsGetDistinctNonZeroTokens();
    void missingLibraryAtStartShowsWarningAndReturnsZero();
    void missingLibraryAtStopShowsShutdownVariant();
    void availableLibraryShowsNothingAtStop();
};

void TstImagingSession::realReadersAreAvailable()
{
    QVERIFY(imagingAvailable());
}

void TstImagingSession::sessionsGetDistinctNonZeroTokens()
{
    CapturingMessageSeam seam;
    const uint32_t search = StartGdiPlus();
    const uint32_t fullScreen = StartGdiPlus();
    QVERIFY(search != 0);
    QVERIFY(fullScreen != 0);
    QVERIFY(search != fullScreen);
    // Ending one session leaves the other usable and does not hand its token out again.
    StopGdiPlus(fullScreen);
    const uint32_t again = StartGdiPlus();
    QVERIFY(again != 0);
    QVERIFY(again != search);
    StopGdiPlus(again);
    StopGdiPlus(search);
    QVERIFY(seam.messages.empty());
}

void TstImagingSession::missingLibraryAtStartShowsWarningAndReturnsZero()
{
    CapturingMessageSeam seam;
    setImagingAvailabilityProbe([] { return false; });
    QCOMPARE(StartGdiPlus(), 0u);
    QCOMPARE(StartGdiPlus(), 0u);
    QCOMPARE(seam.messages.size(), size_t(2));
    const Message& m = seam.messages.front();
    QCOMPARE(m.text, QStringLiteral("Fehler: 53, GdiPlus.dll wurde nicht gefunden!"));
    QCOMPARE(m.caption, QStringLiteral("tst_imagingsession"));
    QCOMPARE(m.caption, QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName());
    QCOMPARE(m.icon, MsgIcon::Warning);
}

void TstImagingSession::missingLibraryAtStopShowsShutdownVariant()
{
    CapturingMessageSeam seam;
    setImagingAvailabilityProbe([] { return false; });
    const uint32_t token = 0;
    StopGdiPlus(token);
    QCOMPARE(seam.messages.size(), size_t(1));
    QCOMPARE(seam.messages[0].text, QStringLiteral("Fehler: 53 , Gdiplus.dll wurde nicht gefunden!"));
    QCOMPARE(seam.messages[0].caption, QStringLiteral("tst_imagingsession"));
    QCOMPARE(seam.messages[0].icon, MsgIcon::Warning);
}

void TstImagingSession::availableLibraryShowsNothingAtStop()
{
    CapturingMessageSeam seam;
    // Even a token that was never handed out is accepted silently, as the library does.
    StopGdiPlus(12345u);
    const uint32_t token = StartGdiPlus();
    StopGdiPlus(token);
    StopGdiPlus(token);
    QVERIFY(seam.messages.empty());
}

FOTARIK_TEST_GUILESS_MAIN(TstImagingSession)
#include "tst_imagingsession.moc"
