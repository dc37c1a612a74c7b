#pragma once
// Every modal message of the program goes through one seam, so tests can capture
// text, caption and icon instead of showing a box. The seam needs no widgets: the
// program installs the QMessageBox one at start (platform/qmessageboxseam.h); until a
// seam is installed, messages go to the log.

#include <QString>

class QWidget;

namespace fotarik {

enum class MsgIcon { None, Information, Warning, Critical, Question };

struct Message
{
    QString text;
    QString caption;
    MsgIcon icon = MsgIcon::None;
};

class MessageSeam
{
public:
    virtual ~MessageSeam() = default;
    virtual void show(QWidget* parent, const Message& message) = 0;
};

// The application title, the caption of every box that names none of its own.
inline QString appTitle()
{
    return QStringLiteral("Fotarik");
}

// Shows a modal box with an OK button (through the installed seam).
void showMessage(const QString& text, const QString& caption = appTitle(), MsgIcon icon = MsgIcon::None,
                 QWidget* parent = nullptr);

// Installs a seam; nullptr restores the default one. Returns the previous seam.
MessageSeam* setMessageSeam(MessageSeam* seam);

// Sets the seam that nullptr restores (the program's message boxes); nullptr logs.
void setDefaultMessageSeam(MessageSeam* seam);

} // namespace fotarik
