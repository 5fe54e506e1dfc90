#pragma once

#include <QString>
#include <QStringList>

namespace zc {

class Log;

// A question the launch asks the user, such as a missing VLC. Modal: the launch waits for it.
struct Alert
{
    enum class Style
    {
        Informational,
        Critical
    };
    Style style = Style::Informational;
    QString message;
    QString informative;
    QStringList buttons;
    // The answer taken where nobody can be asked.
    int defaultButton = 0;
};

// Shows alerts: as dialogs on a desktop, as log lines without one.
class IAlerts
{
public:
    virtual ~IAlerts() = default;
    // The index of the button chosen.
    virtual int show(const Alert &alert) = 0;
};

// Without a desktop: the alert's texts go to the log, and its default answer is taken.
class LogAlerts final : public IAlerts
{
public:
    explicit LogAlerts(Log &log) : m_log(log) {}
    int show(const Alert &alert) override;

private:
    Log &m_log;
};

// A modal dialog; needs a QApplication.
class DialogAlerts final : public IAlerts
{
public:
    explicit DialogAlerts(Log &log) : m_log(log) {}
    int show(const Alert &alert) override;

private:
    Log &m_log;
};

} // namespace zc
