#pragma once

#include <functional>
#include <mutex>
#include <vector>

namespace kro {

// The host's signal type: slots connected to it are called on emit, in the
// order they were connected. Part of the host's binary interface through
// IDevice; the drivers never touch it.
template <typename... Args> class KroSignal {
public:
    using Slot = std::function<void(Args...)>;

    void connect(Slot slot) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_slots.push_back(std::move(slot));
    }

    void emit(Args... args) {
        std::vector<Slot> slots;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            slots = m_slots;
        }
        for (auto& slot : slots)
            slot(args...);
    }

private:
    std::mutex m_mutex;
    std::vector<Slot> m_slots;
};

} // namespace kro
