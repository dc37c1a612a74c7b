#include <QTest>

#include "gdiplusresize.h"

using fotarik::fitToBox;

class TstImagingFit : public QObject
{
    Q_OBJECT

private slots:
    void fit_data();
    void fit();
};

void TstImagingFit::fit_data()
{
    QTest::addColumn<int>("boxWidth");
    QTest::addColumn<int>("boxHeight");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<int>("fittedWidth");
    QTest::addColumn<int>("fittedHeight");

    // The ratio 1.3333334 in single precision puts the height at 157.499995..., just below the half.
    QTest::newRow("landscape photo into preview") << 210 << 210 << 1600 << 1200 << 210 << 157;
    QTest::newRow("portrait photo into preview") << 210 << 210 << 1200 << 1600 << 157 << 210;
    QTest::newRow("small picture keeps its size") << 210 << 210 << 100 << 50 << 100 << 50;
    QTest::newRow("square into square") << 210 << 210 << 1000 << 1000 << 210 << 210;
    QTest::newRow("exact box size stays") << 210 << 210 << 210 << 210 << 210 << 210;
    QTest::newRow("wide picture into tall box") << 200 << 400 << 800 << 400 << 200 << 100;
    QTest::newRow("tall picture into wide box") << 400 << 200 << 400 << 800 << 100 << 200;
    QTest::newRow("only too high, wider than tall") << 210 << 100 << 150 << 120 << 125 << 100;
    QTest::newRow("full screen, panel shown, small picture") << 795 << 549 << 400 << 300 << 400 << 300;
    QTest::newRow("full screen, panel shown") << 795 << 549 << 1600 << 1200 << 732 << 549;
    QTest::newRow("full screen, panel hidden") << 795 << 595 << 1600 << 1200 << 793 << 595;
    QTest::newRow("only too wide, taller than wide") << 100 << 400 << 120 << 150 << 100 << 125;
    QTest::newRow("hair-thin wide picture") << 210 << 210 << 10000 << 1 << 210 << 1;
    QTest::newRow("hair-thin tall picture") << 210 << 210 << 1 << 10000 << 1 << 210;
    // Ratios 4 and 28 are exact in single precision: heights of 52.5 and 7.5 go to the even side.
    QTest::newRow("half rounds down to even") << 210 << 210 << 840 << 210 << 210 << 52;
    QTest::newRow("half rounds up to even") << 210 << 210 << 2800 << 100 << 210 << 8;
    // Here the single-precision ratio lifts an exact 166.5 just above the half.
    QTest::newRow("single-precision ratio decides") << 200 << 200 << 333 << 400 << 167 << 200;
}

void TstImagingFit::fit()
{
    QFETCH(int, boxWidth);
    QFETCH(int, boxHeight);
    QFETCH(int, width);
    QFETCH(int, height);
    int32_t w = width;
    int32_t h = height;
    fitToBox(boxWidth, boxHeight, w, h);
    QTEST(int(w), "fittedWidth");
    QTEST(int(h), "fittedHeight");
    QVERIFY(w <= std::max(boxWidth, width) && h <= std::max(boxHeight, height));
}

QTEST_APPLESS_MAIN(TstImagingFit)
#include "tst_imagingfit.moc"
