// An owning reference to a reference-counted connection (anything with
// add_ref/release). The owner of a connection and every pending operation
// of it hold one; the last one to go ends the connection.
#pragma once

#include <utility>

template <class T>
class connection_ref {
public:
    // Takes over a reference the caller already holds (the one an
    // operation took when it was started, or a new object's first one).
    struct adopt_t {};
    static constexpr adopt_t adopt{};

    connection_ref() = default;
    explicit connection_ref(T* p) : m_p(p)
    {
        if (m_p)
            m_p->add_ref();
    }
    connection_ref(T* p, adopt_t) : m_p(p) {}
    connection_ref(const connection_ref& other) : connection_ref(other.m_p) {}
    connection_ref(connection_ref&& other) noexcept : m_p(std::exchange(other.m_p, nullptr)) {}
    connection_ref& operator=(connection_ref other) noexcept
    {
        std::swap(m_p, other.m_p);
        return *this;
    }
    ~connection_ref() { reset(); }

    void reset()
    {
        if (T* p = std::exchange(m_p, nullptr))
            p->release();
    }
    // Gives the reference up without releasing it.
    T* detach() { return std::exchange(m_p, nullptr); }

    T* get() const { return m_p; }
    T* operator->() const { return m_p; }
    T& operator*() const { return *m_p; }
    explicit operator bool() const { return m_p != nullptr; }

private:
    T* m_p = nullptr;
};
