#include "messagebox.h"

#include <QDebug>

namespace fotarik {
namespace {

// Without a window system (the terminal modes, a test that captures nothing) a message
// is written to the log instead of blocking on a box nobody can see.
class LogSeam : public MessageSeam
{
public:
    void show(QWidget*, const Message& m) override
    {
        qWarning().noquote() << "message:" << m.caption << "-" << m.text;
    }
};

LogSeam g_logSeam;
MessageSeam* g_defaultSeam = &g_logSeam;
MessageSeam* g_seam = nullptr; // nullptr: the default seam

} // namespace

void showMessage(const QString& text, const QString& caption, MsgIcon icon, QWidget* parent)
{
    (g_seam ? g_seam : g_defaultSeam)->show(parent, Message{text, caption, icon});
}

MessageSeam* setMessageSeam(MessageSeam* seam)
{
    MessageSeam* previous = g_seam;
    g_seam = seam;
    return previous;
}

void setDefaultMessageSeam(MessageSeam* seam)
{
    g_defaultSeam = seam ? seam : &g_logSeam;
}

} // namespace fotarik
