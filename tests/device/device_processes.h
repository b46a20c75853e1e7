// Starting the Linux gpsdevsim and SiRFflashcl as the updater would, for the process-level
// tests and the throughput benchmark.
#pragma once

#include "tests/device/device_test_support.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <map>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace test_support {

inline double MsSince(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
}

inline std::vector<char*> Argv(std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

// gpsdevsim running on its pty, stopped with SIGTERM.
class Emulator {
public:
    Emulator(const std::string& program, std::vector<std::string> args)
    {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0)
            return;
        args.insert(args.begin(), program);
        m_pid = fork();
        if (m_pid == 0) {
            dup2(out[1], 1);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            std::vector<char*> argv = Argv(args);
            execv(program.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        // The first line is the pty's path.
        const auto t0 = std::chrono::steady_clock::now();
        char c;
        while (MsSince(t0) < 5000) {
            pollfd pfd{out[0], POLLIN, 0};
            if (poll(&pfd, 1, 100) <= 0)
                continue;
            if (read(out[0], &c, 1) != 1 || c == '\n')
                break;
            pty += c;
        }
        close(out[0]);
    }
    ~Emulator() { Stop(); }

    bool Running() const { return m_pid > 0 && !pty.empty(); }

    // Empty while it runs; otherwise how it ended (it should end only when stopped).
    std::string Ended()
    {
        int st = 0;
        if (m_pid <= 0 || waitpid(m_pid, &st, WNOHANG) != m_pid)
            return std::string();
        m_pid = -1;
        m_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return WIFSIGNALED(st) ? "killed by signal " + std::to_string(WTERMSIG(st))
                               : "exited with status " + std::to_string(m_status);
    }

    // SIGTERM, then the exit status (-1 if it did not exit normally within 5 s).
    int Stop()
    {
        if (m_pid <= 0)
            return m_status;
        kill(m_pid, SIGTERM);
        const auto t0 = std::chrono::steady_clock::now();
        int st = 0;
        while (waitpid(m_pid, &st, WNOHANG) == 0) {
            if (MsSince(t0) > 5000) {
                kill(m_pid, SIGKILL);
                waitpid(m_pid, &st, 0);
                m_pid = -1;
                return m_status = -1;
            }
            usleep(2000);
        }
        m_pid = -1;
        return m_status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    }

    std::string pty;

private:
    pid_t m_pid = -1;
    int m_status = -1;
};

struct ToolRun {
    std::vector<ToolRecord> records;
    bool wellFormed = false;
    int exitCode = -1;
    double firstProgressMs = -1;  // from the start to the first FTM_PROGRESS record
    double elapsedMs = 0;
};

// Runs SiRFflashcl with args followed by the handle options of a pipe it writes its records
// into, and with env added to its environment; reads records until the program ends.
inline ToolRun RunFlashTool(const std::string& program,
                            std::vector<std::string> args,
                            const std::map<std::string, std::string>& env,
                            int timeoutMs = 60000)
{
    ToolRun run;
    int p[2];
    if (pipe(p) != 0)
        return run;
    fcntl(p[0], F_SETFD, FD_CLOEXEC);  // the test's own end; the utility gets it only by number
    args.insert(args.begin(), program);
    args.insert(args.end(), {"-wp", std::to_string(p[1]), "-rp", std::to_string(p[0]), "-wps", "0"});
    const auto t0 = std::chrono::steady_clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        fcntl(p[0], F_SETFD, 0);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, 0);
        dup2(null, 1);
        dup2(null, 2);
        for (const auto& [k, v] : env)
            setenv(k.c_str(), v.c_str(), 1);
        std::vector<char*> argv = Argv(args);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    close(p[1]);
    std::string bytes;
    char buf[4096];
    while (MsSince(t0) < timeoutMs) {
        pollfd pfd{p[0], POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        const ssize_t n = read(p[0], buf, sizeof buf);
        if (n <= 0)
            break;
        bytes.append(buf, size_t(n));
        if (run.firstProgressMs < 0) {
            // Note when the first progress record became whole.
            std::vector<ToolRecord> sofar;
            DecodeToolRecords(bytes, sofar);
            for (const ToolRecord& r : sofar) {
                if (r.code == 1004)
                    run.firstProgressMs = MsSince(t0);
            }
        }
    }
    close(p[0]);
    int st = 0;
    if (waitpid(pid, &st, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &st, 0);
    }
    run.elapsedMs = MsSince(t0);
    run.exitCode = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    run.wellFormed = DecodeToolRecords(bytes, run.records);
    return run;
}

}  // namespace test_support
