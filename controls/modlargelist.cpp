#include "modlargelist.h"

#include <QByteArrayView>
#include <QMetaObject>
#include <QObject>
#include <QtGlobal>
#include <cstdlib>

#include "listboxaccess.h"
#include "raisederror.h"

namespace fotarik {

namespace {

const QString NotAListBox = QStringLiteral("Zugriff auf dieses Objekt verweigert. Objekt ist keine Listbox.");
const QString OutOfRange = QStringLiteral("Index außerhalb des gültigen Bereichs.");
const QString ReadFailed = QStringLiteral("Element konnte nicht ausgelesen werden.");
const QString SelectFailed = QStringLiteral("Konnte ListIndex nicht setzen.");

// The error code a message to something that is no list window leaves behind.
constexpr int32_t ErrInvalidWindowHandle = 1400;

bool isListBoxType(const QObject* object)
{
    return object &&
           QByteArrayView(object->metaObject()->className()).toByteArray().toLower().contains("listbox");
}

// The type check every operation starts with. A control that is named like a list box
// but offers no list access cannot be used either; readers report that as their read
// failure, the others as the type error.
ListBoxAccess* checkedList(QObject* list, const char* source)
{
    if (!isListBoxType(list))
        throw RaisedError(419, QString::fromLatin1(source), NotAListBox);
    return dynamic_cast<ListBoxAccess*>(list);
}

ListBoxAccess* requireList(QObject* list, const char* source)
{
    ListBoxAccess* access = checkedList(list, source);
    if (!access)
        throw RaisedError(419, QString::fromLatin1(source), NotAListBox);
    return access;
}

} // namespace

void AddItem(QObject* list, const QByteArray& text, int32_t index)
{
    ListBoxAccess* access = requireList(list, "mod_Listbox.AddItem");
    int32_t answer;
    if (index == -1 && access->isSorted())
        answer = access->addItemSorted(text);
    else
        answer = access->insertItem(index, text);
    if (answer == ListBoxAccess::Err) {
        // The list refused the entry outright: the walk cannot go on with a list that
        // no longer matches what was found, so the program ends here.
        qCritical("Fotarik: the list %s rejected an entry at index %d (error %d); ending the program.",
                  list->metaObject()->className(), index, access->lastError());
        std::abort();
    }
}

void ClearList(QObject* list)
{
    requireList(list, "mod_Listbox.ClearList")->clearItems();
}

int32_t GetListCount(QObject* list)
{
    return requireList(list, "mod_Listbox.GetListCount")->listCount();
}

int32_t GetListIndex(QObject* list)
{
    return requireList(list, "mod_Listbox.GetListCount")->currentListIndex();
}

QByteArray GetListItem(QObject* list, int32_t index)
{
    ListBoxAccess* access = checkedList(list, "mod_Listbox.GetListItem");
    if (!access)
        throw RaisedError(ErrInvalidWindowHandle, QStringLiteral("mod_ListBox.GetListItem"), ReadFailed);

    if (access->itemLength(index) < 0) {
        if (access->lastError() == ListBoxAccess::ErrInvalidIndex)
            throw RaisedError(ErrSubscriptOutOfRange, QStringLiteral("mod_Listbox.GetListItem"), OutOfRange);
        throw RaisedError(access->lastError(), QStringLiteral("mod_ListBox.GetListItem"), ReadFailed);
    }
    QByteArray text;
    if (!access->itemBytes(index, text))
        throw RaisedError(access->lastError(), QStringLiteral("mod_ListBox.GetListItem"), ReadFailed);
    return text;
}

void SetListIndex(QObject* list, int32_t index)
{
    const QString source = QStringLiteral("mod_Listbox.SetListIndex");
    ListBoxAccess* access = checkedList(list, "mod_Listbox.SetListIndex");
    if (!access)
        throw RaisedError(ErrInvalidWindowHandle, source, SelectFailed);

    if (access->setCurrentListIndex(index) == ListBoxAccess::Err && index != -1) {
        const int32_t code = access->lastError();
        if (code == ListBoxAccess::ErrInvalidIndex)
            throw RaisedError(ListBoxAccess::ErrInvalidIndex, source, OutOfRange);
        throw RaisedError(code, source, SelectFailed);
    }
}

} // namespace fotarik
