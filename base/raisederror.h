#pragma once
// The one error type of the program: a number, a source and a German description,
// raised by the reusable layers where a caller must learn about misuse. The errors the
// program raises itself are listed, with their texts, in errorcatalogue.h.

#include <QString>
#include <cstdint>
#include <exception>
#include <string>

namespace fotarik {

class RaisedError : public std::exception
{
public:
    RaisedError(int32_t number, QString source, QString description)
        : m_number(number), m_source(std::move(source)), m_description(std::move(description)),
          m_what(QStringLiteral("%1 (%2): %3").arg(m_number).arg(m_source, m_description).toStdString())
    {
    }

    int32_t number() const noexcept { return m_number; }
    const QString& source() const noexcept { return m_source; }
    const QString& description() const noexcept { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    int32_t m_number;
    QString m_source;
    QString m_description;
    std::string m_what;
};

} // namespace fotarik
