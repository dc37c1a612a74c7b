#pragma once
// The window designs name Windows font families. Substitutes are registered once at
// start-up so the fallback is deliberate, and the designs' fractional point sizes
// (which Designer files cannot hold) are applied from each widget's "designPointSize".

class QLabel;
class QWidget;

namespace fotarik {

void registerFontSubstitutions();
void applyDesignFonts(QWidget* root);

// The designed widths fit the original fonts; a substitute may need a few pixels more,
// and a label then grows to its text rather than cutting it off. Never narrower than
// designed.
void widenToText(QLabel* label);

} // namespace fotarik
