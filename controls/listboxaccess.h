#pragma once
// What a list box offers to the large-list access: the Windows list-box semantics with
// signed 32-bit indexes and byte-string entries. Every list widget of the program (the
// found list, the drive, folder and file lists) inherits it next to its QWidget base, and
// its Qt class name contains "ListBox" so that the access accepts it.

#include <QByteArray>
#include <QByteArrayView>
#include <cstdint>
#include <functional>

#include "errorcatalogue.h"

namespace fotarik {

class ListBoxAccess
{
public:
    // Answers of the inserting and selecting operations.
    static constexpr int32_t Err = -1;      // rejected, see lastError()
    static constexpr int32_t ErrSpace = -2; // out of space
    // Last-error code for an index outside the list.
    static constexpr int32_t ErrInvalidIndex = ErrInvalidListIndex;

    virtual ~ListBoxAccess() = default;

    virtual int32_t listCount() const = 0;

    // Inserts text at index, 0..count; -1 appends. Returns the new entry's position, Err
    // (last error 1413) for any other index, or ErrSpace.
    virtual int32_t insertItem(int32_t index, const QByteArray& text) = 0;
    // Inserts text at its place in the list's sort order. Returns as insertItem.
    virtual int32_t addItemSorted(const QByteArray& text) = 0;
    virtual bool isSorted() const = 0;
    virtual void clearItems() = 0;

    // The selected entry, -1 when none.
    virtual int32_t currentListIndex() const = 0;
    // Selects the entry at index and returns index. -1 removes the selection and answers
    // Err; an index outside the list answers Err with last error 1413 and changes nothing.
    virtual int32_t setCurrentListIndex(int32_t index) = 0;

    // Byte length of an entry, or Err with last error 1413 for an index outside the list.
    virtual int32_t itemLength(int32_t index) const = 0;
    // Copies an entry's bytes into out; false with last error 1413 for an index outside.
    virtual bool itemBytes(int32_t index, QByteArray& out) const = 0;

    // Calls fn for every entry in order. The view is only valid during the call. Lists
    // that hold their bytes contiguously override this to avoid one copy per entry.
    virtual void forEachItem(const std::function<void(int32_t, QByteArrayView)>& fn) const
    {
        QByteArray bytes;
        const int32_t n = listCount();
        for (int32_t i = 0; i < n; ++i)
            if (itemBytes(i, bytes))
                fn(i, bytes);
    }

    // The list's tracker of entry widths, if it keeps one.
    virtual class ListWidthTracker* widthTracker() const { return nullptr; }

    // Horizontal scroll range in pixels (0: none). Lists that cannot scroll sideways
    // may ignore it.
    virtual void setListHorizontalExtent(int32_t pixels) { (void)pixels; }

    // The code the last failed operation left, as the platform's last-error value.
    int32_t lastError() const { return m_lastError; }

protected:
    void setLastError(int32_t code) const { m_lastError = code; }

private:
    mutable int32_t m_lastError = 0;
};

} // namespace fotarik
