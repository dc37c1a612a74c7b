#pragma once
// The window designs name Windows font families. Substitutes are registered once at
// start-up so the fallback is deliberate, and the designs' fractional point sizes
// (which Designer files cannot hold) are applied from each widget's "designPointSize".

class QWidget;

namespace fotarik {

void registerFontSubstitutions();
void applyDesignFonts(QWidget* root);

} // namespace fotarik
