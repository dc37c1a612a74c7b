#pragma once
// Test double of the message seam: records every message instead of showing it.

#include <vector>

#include "messagebox.h"

namespace fotarik {

// Installs itself while it lives.
class CapturingMessageSeam : public MessageSeam
{
public:
    CapturingMessageSeam() { m_previous = setMessageSeam(this); }
    ~CapturingMessageSeam() override { setMessageSeam(m_previous); }
    CapturingMessageSeam(const CapturingMessageSeam&) = delete;
    CapturingMessageSeam& operator=(const CapturingMessageSeam&) = delete;
    void show(QWidget*, const Message& message) override { messages.push_back(message); }

    std::vector<Message> messages;

private:
    MessageSeam* m_previous = nullptr;
};

} // namespace fotarik
