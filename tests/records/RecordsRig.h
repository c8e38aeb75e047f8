// What the records tests share: a private folder, a record to write, and
// waiting for the writer thread.
#pragma once

#include "RunRecorder.h"

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

class CTempDir
{
public:
    CTempDir()
    {
        char sz[] = "/tmp/zt-records-XXXXXX";
        m_str = mkdtemp(sz) ? sz : "";
    }
    ~CTempDir() { std::system(("rm -rf '" + m_str + "'").c_str()); }
    const std::string& Path() const { return m_str; }
    std::string operator/(const std::string& strName) const { return m_str + "/" + strName; }

private:
    std::string m_str;
};

inline SRunRecord StartedRecord(const std::string& strPort)
{
    SRunRecord rec;
    rec.strId = NewRecordId();
    rec.strHost = "bench-3";
    rec.strUser = "operator";
    rec.strToolVersion = "2.20.0";
    rec.strPackagedVersion = "2.20";
    rec.strImageSha256 = std::string(64, 'a');
    rec.strPort = strPort;
    rec.strUsbPath = "1-2.3";
    rec.strStartedAt = UtcNowIso8601Ms();
    return rec;
}

inline SRunRecord EndedRecord(SRunRecord rec, const std::string& strResult)
{
    rec.strResult = strResult;
    rec.strText = "ZT9047Q firmware updated to version 2.20";
    rec.strUnitVersion = "2.10";
    rec.nBytes = 103888;
    rec.nFrames = 196;
    rec.strEndedAt = UtcNowIso8601Ms();
    rec.nElapsedMs = 6144;
    return rec;
}

inline bool WaitFor(const std::function<bool()>& done, int nMs = 20000)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(nMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// Runs fn in a child process and returns its exit status (-1 when killed).
inline int InChild(const std::function<int()>& fn)
{
    pid_t pid = fork();
    if (pid == 0)
        _exit(fn());
    int nStatus = 0;
    waitpid(pid, &nStatus, 0);
    return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : -1;
}
