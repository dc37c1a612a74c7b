#pragma once
// A scroll bar that the keyboard and the mouse wheel step the way a standard scroll bar
// does: it takes the focus (Tab or a click), the arrow keys make one small step (Left
// and Up toward the minimum, Right and Down toward the maximum), Page Up and Page Down
// one large step, Home and End go to the ends, and each notch of the wheel is one small
// step. Every step reaches the bar as the arrow or page action itself, so a long-range
// scroll bar attached to it tells the step from a thumb move.

class QScrollBar;

namespace fotarik {

void stepWithKeysAndWheel(QScrollBar* bar);

} // namespace fotarik
