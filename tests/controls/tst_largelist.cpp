#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <csignal>
#include <functional>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "listbox.h"
#include "modlargelist.h"
#include "raisederror.h"

using namespace fotarik;

namespace {

const QString NotAListBox = QStringLiteral("Zugriff auf dieses Objekt verweigert. Objekt ist keine Listbox.");
const QString OutOfRange = QStringLiteral("Index außerhalb des gültigen Bereichs.");

// The error an operation raises; number 0 when it raises none.
RaisedError raisedBy(const std::function<void()>& operation)
{
    try {
        operation();
    } catch (const RaisedError& e) {
        return e;
    }
    return RaisedError(0, {}, {});
}

QList<QByteArray> entries(ListBox& list)
{
    QList<QByteArray> all;
    for (int32_t i = 0; i < GetListCount(&list); ++i)
        all.append(GetListItem(&list, i));
    return all;
}

} // namespace

// A widget named like a list box that offers no list access.
class FakeListBox : public QWidget
{
    Q_OBJECT
};

// Derived list classes pass the check through their own class name, in any letter case.
class SpecialLISTBOXView : public ListBox
{
    Q_OBJECT
};

class TstLargeList : public QObject
{
    Q_OBJECT

private slots:
    void appendsReadsAndCounts()
    {
        ListBox list;
        QCOMPARE(GetListCount(&list), 0);
        AddItem(&list, "/home/a/one.jpg");
        AddItem(&list, "/home/a/two.png");
        QCOMPARE(GetListCount(&list), 2);
        QCOMPARE(GetListItem(&list, 0), QByteArray("/home/a/one.jpg"));
        QCOMPARE(GetListItem(&list, 1), QByteArray("/home/a/two.png"));
        QCOMPARE(GetListIndex(&list), -1);
    }

    void explicitIndexInsertsThere()
    {
        ListBox list;
        AddItem(&list, "a");
        AddItem(&list, "c");
        AddItem(&list, "b", 1);
        AddItem(&list, "first", 0);
        AddItem(&list, "last", 4);
        QCOMPARE(entries(list), (QList<QByteArray>{"first", "a", "b", "c", "last"}));
    }

    void sortedListInsertsInOrderUnlessAnIndexIsGiven()
    {
        ListBox list;
        list.setSorted(true);
        for (const char* text : {"delta", "Bravo", "alpha", "charlie"})
            AddItem(&list, text);
        QCOMPARE(entries(list), (QList<QByteArray>{"alpha", "Bravo", "charlie", "delta"}));
        AddItem(&list, "zulu", 0);
        QCOMPARE(GetListItem(&list, 0), QByteArray("zulu"));
    }

    void readingOutsideTheListRaises9()
    {
        ListBox list;
        RaisedError e = raisedBy([&] { GetListItem(&list, 0); });
        QCOMPARE(e.number(), 9);
        QCOMPARE(e.source(), QStringLiteral("mod_Listbox.GetListItem"));
        QCOMPARE(e.description(), OutOfRange);

        AddItem(&list, "x");
        QCOMPARE(raisedBy([&] { GetListItem(&list, 1); }).number(), 9);
        QCOMPARE(raisedBy([&] { GetListItem(&list, -1); }).number(), 9);
    }

    void selectingOutsideTheListRaises1413AndKeepsTheSelection()
    {
        ListBox list;
        AddItem(&list, "x");
        AddItem(&list, "y");
        SetListIndex(&list, 1);
        RaisedError e = raisedBy([&] { SetListIndex(&list, 2); });
        QCOMPARE(e.number(), 1413);
        QCOMPARE(e.source(), QStringLiteral("mod_Listbox.SetListIndex"));
        QCOMPARE(e.description(), OutOfRange);
        QCOMPARE(GetListIndex(&list), 1);
        QCOMPARE(raisedBy([&] { SetListIndex(&list, -2); }).number(), 1413);
    }

    void selectingMinusOneClearsSilently()
    {
        ListBox list;
        AddItem(&list, "x");
        SetListIndex(&list, 0);
        QCOMPARE(GetListIndex(&list), 0);
        SetListIndex(&list, -1);
        QCOMPARE(GetListIndex(&list), -1);
        QVERIFY(list.selectionModel()->selectedIndexes().isEmpty());
    }

