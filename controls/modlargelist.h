#pragma once
// The six operations on list boxes, with signed 32-bit indexes. Each first checks that
// the control's class name contains "listbox" (any letter case) and raises 419
// otherwise. Entries are byte strings: paths stay the file system's bytes.

#include <QByteArray>
#include <cstdint>

class QObject;

namespace fotarik {

void AddItem(QObject* list, const QByteArray& text, int32_t index = -1);
void ClearList(QObject* list);
int32_t GetListCount(QObject* list);
int32_t GetListIndex(QObject* list);
QByteArray GetListItem(QObject* list, int32_t index);
void SetListIndex(QObject* list, int32_t index);

} // namespace fotarik
