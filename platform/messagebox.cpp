#include "messagebox.h"

#include <QMessageBox>

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
        case MsgIcon::Information: box.setIcon(QMessageBox::Information); break;
        case MsgIcon::Warning: box.setIcon(QMessageBox::Warning); break;
        case MsgIcon::Critical: box.setIcon(QMessageBox::Critical); break;
        case MsgIcon::Question: box.setIcon(QMessageBox::Question); break;
        case MsgIcon::None: break;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
    }
};

QMessageBoxSeam g_defaultSeam;
MessageSeam* g_seam = &g_defaultSeam;

} // namespace

void showMessage(const QString& text, const QString& caption, MsgIcon icon, QWidget* parent)
{
    g_seam->show(parent, Message{text, caption, icon});
}

MessageSeam* setMessageSeam(MessageSeam* seam)
{
    MessageSeam* previous = g_seam;
    g_seam = seam ? seam : &g_defaultSeam;
    return previous;
}

} // namespace fotarik
