#include "modlargelist.h"

#include <QByteArrayView>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QtGlobal>
#include <cstdlib>

#include "errorcatalogue.h"
#include "listboxaccess.h"

namespace fotarik {

namespace {

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
    // A walk adds every hit to the same list: the answers for the list last asked about are
    // kept while it lives (the name check and the cross cast cost more than the entry).
    thread_local QPointer<QObject> lastList;
    thread_local bool lastIsListBox = false;
    thread_local ListBoxAccess* lastAccess = nullptr;
    if (!list || lastList.data() != list) {
        lastIsListBox = isListBoxType(list);
        lastAccess = lastIsListBox ? dynamic_cast<ListBoxAccess*>(list) : nullptr;
        lastList = list;
    }
    if (!lastIsListBox)
        raiseNotAListBox(source);
    return lastAccess;
}

ListBoxAccess* requireList(QObject* list, const char* source)
{
    ListBoxAccess* access = checkedList(list, source);
    if (!access)
        raiseNotAListBox(source);
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
    // Intended: the index is read under the count's source name, as the module always did.
    return requireList(list, "mod_Listbox.GetListCount")->currentListIndex();
}

QByteArray GetListItem(QObject* list, int32_t index)
{
    // Intended: the read failures name the source "mod_ListBox.GetListItem" with a capital
    // B, the type check and the range error "mod_Listbox.GetListItem".
    ListBoxAccess* access = checkedList(list, "mod_Listbox.GetListItem");
    if (!access)
        raiseListReadFailed();

    if (access->itemLength(index) < 0) {
        if (access->lastError() == ListBoxAccess::ErrInvalidIndex)
            raiseListIndexOutOfRange();
        raiseListReadFailed(access->lastError());
    }
    QByteArray text;
    if (!access->itemBytes(index, text))
        raiseListReadFailed(access->lastError());
    return text;
}

void SetListIndex(QObject* list, int32_t index)
{
    ListBoxAccess* access = checkedList(list, "mod_Listbox.SetListIndex");
    if (!access)
        raiseListIndexNotSet();
    if (access->setCurrentListIndex(index) == ListBoxAccess::Err && index != -1)
        raiseListIndexNotSet(access->lastError());
}

} // namespace fotarik
