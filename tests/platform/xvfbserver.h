#pragma once

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

namespace zc::test {

// A private Xvfb for one test, on a display number the server picks itself among the free ones.
class XvfbServer
{
public:
    static QString executable() { return QStandardPaths::findExecutable(QStringLiteral("Xvfb")); }

    ~XvfbServer() { stop(); }

    // True once the server has exited.
    bool stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return true;
        m_process.terminate();
        if (m_process.waitForFinished(5000))
            return true;
        m_process.kill();
        return m_process.waitForFinished(5000);
    }

    // False when the server did not come up; errorOutput() then says why.
    bool start(const QStringList &extraArguments = {})
    {
        // -displayfd 1: the server writes the display number it chose to its standard output.
        m_process.setArguments(QStringList{QStringLiteral("-displayfd"), QStringLiteral("1"),
                                           QStringLiteral("-screen"), QStringLiteral("0"),
                                           QStringLiteral("1280x1024x24"),
                                           QStringLiteral("-noreset"), QStringLiteral("-nolisten"),
                                           QStringLiteral("tcp")} +
                               extraArguments);
        m_process.setProgram(executable());
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        QByteArray output;
        while (!output.contains('\n')) {
            if (!m_process.waitForReadyRead(20000))
                return false;
            output += m_process.readAllStandardOutput();
        }
        m_display = u':' + QString::fromLatin1(output.trimmed());
        return true;
    }

    QString display() const { return m_display; }
    QString errorOutput() { return QString::fromLocal8Bit(m_process.readAllStandardError()); }

private:
    QProcess m_process;
    QString m_display;
};

} // namespace zc::test
