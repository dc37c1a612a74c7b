#include "clongscroll.h"

#include <QScrollBar>
#include <cmath>
#include <cstdlib>

#include "errorcatalogue.h"
#include "trystep.h"
#include "vbmath.h"

namespace fotarik {

namespace {

// 32-bit arithmetic that raises the overflow error instead of wrapping.
int32_t checked32(int64_t v)
{
    if (v < INT32_MIN || v > INT32_MAX)
        raiseOverflow("CLongScroll");
    return static_cast<int32_t>(v);
}

int16_t checked16(int32_t v)
{
    if (v < INT16_MIN || v > INT16_MAX)
        raiseOverflow("CLongScroll");
    return static_cast<int16_t>(v);
}

// Sets a flag for the duration of a scope, also when the scope is left by an error.
class UpdatingScope
{
public:
    explicit UpdatingScope(int16_t& flag) : m_flag(flag) { m_flag = -1; }
    ~UpdatingScope() { m_flag = 0; }
    UpdatingScope(const UpdatingScope&) = delete;
    UpdatingScope& operator=(const UpdatingScope&) = delete;

private:
    int16_t& m_flag;
};

} // namespace

CLongScroll::CLongScroll(QObject* parent) : QObject(parent) {}

QObject* CLongScroll::Client() const
{
    return m_Client.data();
}

void CLongScroll::setClient(QObject* client)
{
    auto* bar = qobject_cast<QScrollBar*>(client);
    if (client && !bar)
        raiseNotAScrollBar();

    if (m_Client)
        disconnect(m_Client, nullptr, this, nullptr);
    m_Client = bar;
    m_ClientH = bar && bar->orientation() == Qt::Horizontal ? bar : nullptr;
    m_ClientV = bar && bar->orientation() == Qt::Vertical ? bar : nullptr;
    if (!bar)
        return;

    // Without tracking the client reports a value change for arrow and page clicks,
    // programmatic sets and the release of a dragged thumb, and only sliderMoved while
    // the thumb is dragged: the two events of a classic scroll bar.
    bar->setTracking(false);
    bar->setMinimum(0);
    bar->setMaximum(32767);
    bar->setSingleStep(1);
    bar->setPageStep(10);
    {
        UpdatingScope updating(m_Updating);
        bar->setValue(0);
    }
    // Connected last, so that resetting the client's range raises no Change of ours.
    connect(bar, &QAbstractSlider::valueChanged, this,
            [this] { tryStep("long scroll bar: client change", [this] { OnClientChange(); }); });
    connect(bar, &QAbstractSlider::sliderMoved, this,
            [this] { tryStep("long scroll bar: client scroll", [this] { OnClientScroll(); }); });
}

void CLongScroll::setMax(int32_t v)
{
    m_Max = v;
    if (m_Min < v) {
        if (m_Value > v)
            setValue(v);
    } else if (m_Min > v) {
        if (m_Value > m_Min)
            setValue(m_Min);
    } else if (m_Value != v) {
        setValue(v);
    }
}

void CLongScroll::setMin(int32_t v)
{
    m_Min = v;
    if (v < m_Max) {
        if (m_Value < v)
            setValue(v);
    } else if (v > m_Max) {
        if (m_Value < m_Max)
            setValue(v);
    } else if (m_Value != v) {
        setValue(v);
    }
}

void CLongScroll::setValue(int32_t v)
{
    if (!m_Client)
        raiseObjectVariableNotSet("CLongScroll");
    ReadClient();
    const int32_t lo = std::min(m_Min, m_Max);
    const int32_t hi = std::max(m_Min, m_Max);
    m_Value = std::clamp(v, lo, hi);
    mapValueToClient();
    WriteClientValue();
    emit Change();
}

void CLongScroll::OnClientChange()
{
    if (m_Updating || !m_Client)
        return;
    int32_t delta = m_Client->sliderPosition() - m_ClientValue;
    ReadClient();
    if (m_Min > m_Max)
        delta = -delta;

    const int32_t distance = std::abs(delta);
    const int32_t sign = delta < 0 ? -1 : 1;
    int32_t step = 0;
    bool stepped = true;
    if (distance == m_ClientLargeChange)
        step = checked32(int64_t(sign) * m_LargeChange);
    else if (distance == m_ClientSmallChange)
        step = checked32(int64_t(sign) * m_SmallChange);
    else
        stepped = false;

    if (stepped) {
        const int32_t moved = checked32(int64_t(m_Value) + step);
        m_Value = std::clamp(moved, std::min(m_Min, m_Max), std::max(m_Min, m_Max));
        mapValueToClient();
    } else {
        mapClientToValue();
    }
    WriteClientValue();
    emit Change();
}

void CLongScroll::OnClientScroll()
{
    ReadClient();
    mapClientToValue();
    emit Scroll();
}

void CLongScroll::ReadClient()
{
    // While the thumb is dragged without tracking, the thumb's place is the client's
    // position; otherwise it equals the client's value.
    m_ClientValue = checked16(m_Client->sliderPosition());
    m_ClientMin = checked16(m_Client->minimum());
    m_ClientMax = checked16(m_Client->maximum());
    m_ClientSmallChange = checked16(m_Client->singleStep());
    m_ClientLargeChange = checked16(m_Client->pageStep());
}

void CLongScroll::WriteClientValue()
{
    // The thumb rests at an end of its track only while Value is at that end.
    if (m_ClientValue == m_ClientMin && m_Value > m_Min)
        m_ClientValue = checked16(int32_t(m_ClientMin) + 1);
    else if (m_ClientValue == m_ClientMax && m_Value < m_Max)
        m_ClientValue = checked16(int32_t(m_ClientMax) - 1);
    UpdatingScope updating(m_Updating);
    m_Client->setValue(m_ClientValue);
}

void CLongScroll::mapValueToClient()
{
    const int32_t lo = std::min(m_Min, m_Max);
    const int32_t range = checked32(std::abs(int64_t(m_Max) - int64_t(m_Min)));
    const double clientRange = std::abs(double(m_ClientMax) - double(m_ClientMin));
    const double ratio = range == 0 ? 0.0 : std::abs(double(m_Value) - double(lo)) / double(range);
    if (m_Min > m_Max)
        m_ClientValue = round16(double(m_ClientMax) - clientRange * ratio);
    else
        m_ClientValue = round16(double(m_ClientMin) + clientRange * ratio);
}

void CLongScroll::mapClientToValue()
{
    const int32_t lo = std::min(m_Min, m_Max);
    const int32_t hi = std::max(m_Min, m_Max);
    const int32_t range = checked32(std::abs(int64_t(m_Max) - int64_t(m_Min)));
    const int32_t clientRange = std::abs(int32_t(m_ClientMax) - int32_t(m_ClientMin));
    const double ratio =
        clientRange == 0 ? 0.0 : std::abs(double(m_ClientValue) - double(m_ClientMin)) / double(clientRange);
    if (m_Min > m_Max)
        m_Value = round32(double(hi) - double(range) * ratio);
    else
        m_Value = round32(double(lo) + double(range) * ratio);
}

} // namespace fotarik
