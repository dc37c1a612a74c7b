#pragma once
// Every modal message of the program goes through one seam, so tests can capture
// text, caption and icon instead of showing a box.

#include <QString>
#include <vector>

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
inline QString appTitle() { return QStringLiteral("Fotarik"); }

// Shows a modal box with an OK button (through the installed seam).
void showMessage(const QString& text, const QString& caption = appTitle(), MsgIcon icon = MsgIcon::None,
                 QWidget* parent = nullptr);

// Installs a seam; nullptr restores the default QMessageBox one. Returns the previous seam.
MessageSeam* setMessageSeam(MessageSeam* seam);

// A seam that records every message instead of showing it (tests, headless runs).
class CapturingMessageSeam : public MessageSeam
{
public:
    CapturingMessageSeam() { m_previous = setMessageSeam(this); }
    ~CapturingMessageSeam() override { setMessageSeam(m_previous); }
    void show(QWidget*, const Message& message) override { messages.push_back(message); }

    std::vector<Message> messages;

private:
    MessageSeam* m_previous = nullptr;
};

} // namespace fotarik
