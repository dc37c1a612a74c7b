#pragma once
// Best-effort handlers run each of their steps through tryStep: a step that fails is
// logged and skipped, and the handler goes on with its next step. Nothing escapes a slot.
// The log is the category "fotarik.step", silent unless asked for:
// QT_LOGGING_RULES="fotarik.step.debug=true".

#include <QDebug>
#include <QLoggingCategory>
#include <exception>

#include "raisederror.h"

namespace fotarik {

Q_DECLARE_LOGGING_CATEGORY(lcStep)

template <typename Step> bool tryStep(const char* what, Step&& step) noexcept
{
    try {
        step();
        return true;
    } catch (const RaisedError& e) {
        qCDebug(lcStep).noquote() << "step skipped:" << what << "-" << e.what();
    } catch (const std::exception& e) {
        qCDebug(lcStep).noquote() << "step skipped:" << what << "-" << e.what();
    } catch (...) {
        qCDebug(lcStep).noquote() << "step skipped:" << what;
    }
    return false;
}

} // namespace fotarik
