// The page process asks for the least it needs: once its sockets, files and
// records are open, it can open no file and start no program, and its
// memory has a ceiling, so that a client that gets the better of the server
// gets nothing else, and a page that runs out of memory dies alone.
#pragma once

#include <cstddef>
#include <string>

// The address space of the process, in bytes; allocations past it fail.
bool LimitMemory(std::size_t nBytes, std::string& strError);
// Started as root: becomes strUser (or "nobody" when there is no such user),
// with no supplementary group.
bool DropRoot(const std::string& strUser, std::string& strError);
// no_new_privs, then a seccomp filter: no open, exec, fork, new socket,
// change of a file or of identity, tracing or module from here on.
bool LockDown(std::string& strError);
// The end of a locked-down process, with its exit status. In a sanitizer
// build the leak check at exit cannot run under the filter (it traces the
// process's own threads), so such a build ends without it.
int EndLockedDown(int nStatus);
