#pragma once
// A scroll bar with a signed 32-bit range over a QScrollBar whose own range is kept at
// 0..32767. Value assignments move the client's thumb proportionally; user actions on
// the client (arrow, page, thumb) change the 32-bit Value. Change is raised on every
// Value assignment, also when the value does not change.

#include <QObject>
#include <QPointer>
#include <cstdint>

class QScrollBar;

namespace fotarik {

class CLongScroll : public QObject
{
    Q_OBJECT
    Q_PROPERTY(int Min READ Min WRITE setMin)
    Q_PROPERTY(int Max READ Max WRITE setMax)
    Q_PROPERTY(int SmallChange READ SmallChange WRITE setSmallChange)
    Q_PROPERTY(int LargeChange READ LargeChange WRITE setLargeChange)
    Q_PROPERTY(int Value READ Value WRITE setValue)

public:
    explicit CLongScroll(QObject* parent = nullptr);

    QObject* Client() const;
    // Attaches a horizontal or vertical QScrollBar (or none). Anything else raises
    // -2147220991 "Client object must be a scrollbar." and keeps the previous client.
    void setClient(QObject* client);

    int32_t Max() const { return m_Max; }
    void setMax(int32_t v);
    int32_t Min() const { return m_Min; }
    void setMin(int32_t v);
    int32_t LargeChange() const { return m_LargeChange; }
    void setLargeChange(int32_t v) { m_LargeChange = v; }
    int32_t SmallChange() const { return m_SmallChange; }
    void setSmallChange(int32_t v) { m_SmallChange = v; }
    int32_t Value() const { return m_Value; }
    // Needs an attached client (error 91 otherwise, before m_Value changes).
    void setValue(int32_t v);

signals:
    void Change();
    void Scroll();

private:
    void OnClientChange();
    void OnClientScroll();
    void ReadClient();
    void WriteClientValue();
    void mapValueToClient();
    void mapClientToValue();

    QPointer<QScrollBar> m_Client;
    QPointer<QScrollBar> m_ClientH;
    QPointer<QScrollBar> m_ClientV;
    int32_t m_Min = 0;
    int32_t m_Max = 32767;
    int32_t m_SmallChange = 1;
    int32_t m_LargeChange = 1;
    int32_t m_Value = 0;
    int16_t m_ClientValue = 0;
    int16_t m_ClientMin = 0;
    int16_t m_ClientMax = 0;
    int16_t m_ClientSmallChange = 0;
    int16_t m_ClientLargeChange = 0;
    int16_t m_Updating = 0;
};

} // namespace fotarik
