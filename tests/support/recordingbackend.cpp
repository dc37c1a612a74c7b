#include "recordingbackend.h"

namespace fotarik {

RecordingBackend::RecordingBackend()
{
    m_previous = setMediaBackend(this);
}

RecordingBackend::~RecordingBackend()
{
    setMediaBackend(m_previous);
}

uint32_t RecordingBackend::openDevice(MediaDeviceId id, const QByteArray& path)
{
    m_log.append("open #" + QByteArray::number(id) + ' ' + path + " = " + QByteArray::number(failOpensWith));
    return failOpensWith;
}

uint32_t RecordingBackend::playDevice(MediaDeviceId id, std::optional<int64_t> fromMs)
{
    m_log.append("play #" + QByteArray::number(id) + (fromMs ? " from " + QByteArray::number(*fromMs) : "") +
                 " = " + QByteArray::number(failPlaysWith));
    return failPlaysWith;
}

void RecordingBackend::stopDevice(MediaDeviceId id)
{
    m_log.append("stop #" + QByteArray::number(id));
}

void RecordingBackend::closeDevice(MediaDeviceId id)
{
    m_log.append("close #" + QByteArray::number(id));
}

bool RecordingBackend::playWave(const QByteArray& path)
{
    m_log.append("wave " + path);
    return true;
}

void RecordingBackend::stopWave()
{
    m_log.append("stop wave");
}

void RecordingBackend::commandDone(const char* call, const QByteArray& command, uint32_t result)
{
    m_log.append(QByteArray(call) + '(' + command + ") = " + QByteArray::number(result));
    m_isCommand.resize(size_t(m_log.size() - 1), false);
    m_isCommand.push_back(true);
}

QByteArrayList RecordingBackend::entries(bool commands) const
{
    QByteArrayList out;
    for (qsizetype i = 0; i < m_log.size(); ++i) {
        const bool isCommand = size_t(i) < m_isCommand.size() && m_isCommand[size_t(i)];
        if (isCommand == commands)
            out.append(m_log[i]);
    }
    return out;
}

} // namespace fotarik
