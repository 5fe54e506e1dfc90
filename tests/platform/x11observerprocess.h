#pragma once

#include <QPoint>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

#include <algorithm>
#include <optional>

namespace zc::test {

// The test's independent X client (x11observer), run as a process of its own: it reports every
// key, button and motion event that reaches its full-screen window, and the pointer on request.
class X11ObserverProcess
{
public:
    struct Pointer
    {
        QPoint position;
        unsigned mask = 0;
    };

    ~X11ObserverProcess()
    {
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(5000))
            m_process.kill();
        m_process.waitForFinished(5000);
    }

    // False unless the observer holds the focus and listens.
    bool start(const QString &display)
    {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        m_process.setProcessEnvironment(environment);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        QObject::connect(&m_process, &QProcess::readyReadStandardOutput, &m_process,
                         [this] { readLines(); });
        m_process.start(QStringLiteral(ZC_X11OBSERVER), {});
        if (!m_process.waitForStarted(10000))
            return false;
        while (!m_lines.contains(QStringLiteral("ready"))) {
            if (!m_process.waitForReadyRead(20000))
                return false;
        }
        m_lines.clear();
        return true;
    }

    // Everything reported so far, one event a line.
    QStringList lines() const { return m_lines; }
    void clear() { m_lines.clear(); }

    // Asks the server where the pointer is; absent when the observer does not answer.
    std::optional<Pointer> where()
    {
        const auto isAnswer = [](const QString &line) { return line.startsWith(u"pointer "); };
        m_lines.removeIf(isAnswer);
        m_process.write("where\n");
        for (;;) {
            const auto answer = std::find_if(m_lines.cbegin(), m_lines.cend(), isAnswer);
            if (answer != m_lines.cend()) {
                const QStringList fields = answer->split(u' ');
                m_lines.removeIf(isAnswer);
                return Pointer{QPoint(fields[1].toInt(), fields[2].toInt()),
                               fields[3].toUInt(nullptr, 16)};
            }
            if (!m_process.waitForReadyRead(5000))
                return std::nullopt;
        }
    }

private:
    void readLines()
    {
        m_buffer += m_process.readAllStandardOutput();
        for (qsizetype end; (end = m_buffer.indexOf('\n')) >= 0;) {
            m_lines.append(QString::fromLatin1(m_buffer.first(end)));
            m_buffer.remove(0, end + 1);
        }
    }

    QProcess m_process;
    QByteArray m_buffer;
    QStringList m_lines;
};

} // namespace zc::test
