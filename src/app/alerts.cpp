#include "alerts.h"

#include "log.h"

#include <QMessageBox>
#include <QPushButton>

namespace zc {

int LogAlerts::show(const Alert &alert)
{
    m_log.line(alert.message);
    if (!alert.informative.isEmpty())
        m_log.line(alert.informative);
    return alert.defaultButton;
}

int DialogAlerts::show(const Alert &alert)
{
    QMessageBox box(alert.style == Alert::Style::Critical ? QMessageBox::Critical
                                                          : QMessageBox::Information,
                    QStringLiteral("Zanti Connect"), alert.message);
    box.setInformativeText(alert.informative);
    QList<QAbstractButton *> buttons;
    for (const QString &title : alert.buttons)
        buttons.append(box.addButton(title, buttons.isEmpty() ? QMessageBox::AcceptRole
                                                              : QMessageBox::RejectRole));
    if (alert.defaultButton < buttons.size())
        box.setDefaultButton(qobject_cast<QPushButton *>(buttons[alert.defaultButton]));
    m_log.line(alert.message);
    box.exec();
    const int chosen = int(buttons.indexOf(box.clickedButton()));
    return chosen < 0 ? alert.defaultButton : chosen;
}

} // namespace zc
