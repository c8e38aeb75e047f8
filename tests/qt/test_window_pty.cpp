// One whole update in real time, as the operator runs it: the window with
// the platform's serial driver and clock, zt9047q-sim on a pseudo terminal.
#include "QtRig.h"
#include "BuildVersion.h"

#include <QProgressBar>
#include <QPushButton>
#include <QtTest>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// zt9047q-sim with its first stdout line read and its stderr in a file.
class CSimProcess
{
public:
    bool Start(const std::string& strStderrFile)
    {
        int pipeOut[2];
        if (pipe(pipeOut) != 0)
            return false;
        m_pid = fork();
        if (m_pid < 0)
            return false;
        if (m_pid == 0) {
            dup2(pipeOut[1], STDOUT_FILENO);
            int fd = open(strStderrFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (fd >= 0)
                dup2(fd, STDERR_FILENO);
            close(pipeOut[0]);
            execl(ZT_SIM_EXE, ZT_SIM_EXE, "--line-rate", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(pipeOut[1]);
        m_fdOut = pipeOut[0];
        std::string strLine;
        char c = 0;
        while (read(m_fdOut, &c, 1) == 1 && c != '\n')
            strLine += c;
        size_t nSpace = strLine.find(' ');
        if (nSpace == std::string::npos)
            return false;
        m_strPath = strLine.substr(0, nSpace);
        m_strCom = strLine.substr(nSpace + 1);
        return true;
    }
    int Stop()
    {
        if (m_pid <= 0)
            return -1;
        kill(m_pid, SIGTERM);
        int nStatus = 0;
        waitpid(m_pid, &nStatus, 0);
        m_pid = -1;
        close(m_fdOut);
        return nStatus;
    }
    ~CSimProcess()
    {
        if (m_pid > 0)
            Stop();
    }

    std::string m_strPath, m_strCom;

private:
    pid_t m_pid = -1;
    int m_fdOut = -1;
};

std::string ReadFile(const std::string& strFile)
{
    std::string s;
    if (FILE* f = std::fopen(strFile.c_str(), "rb")) {
        char buf[4096];
        size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
            s.append(buf, n);
        std::fclose(f);
    }
    return s;
}

} // namespace

class CWindowPtyTest : public QObject
{
    Q_OBJECT

private slots:
    void wholeUpdateOverPty()
    {
        QString strErr = QDir::temp().filePath(QStringLiteral("zt-qt-pty-%1.err").arg(getpid()));
        CSimProcess sim;
        QVERIFY(sim.Start(strErr.toStdString()));

        CListPortSource ports;
        ports.Add(sim.m_strPath, "ZT9047Q USB UART (" + sim.m_strCom + ")");
        std::unique_ptr<CUpdateDlgWindow> pWin(new CUpdateDlgWindow(SystemClock(), nullptr, &ports));
        UpdateDlgApp()->m_pMainWnd = pWin.get();
        int nMax = 0, nChanges = 0;
        connect(pWin->Progress(), &QProgressBar::valueChanged, this, [&](int n) {
            nMax = std::max(nMax, n);
            ++nChanges;
        });
        CBoxAnswerer boxes;
        pWin->InitAndShow();
        QCOMPARE(boxes.Count(), 0);
        QCOMPARE(QStringLiteral("COM%1").arg(pWin->GetComNumber()), QString::fromStdString(sim.m_strCom));

        QTest::mouseClick(pWin->DownloadButton(), Qt::LeftButton);
        QCOMPARE(pWin->Logic().m_nTransferState, 1);
        QVERIFY(QTest::qWaitFor([&] { return boxes.Answered() == 1; }, 60000));
        QTest::qWait(20);
        QCOMPARE(boxes.At(0).strText, QStringLiteral("ZT9047Q firmware updated to version " ZT_FIRMWARE_VERSION_TEXT));
        QVERIFY(pWin->DownloadButton()->isEnabled());
        QVERIFY(nChanges > 50);
        QVERIFY(nMax >= 95);
        pWin->close();
        QVERIFY(!pWin->isVisible());
        UpdateDlgApp()->m_pMainWnd = nullptr;

        sim.Stop();
        std::string strSummary = ReadFile(strErr.toStdString());
        std::remove(strErr.toStdString().c_str());
        QVERIFY2(strSummary.find("the packaged image, byte for byte") != std::string::npos, strSummary.c_str());
    }
};

int main(int argc, char** argv)
{
    CUpdateDlgApp app(argc, argv);
    CWindowPtyTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window_pty.moc"
