#pragma once
// Reading the target out of a Windows shortcut file.

#include <QByteArray>

namespace fotarik {

// Shortcut files are a few KiB; only this much of one is read, so a huge or endless file
// under a shortcut's name costs nothing.
inline constexpr qint64 MaxShortcutBytes = 1024 * 1024;

// The target path a shortcut file holds, found by a plain byte search: the text from
// the drive letter before the second ":\" up to the next two NUL bytes. Empty when the
// file cannot be read (a pipe or device is not read at all) or holds no such text.
QByteArray ShortcutTarget(const QByteArray& shortcutFile);
QByteArray shortcutTargetFromBytes(const QByteArray& bytes);

} // namespace fotarik
