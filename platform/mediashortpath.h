#pragma once
// What stands in for the short (8.3) form of a path: Linux has none, so a path is its own
// short form when the file exists.

#include <QByteArray>

namespace fotarik {

// The short form of longPath, or an empty array (length 0) when the file does not exist.
// There is no length limit.
QByteArray getShortPathName(const QByteArray& longPath);

} // namespace fotarik
