// Child processes for the real-time tests: run to the end with output
// captured, or start a simulator and read the line that names its pty.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

inline std::string ReadAll(int fd)
{
    std::string s;
    char buf[4096];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

// Reads fd onto *pstr until strWanted appears ("": until the stream ends)
// or nMs pass.
inline bool ReadUntil(int fd, std::string* pstr, const std::string& strWanted, int nMs)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (strWanted.empty() || pstr->find(strWanted) == std::string::npos) {
        const int nLeft = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count());
        if (nLeft <= 0)
            return false;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, nLeft) <= 0)
            continue;
        char buf[4096];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return strWanted.empty();
        pstr->append(buf, static_cast<size_t>(n));
    }
    return true;
}

// Starts argv with stdout and stderr on pipes; standard input from /dev/null.
// nOutPipeBytes: the stdout pipe's capacity (0: the system's), so that a
// test that does not read fills it soon. inChild, when given, runs in the
// child just before the program starts (limits, privileges).
inline pid_t Spawn(const std::vector<std::string>& argv, int* pfdOut, int* pfdErr, int nOutPipeBytes = 0,
                   const std::function<void()>& inChild = std::function<void()>())
{
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0)
        return -1;
    if (nOutPipeBytes > 0)
        fcntl(out[1], F_SETPIPE_SZ, nOutPipeBytes);
    pid_t pid = fork();
    if (pid == 0) {
        int fdNull = open("/dev/null", O_RDONLY);
        dup2(fdNull, 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        close(out[0]);
        close(err[0]);
        if (inChild)
            inChild();
        std::vector<char*> args;
        for (const std::string& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    *pfdOut = out[0];
    *pfdErr = err[0];
    return pid;
}

struct SProcessResult
{
    int nExit = -1;
    std::string strOut;
    std::string strErr;
};

// Runs argv with standard input from /dev/null; stdout and stderr captured
// (through pipes, which no file size limit touches).
inline SProcessResult RunProcess(const std::vector<std::string>& argv,
                                 const std::function<void()>& inChild = std::function<void()>())
{
    SProcessResult result;
    int fdOut = -1, fdErr = -1;
    pid_t pid = Spawn(argv, &fdOut, &fdErr, 0, inChild);
    if (pid < 0)
        return result;
    // The programs write little: stdout first, then stderr, cannot block.
    result.strOut = ReadAll(fdOut);
    result.strErr = ReadAll(fdErr);
    close(fdOut);
    close(fdErr);
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    result.nExit = WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
    return result;
}

// A running zt9047q-sim.
class CSimProcess
{
public:
    bool Start(const std::string& strExe, const std::vector<std::string>& options)
    {
        std::vector<std::string> argv = {strExe};
        argv.insert(argv.end(), options.begin(), options.end());
        int fdOut = -1;
        m_pid = Spawn(argv, &fdOut, &m_fdErr);
        if (m_pid < 0)
            return false;
        std::string strLine;
        char c;
        while (read(fdOut, &c, 1) == 1 && c != '\n')
            strLine += c;
        close(fdOut);
        size_t nSpace = strLine.find(' ');
        if (nSpace == std::string::npos)
            return false;
        m_strPath = strLine.substr(0, nSpace);
        m_strCom = strLine.substr(nSpace + 1);
        return true;
    }

    // Stops it; returns its summary (stderr).
    std::string Stop()
    {
        if (m_pid <= 0)
            return std::string();
        kill(m_pid, SIGTERM);
        std::string s = ReadAll(m_fdErr);
        close(m_fdErr);
        waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return s;
    }

    ~CSimProcess() { Stop(); }

    std::string m_strPath;
    std::string m_strCom;

private:
    pid_t m_pid = -1;
    int m_fdErr = -1;
};
