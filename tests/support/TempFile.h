// A scratch file for a test's output streams, removed when it is closed.
// Windows' tmpfile() makes its files in the root of the drive under names
// that two test programs running at once can both pick; the second then
// gets no file at all. So there the name comes from GetTempFileName, which
// creates the file itself and never hands out one that exists.
#pragma once

#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

inline FILE* TempFile()
{
#ifdef _WIN32
    char szDir[MAX_PATH];
    char szName[MAX_PATH];
    DWORD n = GetTempPathA(sizeof szDir, szDir);
    FILE* pFile = nullptr;
    if (n > 0 && n < sizeof szDir && GetTempFileNameA(szDir, "zt", 0, szName))
        pFile = std::fopen(szName, "w+bD"); // D: deleted when closed
#else
    FILE* pFile = std::tmpfile();
#endif
    if (!pFile) {
        std::perror("TempFile");
        std::abort(); // every stream of the test would be null
    }
    return pFile;
}
