#pragma once
// The list-box semantics over the standard item widgets that the drive, folder and file
// lists are built on, so the large-list access accepts them like the found list.

#include <QComboBox>
#include <QFile>
#include <QListWidget>

#include "listboxaccess.h"

namespace fotarik {

// Rows of a QListWidget or QComboBox: Items must offer count(), itemText-like access
// through the two small adapters below.
template <typename Adapter> class WidgetListAccess : public ListBoxAccess
{
public:
    int32_t listCount() const override { return Adapter::count(self()); }
    int32_t insertItem(int32_t index, const QByteArray& text) override
    {
        const int32_t n = listCount();
        if (index < -1 || index > n) {
            setLastError(ErrInvalidIndex);
            return Err;
        }
        const int32_t at = index == -1 ? n : index;
        Adapter::insert(self(), at, QFile::decodeName(text));
        return at;
    }
    int32_t addItemSorted(const QByteArray& text) override
    {
        const QString t = QFile::decodeName(text);
        int32_t at = 0;
        const int32_t n = listCount();
        while (at < n && QString::compare(Adapter::text(self(), at), t, Qt::CaseInsensitive) <= 0)
            ++at;
        Adapter::insert(self(), at, t);
        return at;
    }
    bool isSorted() const override { return false; }
    void clearItems() override { Adapter::clear(self()); }
    int32_t currentListIndex() const override { return Adapter::current(self()); }
    int32_t setCurrentListIndex(int32_t index) override
    {
        if (index == -1) {
            Adapter::setCurrent(self(), -1);
            return Err;
        }
        if (index < 0 || index >= listCount()) {
            setLastError(ErrInvalidIndex);
            return Err;
        }
        Adapter::setCurrent(self(), index);
        return index;
    }
    int32_t itemLength(int32_t index) const override
    {
        if (index < 0 || index >= listCount()) {
            setLastError(ErrInvalidIndex);
            return Err;
        }
        return static_cast<int32_t>(QFile::encodeName(Adapter::text(self(), index)).size());
    }
    bool itemBytes(int32_t index, QByteArray& out) const override
    {
        if (index < 0 || index >= listCount()) {
            setLastError(ErrInvalidIndex);
            return false;
        }
        out = QFile::encodeName(Adapter::text(self(), index));
        return true;
    }

private:
    typename Adapter::Widget* self() const
    {
        return dynamic_cast<typename Adapter::Widget*>(const_cast<WidgetListAccess*>(this));
    }
};

struct ListWidgetAdapter
{
    using Widget = QListWidget;
    static int32_t count(QListWidget* w) { return w->count(); }
    static void insert(QListWidget* w, int32_t at, const QString& t) { w->insertItem(at, t); }
    static QString text(QListWidget* w, int32_t i) { return w->item(i)->text(); }
    static void clear(QListWidget* w) { w->clear(); }
    static int32_t current(QListWidget* w) { return w->currentRow(); }
    static void setCurrent(QListWidget* w, int32_t i) { w->setCurrentRow(i); }
};

struct ComboBoxAdapter
{
    using Widget = QComboBox;
    static int32_t count(QComboBox* w) { return w->count(); }
    static void insert(QComboBox* w, int32_t at, const QString& t) { w->insertItem(at, t); }
    static QString text(QComboBox* w, int32_t i) { return w->itemText(i); }
    static void clear(QComboBox* w) { w->clear(); }
    static int32_t current(QComboBox* w) { return w->currentIndex(); }
    static void setCurrent(QComboBox* w, int32_t i) { w->setCurrentIndex(i); }
};

} // namespace fotarik
