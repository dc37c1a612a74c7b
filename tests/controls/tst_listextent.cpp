#include <QFontMetrics>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QScrollBar>
#include <QTest>

#include "globals.h"
#include "listbox.h"
#include "listextent.h"
#include "modlargelist.h"
#include "raisederror.h"

using namespace fotarik;

namespace {

// The widest entry found by laying out every single one.
int widestByMeasuringAll(const QFont& font, ListBox& list)
{
    const QFontMetrics fm(font);
    int widest = 0;
    for (int32_t i = 0; i < GetListCount(&list); ++i)
        widest = std::max(widest, fm.horizontalAdvance(QString::fromUtf8(GetListItem(&list, i))));
    return widest;
}

QByteArray randomEntry(QRandomGenerator& rng, const QByteArray& alphabet, int length)
{
    QByteArray entry;
    for (int i = 0; i < length; ++i)
        entry.append(alphabet.at(rng.bounded(alphabet.size())));
    return entry;
}

} // namespace

class TstListExtent : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        ScreenTwipsX = 15.0f;
        VScrollWidth = 17;
    }

    void extentArithmetic_data()
    {
        QTest::addColumn<double>("twips");
        QTest::addColumn<double>("twipsPerPixel");
        QTest::addColumn<int>("scrollWidth");
        QTest::addColumn<int>("extent");
        QTest::newRow("4500 twips at 15") << 4500.0 << 15.0 << 17 << 397;
        QTest::newRow("integer division truncates") << 4514.0 << 15.0 << 17 << 397;
        QTest::newRow("half rounds down to even") << 4514.5 << 15.0 << 17 << 397;
        QTest::newRow("half rounds up to even") << 4515.5 << 15.0 << 17 << 398;
        QTest::newRow("twips per pixel rounded half to even") << 4500.0 << 14.5 << 17 << 418;
        QTest::newRow("empty list") << 0.0 << 15.0 << 20 << 100;
    }

    void extentArithmetic()
    {
        QFETCH(double, twips);
        QFETCH(double, twipsPerPixel);
        QFETCH(int, scrollWidth);
        QFETCH(int, extent);
        QCOMPARE(listExtentFromWidth(twips, twipsPerPixel, scrollWidth), extent);
    }

    void widestEntryIsExact_data()
    {
        QTest::addColumn<QFont>("font");
        QFont sans(QStringLiteral("DejaVu Sans"));
        sans.setPointSize(8);
        QFont serif(QStringLiteral("DejaVu Serif"));
        serif.setPointSize(14);
        serif.setItalic(true);
        QFont mono(QStringLiteral("DejaVu Sans Mono"));
        mono.setPixelSize(13);
        QFont substituted(QStringLiteral("MS Sans Serif"));
        substituted.setPointSize(8);
        QTest::newRow("sans 8pt") << sans;
        QTest::newRow("serif italic 14pt") << serif;
        QTest::newRow("mono") << mono;
        QTest::newRow("substituted family") << substituted;
    }

    void widestEntryIsExact()
    {
        QFETCH(QFont, font);
        QRandomGenerator rng(4711);
        const QByteArray narrow("iljtf.,:;!|' 1I");
        const QByteArray wide("WMmw@%QOGD");
        const QByteArray path("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._- ");
        ListBox list;
        // Pieces that kern or join into ligatures in common fonts.
        const QByteArray shaped("ffiflffl AVAWTaToYaLT-J'ryvyF.P,");
        for (int i = 0; i < 3000; ++i)
            AddItem(&list, "/home/user/" + randomEntry(rng, path, 20 + rng.bounded(60)));
        for (int i = 0; i < 3000; ++i)
            AddItem(&list, randomEntry(rng, shaped, 40 + rng.bounded(20)));
        // Many entries of the same width.
        for (int i = 0; i < 2000; ++i)
            AddItem(&list, "/home/user/Bilder/IMG_" + QByteArray::number(100000 + i) + ".jpg");
        // Longest in bytes but narrow, shorter but wide, and entries outside Latin-1.
        AddItem(&list, randomEntry(rng, narrow, 140));
        AddItem(&list, randomEntry(rng, wide, 75));
        AddItem(&list, "/home/user/\xc3\xa4\xc3\xb6\xc3\xbc\xc3\x9f/Gr\xc3\xb6\xc3\x9f"
                       "e.jpg");
        AddItem(&list, "/home/user/\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e/\xe5\x86\x99\xe7\x9c\x9f.png");
        AddItem(&list, "/home/user/\xff\xfe\x80 broken.jpg");
        AddItem(&list, "tab\there");
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));
    }

    // A list that tracks its widths while it fills gives the same widest entry as a
    // measurement of every entry, across appends after a fitting, a clearing, a font the
    // tracker was not started in, and an insertion in the middle (which ends tracking).
    void trackedWidthEqualsMeasuringAll()
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(9);
        QFont other = font;
        other.setPointSize(14);
        QRandomGenerator rng(815);
        const QByteArray path("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._- WMil");
        QWidget window;
        window.setFont(font);
        ListBox list;
        AddItem(&list, "/vorher/da.jpg");
        trackListExtent(&window, &list);
        const auto fill = [&](int n) {
            for (int i = 0; i < n; ++i) {
                QByteArray entry = "/home/user/" + randomEntry(rng, path, 10 + rng.bounded(90));
                if (i % 997 == 0)
                    entry += "/\xc3\xa4\xe6\x97\xa5\xe6\x9c\xac.jpg"; // measured as it comes
                AddItem(&list, entry);
            }
        };
        fill(20000);
        QVERIFY(list.widthTracker()->widest(font, list) >= 0); // answered by the tracker
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));
        fill(3000);
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));
        QCOMPARE(list.widthTracker()->widest(other, list), -1); // another font: not tracked
        QCOMPARE(widestEntryPixels(other, list), widestByMeasuringAll(other, list));

        ClearList(&list);
        fill(5000);
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));

        AddItem(&list, randomEntry(rng, QByteArray("WM@"), 120), 7);
        QCOMPARE(list.widthTracker()->widest(font, list), -1);
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));
    }

    void wideCharactersOutsideTheTableAreMeasured()
    {
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(10);
        ListBox list;
        AddItem(&list, "/home/user/a-rather-long-path-name-with-plain-letters.jpg");
        AddItem(&list, QString(30, QChar(0xFDFD)).toUtf8()); // a very wide ligature sign
        QCOMPARE(widestEntryPixels(font, list), widestByMeasuringAll(font, list));
    }

    void extentUsesTheWindowsFont()
    {
        QWidget window;
        QFont font(QStringLiteral("DejaVu Sans"));
        font.setPointSize(8);
        window.setFont(font);
        ListBox list;
        AddItem(&list, "/home/user/Bilder/Urlaub 2009/IMG_0001.JPG");
        AddItem(&list, "/home/user/x.png");
        const int widest = QFontMetrics(font).horizontalAdvance(
            QStringLiteral("/home/user/Bilder/Urlaub 2009/IMG_0001.JPG"));
        QCOMPARE(GetListExtent(&window, &list), widest + 17 + 80);

        font.setPointSize(16);
        window.setFont(font);
        QVERIFY(GetListExtent(&window, &list) > widest * 3 / 2 + 97);
    }

    void fractionalTwipsPerPixel()
    {
        ScreenTwipsX = 14.4f; // 100 dpi
        VScrollWidth = 20;
        QWidget window;
        ListBox list;
        AddItem(&list, "/srv/pictures/some/where/file.jpg");
        const int pixels = QFontMetrics(window.font())
                               .horizontalAdvance(QStringLiteral("/srv/pictures/some/where/file.jpg"));
        const int expected = int(std::nearbyint(pixels * double(14.4f))) / 14 + 20 + 80;
        QCOMPARE(GetListExtent(&window, &list), expected);
    }

    void listBeyond32767EntriesIsMeasuredWhole()
    {
        QWidget window;
        ListBox list;
        for (int i = 0; i < 40000; ++i)
            AddItem(&list, "/data/pictures/img" + QByteArray::number(i) + ".jpg");
        const QByteArray widest("/data/pictures/a much longer folder name/WIDEST ENTRY OF ALL.jpg");
        AddItem(&list, widest, 39000);
        const int pixels = QFontMetrics(window.font()).horizontalAdvance(QString::fromUtf8(widest));
        QCOMPARE(GetListExtent(&window, &list), pixels + 97);
    }

    void emptyListGivesScrollBarAndMargin()
    {
        QWidget window;
        ListBox list;
        QCOMPARE(GetListExtent(&window, &list), 97);
    }

    void fitSetsTheHorizontalScrollRange()
    {
        QWidget window;
        auto* list = new ListBox(&window);
        list->setGeometry(0, 0, 200, 150);
        for (int i = 0; i < 50; ++i)
            AddItem(list, "/home/user/Bilder/Urlaub/ein recht langer Ordnername/Bild " +
                              QByteArray::number(i) + ".jpg");
        window.resize(220, 170);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        FitListExtent(&window, list);
        const int extent = GetListExtent(&window, list);
        QCOMPARE(list->horizontalExtent(), extent);
        QTRY_COMPARE(list->horizontalScrollBar()->maximum(), extent - list->viewport()->width());
        // The rows span the extent, so the end of the widest entry can be scrolled into view.
        QCOMPARE(list->visualRect(list->model()->index(0, 0)).width(), extent);
    }

    void extentBeyond16BitsIsNotApplied()
    {
        QWidget window;
        ListBox list;
        AddItem(&list, "short");
        FitListExtent(&window, &list);
        const int before = list.horizontalExtent();
        AddItem(&list, QByteArray(6000, 'W'));
        try {
            FitListExtent(&window, &list);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), 6);
        }
        QCOMPARE(list.horizontalExtent(), before);
    }

    void nonListRaises419()
    {
        QWidget window;
        QLineEdit text;
        try {
            GetListExtent(&window, &text);
            QFAIL("no error raised");
        } catch (const RaisedError& e) {
            QCOMPARE(e.number(), 419);
            QCOMPARE(e.source(), QStringLiteral("mod_Listbox.GetListCount"));
        }
    }
};

QTEST_MAIN(TstListExtent)
#include "tst_listextent.moc"
