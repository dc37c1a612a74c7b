#include "accessibility.h"

#include <QAbstractButton>
#include <QAbstractItemView>
#include <QAbstractScrollArea>
#include <QAbstractSlider>
#include <QAccessible>
#include <QAccessibleWidget>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QWidget>

namespace fotarik {
namespace {

// The role a widget is announced with when Qt's own choice is wrong for it.
constexpr const char* RoleProperty = "fotarikAccessibleRole";

// On Linux Qt announces a drop-down list by its current entry alone and leaves its name to a
// label relation; one without a label beside it is announced by the name it was given, and
// its entry as its value.
class NamedComboBox : public QAccessibleWidget
{
public:
    explicit NamedComboBox(QComboBox* box) : QAccessibleWidget(box, QAccessible::ComboBox) {}
    QString text(QAccessible::Text t) const override
    {
        const auto* box = static_cast<const QComboBox*>(widget());
        if (t == QAccessible::Name)
            return box->accessibleName();
        if (t == QAccessible::Value)
            return box->currentText();
        return QAccessibleWidget::text(t);
    }
};

QAccessibleInterface* roleFactory(const QString&, QObject* object)
{
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    if (auto* box = qobject_cast<QComboBox*>(widget); box && widget->property(RoleProperty).isValid())
        return new NamedComboBox(box);
    const QVariant role = widget->property(RoleProperty);
    if (!role.isValid())
        return nullptr;
    // Only plain containers take this route; controls keep Qt's own interfaces.
    const QMetaObject* meta = widget->metaObject();
    if (meta->inherits(&QAbstractButton::staticMetaObject) ||
        meta->inherits(&QAbstractScrollArea::staticMetaObject))
        return nullptr;
    return new QAccessibleWidget(widget, QAccessible::Role(role.toInt()));
}

void installFactoryOnce()
{
    static const bool installed = [] {
        QAccessible::installFactory(roleFactory);
        return true;
    }();
    Q_UNUSED(installed);
}

bool isControl(const QWidget* w)
{
    return qobject_cast<const QAbstractButton*>(w) || qobject_cast<const QAbstractItemView*>(w) ||
           qobject_cast<const QAbstractSlider*>(w) || qobject_cast<const QLineEdit*>(w) ||
           qobject_cast<const QAbstractScrollArea*>(w) || qobject_cast<const QComboBox*>(w) ||
           qobject_cast<const QGroupBox*>(w);
}

QString caption(const QWidget* w)
{
    QString text;
    if (const auto* button = qobject_cast<const QAbstractButton*>(w))
        text = button->text();
    else if (const auto* group = qobject_cast<const QGroupBox*>(w))
        text = group->title();
    return text.remove(u'&').trimmed();
}

} // namespace

void announceAsPanel(QWidget* container)
{
    installFactoryOnce();
    container->setProperty(RoleProperty, int(QAccessible::Pane));
}

void nameControlsForAssistiveTechnology(QWidget* window, const QHash<QString, QString>& names)
{
    installFactoryOnce();
    window->setProperty(RoleProperty, int(QAccessible::Window));
    for (QWidget* w : window->findChildren<QWidget*>()) {
        const QString design = w->objectName();
        if (names.contains(design)) {
            if (qobject_cast<QComboBox*>(w)) {
                w->setProperty(RoleProperty, int(QAccessible::ComboBox));
                // Qt may have made its interface already (while the list was filled): the
                // next request makes the named one.
                if (QAccessibleInterface* made = QAccessible::queryAccessibleInterface(w))
                    QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
            }
            w->setAccessibleName(names.value(design));
        } else if ((isControl(w) || w->property(RoleProperty).isValid()) && w->accessibleName().isEmpty() &&
                   caption(w).isEmpty() && !design.isEmpty() && !design.startsWith(QLatin1String("qt_")))
            w->setAccessibleName(design);
        // A tooltip says what the control is for.
        if (isControl(w) && w->accessibleDescription().isEmpty() && !w->toolTip().isEmpty())
            w->setAccessibleDescription(w->toolTip());
    }
}

} // namespace fotarik
