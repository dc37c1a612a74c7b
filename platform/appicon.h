#pragma once
// The program's icon, drawn from the same picture the installed icons are rendered from, so
// a window carries it also when Fotarik runs uninstalled.

#include <QIcon>

namespace fotarik {

QIcon appIcon();

} // namespace fotarik
