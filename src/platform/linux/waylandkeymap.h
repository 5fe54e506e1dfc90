#pragma once

#include <QString>

#include <memory>

namespace zc {

class Log;
class XkbKeymap;

// The keymap the compositor gives its clients for the seat's keyboard, read over a Wayland
// connection of its own and kept current as the user switches layouts.
class WaylandKeymap
{
public:
    virtual ~WaylandKeymap() = default;
    // Null until the compositor has sent one.
    virtual const XkbKeymap *keymap() const = 0;

    // For the compositor at WAYLAND_DISPLAY, or why it cannot be read.
    static std::unique_ptr<WaylandKeymap> open(Log &log, QString &failure);
};

} // namespace zc
