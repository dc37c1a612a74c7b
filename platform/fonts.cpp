#include "fonts.h"

#include <QFont>
#include <QLabel>
#include <QVariant>
#include <QWidget>
#include <algorithm>

namespace fotarik {

void registerFontSubstitutions()
{
    // Liberation Sans keeps Arial's metrics, the closest common face to the old
    // bitmap sans fonts; DejaVu Sans descends from Bitstream Vera, Verdana's sibling.
    QFont::insertSubstitutions(QStringLiteral("MS Sans Serif"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Small Fonts"),
                               {QStringLiteral("Liberation Sans"), QStringLiteral("DejaVu Sans")});
    QFont::insertSubstitutions(QStringLiteral("Verdana"),
                               {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")});
    QFont::insertSubstitutions(QStringLiteral("Times New Roman"),
                               {QStringLiteral("Liberation Serif"), QStringLiteral("DejaVu Serif")});
}

void applyDesignFonts(QWidget* root)
{
    auto apply = [](QWidget* w) {
        const QVariant size = w->property("designPointSize");
        if (!size.isValid())
            return;
        QFont f = w->font();
        f.setPointSizeF(size.toDouble());
        w->setFont(f);
    };
    apply(root);
    for (QWidget* w : root->findChildren<QWidget*>())
        apply(w);
}

void widenToText(QLabel* label)
{
    const int needed =
        std::max(label->fontMetrics().horizontalAdvance(label->text()) + 2, label->sizeHint().width());
    if (needed > label->width())
        label->resize(needed, label->height());
}

} // namespace fotarik
