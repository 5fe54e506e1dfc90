#pragma once

#include "log.h"

#include <QString>
#include <QStringList>

#include <string>

namespace zc::test {

// A log whose lines the test can read back.
class LogCapture
{
public:
    Log log{[this](std::string_view data) { m_text.append(data); }};

    QStringList lines()
    {
        log.flush();
        QStringList result = QString::fromStdString(m_text).split(u'\n');
        result.removeLast();
        return result;
    }
    void clear()
    {
        log.flush();
        m_text.clear();
    }

private:
    std::string m_text;
};

} // namespace zc::test
