#pragma once
// The program's message boxes: the QMessageBox behind the message seam.

namespace fotarik {

// Makes QMessageBox the default message seam; call once a QApplication exists.
void installMessageBoxSeam();

} // namespace fotarik
