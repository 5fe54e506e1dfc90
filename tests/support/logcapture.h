#pragma once

#include "log.h"

#include <QString>
#include <QStringList>

#include <string>

namespace zc::test {

// A log whose lines the test can read back.
class LogCapture
{
    // Declared before the log, which flushes into it when destroyed.
    std::string m_text;

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
};

} // namespace zc::test
