#include "trystep.h"

namespace fotarik {

// Skipped steps are the program's ordinary course (a vanished file, a list that changed), so
// the category speaks only when asked to.
Q_LOGGING_CATEGORY(lcStep, "fotarik.step", QtInfoMsg)

} // namespace fotarik
