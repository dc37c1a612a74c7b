#include "qmessageboxseam.h"

#include <QMessageBox>

#include "messagebox.h"

namespace fotarik {
namespace {

class QMessageBoxSeam : public MessageSeam
{
public:
    void show(QWidget* parent, const Message& m) override
    {
        QMessageBox box(parent);
        box.setWindowTitle(m.caption);
        box.setText(m.text);
        switch (m.icon) {
        case MsgIcon::Information:
            box.setIcon(QMessageBox::Information);
            break;
        case MsgIcon::Warning:
            box.setIcon(QMessageBox::Warning);
            break;
        case MsgIcon::Critical:
            box.setIcon(QMessageBox::Critical);
            break;
        case MsgIcon::Question:
            box.setIcon(QMessageBox::Question);
            break;
        case MsgIcon::None:
            break;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    }
};

} // namespace

void installMessageBoxSeam()
{
    static QMessageBoxSeam seam;
    setDefaultMessageSeam(&seam);
}

} // namespace fotarik
