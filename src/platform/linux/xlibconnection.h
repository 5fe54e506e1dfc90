#pragma once

#include "ixlib.h"

#include <QSocketNotifier>
#include <QString>

#include <memory>

struct _XDisplay;

namespace zc {

// One Xlib connection to the display named by DISPLAY, with the XTEST and XKEYBOARD extensions.
class XlibConnection final : public IXlib
{
public:
    // Absent when the display cannot be reached or lacks an extension; `failure` says which.
    static std::unique_ptr<XlibConnection> open(QString &failure);
    ~XlibConnection() override;
    XlibConnection(const XlibConnection &) = delete;
    XlibConnection &operator=(const XlibConnection &) = delete;

    bool isConnected() const override { return !m_lost; }
    unsigned minKeycode() const override { return m_minKeycode; }
    unsigned maxKeycode() const override { return m_maxKeycode; }
    QSize rootSize() override;
    std::optional<QPoint> queryPointer() override;
    void fakeMotion(QPoint position) override;
    void fakeButton(unsigned button, bool down) override;
    void fakeKey(unsigned keycode, bool down) override;
    KeyboardMapping readKeyboardMapping() override;
    void setKeysyms(unsigned keycode, Keysym plain, Keysym shifted) override;
    void lockCapsLock(bool locked) override;
    void flush() override;

private:
    explicit XlibConnection(_XDisplay *display);
    // Takes in the events that have arrived, without waiting for any; reading the socket only
    // when told to, since every read is a system call.
    void processEvents(bool readSocket);

    _XDisplay *m_display;
    unsigned long m_root;
    QSize m_rootSize;
    unsigned m_minKeycode = 8;
    unsigned m_maxKeycode = 255;
    bool m_lost = false;
    // Events are read as they arrive, so a command does not have to look for them.
    QSocketNotifier m_readable;
};

} // namespace zc
