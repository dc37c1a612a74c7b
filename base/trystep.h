#pragma once
// Best-effort handlers run each of their steps through tryStep: a step that fails is
// logged and skipped, and the handler goes on with its next step. Nothing escapes a slot.

#include <QDebug>
#include <exception>

#include "raisederror.h"

namespace fotarik {

template <typename Step> bool tryStep(const char* what, Step&& step) noexcept
{
    try {
        step();
        return true;
    } catch (const RaisedError& e) {
        qDebug().noquote() << "step skipped:" << what << "-" << e.what();
    } catch (const std::exception& e) {
        qDebug().noquote() << "step skipped:" << what << "-" << e.what();
    } catch (...) {
        qDebug().noquote() << "step skipped:" << what;
    }
    return false;
}

} // namespace fotarik
