#include "afx/scoped_handle_win32.h"

#include <gtest/gtest.h>

#include <utility>

namespace {

bool IsOpen(HANDLE h)
{
    DWORD flags = 0;
    return ::GetHandleInformation(h, &flags) != 0;
}

HANDLE NewEvent()
{
    return ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

}  // namespace

TEST(ScopedHandle, ClosesWhatItOwnsExactlyOnce)
{
    HANDLE raw = NewEvent();
    HANDLE received = nullptr;
    HANDLE moved = NewEvent();
    {
        CScopedHandle owner(raw);
        CScopedHandle pipeRead, pipeWrite;
        ASSERT_TRUE(::CreatePipe(pipeRead.Receive(), pipeWrite.Receive(), nullptr, 0));
        received = pipeRead.Get();
        CScopedHandle from(moved);
        CScopedHandle to(std::move(from));
        EXPECT_FALSE(from.IsValid());
        EXPECT_EQ(to.Get(), moved);
        EXPECT_TRUE(IsOpen(raw));
        EXPECT_TRUE(IsOpen(received));
    }
    EXPECT_FALSE(IsOpen(raw));
    EXPECT_FALSE(IsOpen(received));
    EXPECT_FALSE(IsOpen(moved));
}

TEST(ScopedHandle, ReplacingClosesTheOldHandleAndDetachingKeepsItOpen)
{
    HANDLE first = NewEvent();
    HANDLE second = NewEvent();
    CScopedHandle h(first);
    h.Attach(second);
    EXPECT_FALSE(IsOpen(first));
    EXPECT_TRUE(IsOpen(second));

    CScopedHandle other(NewEvent());
    HANDLE third = other.Get();
    h = std::move(other);
    EXPECT_FALSE(IsOpen(second));
    EXPECT_EQ(h.Get(), third);

    HANDLE kept = h.Detach();
    h.Close();
    EXPECT_TRUE(IsOpen(kept));
    ::CloseHandle(kept);
}
