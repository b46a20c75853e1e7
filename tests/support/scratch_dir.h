// The tests' scratch folders: a fresh, empty folder under the system's temporary directory,
// removed with everything in it when the object goes. Its name holds the running test's name,
// the process id and a counter, because CTest runs the cases of one program as parallel
// processes and one case may need several folders.
#pragma once

#include <atomic>
#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace test_support {

inline unsigned long ProcessId()
{
#ifdef _WIN32
    return static_cast<unsigned long>(_getpid());
#else
    return static_cast<unsigned long>(getpid());
#endif
}

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "scratch")
    {
        static std::atomic<unsigned> s_count{0};
        const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
        m_path =
            std::filesystem::temp_directory_path() / (prefix + "-" + (test ? test->name() : "none") + "-" +
                                                      std::to_string(ProcessId()) + "-" + std::to_string(++s_count));
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        std::filesystem::create_directories(m_path);
    }
    ~ScratchDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // The folder with a trailing separator, as the updater passes folders.
    std::string Dir() const { return m_path.string() + char(std::filesystem::path::preferred_separator); }
    std::string File(const std::string& name) const { return (m_path / name).string(); }

private:
    std::filesystem::path m_path;
};

}  // namespace test_support
