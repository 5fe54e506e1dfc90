#pragma once

#include "log.h"

#include <QPoint>

#include <cstddef>
#include <deque>
#include <functional>
#include <optional>

namespace zc {

// Input operations waiting, in order, for a text that a backend types in runs. Keys and texts
// always wait behind it; the pointer's moves and buttons only when the backend says they must
// (a button whose modifier key is still waiting), and then every pointer operation after them
// waits too, so the queue counts them, and the characters of the texts waiting.
class WaitingInput
{
public:
    struct Operation
    {
        std::function<void()> run;
        std::size_t characters = 0;
        // A move's target, which the pointer position answers with while it waits.
        std::optional<QPoint> warp = std::nullopt;
        bool pointer = false;
    };

    // Beyond this a phone that keeps pressing keys during a long text would fill the memory.
    static constexpr std::size_t maxOperations = 10'000;

    // False, and the operation dropped, while `maxOperations` wait already. The first drop since
    // the queue was last empty is logged: "Input dropped: 10000 operations waiting <waitingFor>".
    [[nodiscard]] bool push(Operation operation, Log &log,
                            const char *waitingFor = "behind the text")
    {
        if (m_operations.size() >= maxOperations) {
            if (++m_dropped == 1)
                log.line("Input dropped:", m_operations.size(), "operations waiting", waitingFor);
            return false;
        }
        m_characters += operation.characters;
        m_pointer += operation.pointer ? 1 : 0;
        m_operations.push_back(std::move(operation));
        return true;
    }

    // Runs the operations in order, up to one that starts a text which has to pause in its turn.
    void run(const std::function<bool()> &typing)
    {
        while (!typing() && !m_operations.empty()) {
            const Operation operation = std::move(m_operations.front());
            m_operations.pop_front();
            m_characters -= operation.characters;
            m_pointer -= operation.pointer ? 1 : 0;
            operation.run();
        }
        if (m_operations.empty())
            m_dropped = 0;
    }

    void clear()
    {
        m_operations.clear();
        m_characters = 0;
        m_pointer = 0;
        m_dropped = 0;
    }

    bool empty() const { return m_operations.empty(); }
    std::size_t size() const { return m_operations.size(); }

    std::size_t characters() const { return m_characters; }
    bool pointerWaits() const { return m_pointer > 0; }

    std::optional<QPoint> lastWarp() const
    {
        for (auto operation = m_operations.crbegin();
             m_pointer > 0 && operation != m_operations.crend(); ++operation) {
            if (operation->warp)
                return operation->warp;
        }
        return std::nullopt;
    }

private:
    std::deque<Operation> m_operations;
    std::size_t m_characters = 0;
    std::size_t m_pointer = 0;
    std::size_t m_dropped = 0;
};

} // namespace zc
