#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <climits>

#include "clongscroll.h"
#include "raisederror.h"

using fotarik::CLongScroll;
using fotarik::RaisedError;

class TstCLongScroll : public QObject
{
    Q_OBJECT

private:
    // A scroll bar with a 32-bit range attached to a real horizontal QScrollBar.
    struct Fixture
    {
        QScrollBar bar{Qt::Horizontal};
        CLongScroll hsb;
        QSignalSpy changes{&hsb, &CLongScroll::Change};
        QSignalSpy scrolls{&hsb, &CLongScroll::Scroll};
        Fixture() { hsb.setClient(&bar); }
    };

private slots:
    void newInstanceHasDocumentedDefaults()
    {
        CLongScroll hsb;
        QCOMPARE(hsb.Min(), 0);
        QCOMPARE(hsb.Max(), 32767);
        QCOMPARE(hsb.SmallChange(), 1);
        QCOMPARE(hsb.LargeChange(), 1);
        QCOMPARE(hsb.Value(), 0);
        QCOMPARE(hsb.Client(), nullptr);
    }

    void attachingResetsTheClientButNotTheMembers()
    {
        QScrollBar bar(Qt::Horizontal);
        bar.setRange(5, 100);
        bar.setValue(50);
        bar.setSingleStep(3);
        bar.setPageStep(7);
        CLongScroll hsb;
        QSignalSpy changes(&hsb, &CLongScroll::Change);
        hsb.setClient(&bar);
        QCOMPARE(hsb.Client(), &bar);
        QCOMPARE(bar.minimum(), 0);
        QCOMPARE(bar.maximum(), 32767);
        QCOMPARE(bar.singleStep(), 1);
        QCOMPARE(bar.pageStep(), 10);
        QCOMPARE(bar.value(), 0);
        QVERIFY(!bar.hasTracking());
        QCOMPARE(hsb.Max(), 32767);
        QCOMPARE(hsb.LargeChange(), 1);
        QCOMPARE(changes.count(), 0);
    }

    void verticalScrollBarIsAcceptedToo()
    {
        QScrollBar bar(Qt::Vertical);
        CLongScroll hsb;
        hsb.setClient(&bar);
        hsb.setMax(99);
        hsb.setValue(50);
        QCOMPARE(bar.value(), 16549);
    }

