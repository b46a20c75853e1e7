// A kernel handle closed by its owner's destructor. Members and locals are destroyed in the
// reverse of their declaration, so declare first the handle that must close last: the order
// in which handles close is then written once, where they are declared.
#pragma once

#include <windows.h>

// Owns a handle closed with CloseHandle: a file, pipe end, process, thread, semaphore or
// snapshot. Null and INVALID_HANDLE_VALUE both mean "none", as the Win32 calls that create
// handles return one or the other on failure.
class CScopedHandle {
public:
    CScopedHandle() = default;
    explicit CScopedHandle(HANDLE h) : m_h(h) {}
    ~CScopedHandle() { Close(); }

    CScopedHandle(const CScopedHandle&) = delete;
    CScopedHandle& operator=(const CScopedHandle&) = delete;
    CScopedHandle(CScopedHandle&& other) noexcept : m_h(other.Detach()) {}
    CScopedHandle& operator=(CScopedHandle&& other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }

    HANDLE Get() const { return m_h; }
    bool IsValid() const { return m_h != nullptr && m_h != INVALID_HANDLE_VALUE; }

    // For a call that returns the handle through a pointer (CreatePipe): what was held closes.
    HANDLE* Receive()
    {
        Close();
        return &m_h;
    }
    // Takes h, closing what was held before.
    void Attach(HANDLE h)
    {
        Close();
        m_h = h;
    }
    // Gives the handle up without closing it.
    HANDLE Detach()
    {
        HANDLE h = m_h;
        m_h = nullptr;
        return h;
    }
    void Close()
    {
        if (IsValid())
            ::CloseHandle(m_h);
        m_h = nullptr;
    }

private:
    HANDLE m_h = nullptr;
};
