#pragma once
// What assistive technology (a screen reader, through AT-SPI) hears of a window: every
// control has a name (its caption, the label beside it, else its design name) and the role of
// what it is; the top-level windows are frames, the picture boxes panels.

#include <QHash>
#include <QString>

class QWidget;

namespace fotarik {

// Names the controls of window: those in names (design name -> spoken name) as given, every
// other control without a caption of its own by its design name. Makes window a frame.
void nameControlsForAssistiveTechnology(QWidget* window, const QHash<QString, QString>& names);

// Marks a container widget (a picture box) as a panel.
void announceAsPanel(QWidget* container);

} // namespace fotarik