    void textBoxAsClientRaisesAndKeepsThePreviousClient()
    {
        Fixture f;
        QLineEdit text;
        try {
            f.hsb.setClient(&text);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), -2147220991);
            QCOMPARE(e.source(), QStringLiteral("CLongScroll"));
            QCOMPARE(e.description(), QStringLiteral("Client object must be a scrollbar."));
        }
        QCOMPARE(f.hsb.Client(), &f.bar);
        f.hsb.setValue(7);
        QCOMPARE(f.hsb.Value(), 7);
    }

    void valueWithoutClientRaises91AndKeepsValue()
    {
        CLongScroll hsb;
        QSignalSpy changes(&hsb, &CLongScroll::Change);
        try {
            hsb.setValue(5);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), 91);
        }
        QCOMPARE(hsb.Value(), 0);
        QCOMPARE(changes.count(), 0);
    }

    void maxBelowValueWithoutClientStoresMaxThenRaises()
    {
        CLongScroll hsb;
        QScrollBar bar(Qt::Horizontal);
        hsb.setClient(&bar);
        hsb.setValue(100);
        hsb.setClient(nullptr);
        QCOMPARE(hsb.Client(), nullptr);
        QVERIFY_THROWS_EXCEPTION(RaisedError, hsb.setMax(50));
        QCOMPARE(hsb.Max(), 50);
        QCOMPARE(hsb.Value(), 100);
    }

    void valueMapsProportionallyOntoTheClient()
    {
        Fixture f;
        f.hsb.setMax(99);
        f.hsb.setValue(50);
        QCOMPARE(f.hsb.Value(), 50);
        QCOMPARE(f.bar.value(), 16549);
    }

    void clientLeavesItsEndsOnlyWhenValueIsAtTheEnd()
    {
        Fixture f;
        f.hsb.setMax(100000);
        f.hsb.setValue(1);
        QCOMPARE(f.bar.value(), 1);
        f.hsb.setValue(99999);
        QCOMPARE(f.bar.value(), 32766);
        f.hsb.setValue(100000);
        QCOMPARE(f.bar.value(), 32767);
        f.hsb.setValue(0);
        QCOMPARE(f.bar.value(), 0);
    }

    void everyAssignmentRaisesChange()
    {
        Fixture f;
        f.hsb.setValue(3);
        f.hsb.setValue(3);
        QCOMPARE(f.changes.count(), 2);
        QCOMPARE(f.scrolls.count(), 0);
    }

    void valueIsClampedIntoTheRange()
    {
        Fixture f;
        f.hsb.setMin(10);
        f.hsb.setMax(20);
        f.hsb.setValue(25);
        QCOMPARE(f.hsb.Value(), 20);
        QCOMPARE(f.bar.value(), 32767);
        f.hsb.setValue(-5);
        QCOMPARE(f.hsb.Value(), 10);
        QCOMPARE(f.bar.value(), 0);
    }

    void oneHitMapsToTheClientMinimum()
    {
        // A list with one entry: Min = Max = 0. The thumb goes to the client's minimum,
        // wherever it was, and any value is clamped to the one position.
        Fixture f;
        f.bar.setMinimum(100);
        f.bar.setValue(20000);
        f.hsb.setMin(0);
        f.hsb.setMax(0);
        f.hsb.setValue(0);
        QCOMPARE(f.hsb.Value(), 0);
        QCOMPARE(f.bar.value(), 100);
        f.bar.setValue(20000);
        f.hsb.setValue(7);
        QCOMPARE(f.hsb.Value(), 0);
        QCOMPARE(f.bar.value(), 100);
        // The same one position away from zero.
        f.hsb.setMax(42);
        f.hsb.setMin(42);
        f.hsb.setValue(42);
        QCOMPARE(f.hsb.Value(), 42);
        QCOMPARE(f.bar.value(), 100);
    }

    void emptyListGivesAReversedRange()
    {
        Fixture f;
        f.hsb.setMin(0);
        f.hsb.setMax(-1);
        f.hsb.setValue(0);
        QCOMPARE(f.hsb.Value(), 0);
        QCOMPARE(f.bar.value(), 0);
        f.hsb.setValue(-1);
        QCOMPARE(f.hsb.Value(), -1);
        QCOMPARE(f.bar.value(), 32767);
        f.hsb.setValue(5);
        QCOMPARE(f.hsb.Value(), 0);
    }

    void reversedRangeStepsAgainstTheThumb()
    {
        Fixture f;
        f.hsb.setMin(100);
        f.hsb.setMax(0);
        f.hsb.setLargeChange(10);
        f.hsb.setValue(50);
        f.changes.clear();
        f.bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(f.hsb.Value(), 49);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(f.hsb.Value(), 39);
        QCOMPARE(f.changes.count(), 2);
    }

    void arrowAndPageClicksStepByTheLongSteps()
    {
        Fixture f;
        f.hsb.setMax(1000);
        f.hsb.setSmallChange(1);
        f.hsb.setLargeChange(100);
        f.hsb.setValue(500);
        f.changes.clear();

        f.bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(f.hsb.Value(), 501);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(f.hsb.Value(), 601);
        f.bar.triggerAction(QAbstractSlider::SliderSingleStepSub);
        QCOMPARE(f.hsb.Value(), 600);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepSub);
        QCOMPARE(f.hsb.Value(), 500);
        QCOMPARE(f.changes.count(), 4);
        QCOMPARE(f.scrolls.count(), 0);

        f.hsb.setValue(950);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd);
        QCOMPARE(f.hsb.Value(), 1000);
        QCOMPARE(f.bar.value(), 32767);
    }

    void arrowClicksCountEvenWhenTheThumbStays()
    {
        Fixture f;
        f.hsb.setMax(100000);
        f.hsb.setValue(50000);
        const int thumb = f.bar.value();
        for (int i = 0; i < 3; ++i)
            f.bar.triggerAction(QAbstractSlider::SliderSingleStepAdd);
        QCOMPARE(f.hsb.Value(), 50003);
        QCOMPARE(f.bar.value(), thumb);
    }

    void draggingRaisesScrollPerMoveAndOneChangeOnRelease()
    {
        Fixture f;
        f.hsb.setMax(99);
        f.changes.clear();

        f.bar.setSliderDown(true);
        f.bar.setSliderPosition(8000);
        f.bar.setSliderPosition(12000);
        f.bar.setSliderPosition(16384);
        QCOMPARE(f.scrolls.count(), 3);
        QCOMPARE(f.changes.count(), 0);
        QCOMPARE(f.hsb.Value(), 50); // round(99 * 16384 / 32767) = round(49.5015)

        f.bar.setSliderDown(false);
        QCOMPARE(f.changes.count(), 1);
        QCOMPARE(f.scrolls.count(), 3);
        QCOMPARE(f.hsb.Value(), 50);
        QCOMPARE(f.bar.value(), 16384);
    }

    void pageClickNearTheEndMovingOneStepsBySmallChange()
    {
        Fixture f;
        f.hsb.setMax(10000000);
        f.hsb.setLargeChange(1000);
        f.hsb.setSmallChange(7);
        f.hsb.setValue(9999700);
        QCOMPARE(f.bar.value(), 32766);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd); // client moves by 1 only
        QCOMPARE(f.hsb.Value(), 9999707);
    }

    void pageClickNearTheEndMovingOtherwiseFollowsTheThumb()
    {
        Fixture f;
        f.hsb.setMax(100000);
        f.hsb.setLargeChange(1000);
        f.hsb.setValue(99980);
        QCOMPARE(f.bar.value(), 32760);
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd); // client moves by 7
        QCOMPARE(f.hsb.Value(), 100000);
        QCOMPARE(f.bar.value(), 32767);
    }

    void maxBelowValueMovesValueAboveLeavesIt()
    {
        Fixture f;
        f.hsb.setMax(1000);
        f.hsb.setValue(800);
        f.changes.clear();
        f.hsb.setMax(500);
        QCOMPARE(f.hsb.Value(), 500);
        QCOMPARE(f.changes.count(), 1);
        QCOMPARE(f.bar.value(), 32767);

        f.hsb.setMax(2000);
        QCOMPARE(f.hsb.Value(), 500);
        QCOMPARE(f.changes.count(), 1);
        QCOMPARE(f.bar.value(), 32767); // the thumb keeps its place until Value is set
    }

    void minRules()
    {
        Fixture f;
        f.hsb.setMax(100);
        f.hsb.setValue(10);
        f.changes.clear();
        f.hsb.setMin(20);
        QCOMPARE(f.hsb.Value(), 20);
        f.hsb.setMin(5);
        QCOMPARE(f.hsb.Value(), 20);
        f.hsb.setMin(100); // equal to Max
        QCOMPARE(f.hsb.Value(), 100);
        QCOMPARE(f.changes.count(), 2);
        f.hsb.setMax(50); // now Min > Max, Value not above Min
        QCOMPARE(f.hsb.Value(), 100);
        QCOMPARE(f.changes.count(), 2);
    }

    void minAboveMaxWithValueBelowMaxTakesTheNewMin()
    {
        Fixture f;
        f.hsb.setMax(100);
        f.hsb.setValue(10);
        f.hsb.setMin(200);
        QCOMPARE(f.hsb.Value(), 200);
        QCOMPARE(f.bar.value(), 0); // reversed: Value at hi sits at the client's minimum
    }

    void propertiesByName()
    {
        Fixture f;
        QVERIFY(f.hsb.setProperty("Max", 99));
        QVERIFY(f.hsb.setProperty("Min", 0));
        QVERIFY(f.hsb.setProperty("SmallChange", 2));
        QVERIFY(f.hsb.setProperty("LargeChange", 20));
        QVERIFY(f.hsb.setProperty("Value", 50));
        QCOMPARE(f.hsb.property("Max").toInt(), 99);
        QCOMPARE(f.hsb.property("Min").toInt(), 0);
        QCOMPARE(f.hsb.property("SmallChange").toInt(), 2);
        QCOMPARE(f.hsb.property("LargeChange").toInt(), 20);
        QCOMPARE(f.hsb.property("Value").toInt(), 50);
        QCOMPARE(f.bar.value(), 16549);
        QCOMPARE(f.changes.count(), 1);
    }

    void rangeBeyond32BitsRaisesOverflow()
    {
        Fixture f;
        f.hsb.setMax(INT32_MAX);
        f.hsb.setMin(-10);
        try {
            f.hsb.setValue(0);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), 6);
        }
    }

    void stepBeyond32BitsIsContainedInTheClientEvent()
    {
        Fixture f;
        f.hsb.setMax(INT32_MAX);
        f.hsb.setLargeChange(INT32_MAX);
        f.hsb.setValue(1000000000);
        f.changes.clear();
        const int thumb = f.bar.value();
        f.bar.setValue(thumb - 10); // a page click to the left: no overflow, clamps at Min
        QCOMPARE(f.hsb.Value(), 0);
        f.hsb.setValue(1000000000);
        f.changes.clear();
        f.bar.triggerAction(QAbstractSlider::SliderPageStepAdd); // Value + LargeChange overflows
        QCOMPARE(f.changes.count(), 0);
        QCOMPARE(f.hsb.Value(), 1000000000);
    }
};

QTEST_MAIN(TstCLongScroll)
#include "tst_clongscroll.moc"