    void userSelectionIsTheListIndex()
    {
        ListBox list;
        list.resize(300, 200);
        for (int i = 0; i < 5; ++i)
            AddItem(&list, QByteArray("entry ") + QByteArray::number(i));
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.flushPendingRows();
        const QRect third = list.visualRect(list.model()->index(2, 0));
        QVERIFY(third.isValid());
        QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, third.center());
        QCOMPARE(GetListIndex(&list), 2);
    }

    void moreThan32767EntriesWork()
    {
        ListBox list;
        const int32_t n = 40000;
        for (int32_t i = 0; i < n; ++i)
            AddItem(&list, "/data/pictures/img" + QByteArray::number(i) + ".jpg");
        QCOMPARE(GetListCount(&list), n);
        QCOMPARE(GetListItem(&list, 32767), QByteArray("/data/pictures/img32767.jpg"));
        QCOMPARE(GetListItem(&list, 39999), QByteArray("/data/pictures/img39999.jpg"));
        SetListIndex(&list, 39999);
        QCOMPARE(GetListIndex(&list), 39999);
        SetListIndex(&list, 33000);
        QCOMPARE(GetListIndex(&list), 33000);
        QCOMPARE(list.model()->rowCount(), n);
        QCOMPARE(raisedBy([&] { GetListItem(&list, n); }).number(), 9);
    }

    void appendedRowsReachTheViewInBatches()
    {
        ListBox list;
        for (int i = 0; i < 3; ++i)
            AddItem(&list, "p" + QByteArray::number(i));
        QCOMPARE(GetListCount(&list), 3); // the count never lags
        QTRY_COMPARE(list.model()->rowCount(), 3);

        QSignalSpy inserted(list.model(), &QAbstractItemModel::rowsInserted);
        for (int i = 3; i < 1000; ++i)
            AddItem(&list, "p" + QByteArray::number(i));
        QTRY_COMPARE(list.model()->rowCount(), 1000);
        QCOMPARE(inserted.count(), 1);
        QCOMPARE(list.model()->data(list.model()->index(999, 0)).toString(), QStringLiteral("p999"));
    }

    void rowsBelowTheVisibleOnesStillReachTheView()
    {
        // Rows the view would not show come at a slower pace, but they come, and rows
        // appended while the user looks at the end come too.
        ListBox list;
        list.resize(200, 120);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        for (int i = 0; i < 500; ++i)
            AddItem(&list, "p" + QByteArray::number(i));
        QTRY_COMPARE(list.model()->rowCount(), 500);
        QTRY_VERIFY(list.verticalScrollBar()->maximum() > 0);

        list.verticalScrollBar()->setValue(0);
        for (int i = 500; i < 800; ++i)
            AddItem(&list, "p" + QByteArray::number(i));
        QCOMPARE(GetListCount(&list), 800);
        QTRY_COMPARE(list.model()->rowCount(), 800);

        list.scrollToBottom();
        QTRY_COMPARE(list.verticalScrollBar()->value(), list.verticalScrollBar()->maximum());
        AddItem(&list, "last");
        QTRY_COMPARE(list.model()->rowCount(), 801);
        QCOMPARE(list.model()->data(list.model()->index(800, 0)).toString(), QStringLiteral("last"));
    }

    void insertingBeforePendingRowsKeepsModelAndViewAgreed()
    {
        ListBox list;
        AddItem(&list, "a");
        AddItem(&list, "c");
        AddItem(&list, "b", 1);
        QCOMPARE(list.model()->rowCount(), 3);
        QCOMPARE(list.model()->data(list.model()->index(1, 0)).toString(), QStringLiteral("b"));
        QCOMPARE(list.model()->data(list.model()->index(2, 0)).toString(), QStringLiteral("c"));
    }

    void clearEmptiesListAndSelection()
    {
        ListBox list;
        for (int i = 0; i < 100; ++i)
            AddItem(&list, "entry");
        SetListIndex(&list, 50);
        ClearList(&list);
        QCOMPARE(GetListCount(&list), 0);
        QCOMPARE(GetListIndex(&list), -1);
        QCOMPARE(list.model()->rowCount(), 0);
        AddItem(&list, "again");
        QCOMPARE(GetListItem(&list, 0), QByteArray("again"));
    }

    void bytesThatAreNotUtf8RoundTripExactly()
    {
        ListBox list;
        const QByteArray latin1Name("/tmp/caf\xe9/\xff\xfe bild.jpg");
        const QByteArray mixed("/tmp/\xc3\xa4rger/\x80\xc3(.png");
        AddItem(&list, latin1Name);
        AddItem(&list, mixed);
        AddItem(&list, QByteArray("with\0nul", 8));
        QCOMPARE(GetListItem(&list, 0), latin1Name);
        QCOMPARE(GetListItem(&list, 1), mixed);
        QCOMPARE(GetListItem(&list, 2), QByteArray("with\0nul", 8));
        // Shown lossily: invalid bytes become replacement characters, valid ones decode.
        const QString shown = list.itemText(1);
        QVERIFY(shown.startsWith(QStringLiteral("/tmp/ärger/")));
        QVERIFY(shown.contains(QChar::ReplacementCharacter));
        QVERIFY(list.itemText(0).contains(QChar::ReplacementCharacter));
    }

    void nonListControlsRaise419_data()
    {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<QString>("source");
        QTest::newRow("AddItem") << "AddItem"
                                 << "mod_Listbox.AddItem";
        QTest::newRow("ClearList") << "ClearList"
                                   << "mod_Listbox.ClearList";
        QTest::newRow("GetListCount") << "GetListCount"
                                      << "mod_Listbox.GetListCount";
        QTest::newRow("GetListIndex") << "GetListIndex"
                                      << "mod_Listbox.GetListCount";
        QTest::newRow("GetListItem") << "GetListItem"
                                     << "mod_Listbox.GetListItem";
        QTest::newRow("SetListIndex") << "SetListIndex"
                                      << "mod_Listbox.SetListIndex";
    }

    void nonListControlsRaise419()
    {
        QFETCH(QString, operation);
        QFETCH(QString, source);
        QLineEdit text;
        QLabel label;
        QScrollBar bar;
        for (QObject* control : std::initializer_list<QObject*>{&text, &label, &bar, nullptr}) {
            RaisedError e = raisedBy([&] { run(operation, control); });
            QCOMPARE(e.number(), 419);
            QCOMPARE(e.source(), source);
            QCOMPARE(e.description(), NotAListBox);
        }
    }

    void derivedListClassesPassTheCheck()
    {
        SpecialLISTBOXView list;
        AddItem(&list, "x");
        QCOMPARE(GetListCount(&list), 1);
    }

    void listNamedObjectWithoutAccessFailsAsARead()
    {
        FakeListBox fake;
        RaisedError read = raisedBy([&] { GetListItem(&fake, 0); });
        QCOMPARE(read.number(), 1400);
        QCOMPARE(read.source(), QStringLiteral("mod_ListBox.GetListItem"));
        QCOMPARE(read.description(), QStringLiteral("Element konnte nicht ausgelesen werden."));
        RaisedError select = raisedBy([&] { SetListIndex(&fake, 0); });
        QCOMPARE(select.number(), 1400);
        QCOMPARE(select.description(), QStringLiteral("Konnte ListIndex nicht setzen."));
        QCOMPARE(raisedBy([&] { GetListCount(&fake); }).number(), 419);
    }

    void rejectedInsertionHaltsTheProgram()
    {
        const pid_t child = fork();
        QVERIFY(child >= 0);
        if (child == 0) {
            const rlimit noCore{0, 0};
            setrlimit(RLIMIT_CORE, &noCore); // the abort is expected: no core dump,
            std::signal(SIGABRT, SIG_DFL);   // and no stack dump by the test library
            ListBox list;
            AddItem(&list, "x", 5); // beyond the end: the list answers -1
            _exit(0);
        }
        int status = 0;
        QCOMPARE(waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));
        QCOMPARE(WTERMSIG(status), SIGABRT);
    }

private:
    static void run(const QString& operation, QObject* control)
    {
        if (operation == QLatin1String("AddItem"))
            AddItem(control, "x");
        else if (operation == QLatin1String("ClearList"))
            ClearList(control);
        else if (operation == QLatin1String("GetListCount"))
            GetListCount(control);
        else if (operation == QLatin1String("GetListIndex"))
            GetListIndex(control);
        else if (operation == QLatin1String("GetListItem"))
            GetListItem(control, 0);
        else
            SetListIndex(control, 0);
    }
};

QTEST_MAIN(TstLargeList)
#include "tst_largelist.moc"
