// Where the hosts that run dump_timers differ, and nowhere else: the tool
// itself is standard C and C++ and calls these four instead of asking
// which host it is on.
//
//   hostArgs          the command line, with file names as the user typed them
//   openDump          fopen for reading, for any name the command line holds
//   seekDump          skip to an offset in a file on disk, beyond 2 GiB too
//   stdoutReaderGone  whether a failed write went to a pipe nobody reads
#pragma once

#include <cstdio>

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <shellapi.h>
#include <io.h>

// Windows hands main its arguments in the ANSI code page, where a name in
// another script (a Cyrillic folder on a Western machine) comes out as '?'
// and can never be opened. Take them from the wide command line instead, as
// UTF-8, and open files by their wide names.
static char hostArgText[3 * 32768];  // a command line is at most 32767 UTF-16 units
static char *hostArgv[32768 / 2 + 2];

static void hostArgs(int *argc, char ***argv)
{
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr)
        return;
    if (n == *argc && n < static_cast<int>(sizeof hostArgv / sizeof hostArgv[0])) {
        bool ok = true;
        int used = 0;
        for (int i = 0; ok && i < n; i++) {
            int room = static_cast<int>(sizeof hostArgText) - used;
            int len = WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, hostArgText + used, room,
                                          nullptr, nullptr);
            ok = len > 0;
            hostArgv[i] = hostArgText + used;
            used += len;
        }
        if (ok) {
            hostArgv[n] = nullptr;
            *argv = hostArgv;
        }
    }
    LocalFree(wide);
}

static FILE *openDump(const char *path)
{
    static wchar_t wide[32768];
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, wide, 32768) <= 0)
        return fopen(path, "rb");
    return _wfopen(wide, L"rb");
}

// Only a file on disk is sought: the C runtime may report success on a pipe.
static int seekDump(FILE *stream, unsigned long long offset)
{
    HANDLE h = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    if (GetFileType(h) != FILE_TYPE_DISK || offset > 0x7fffffffffffffffull)
        return -1;
    return _fseeki64(stream, static_cast<long long>(offset), SEEK_SET);
}

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails, and
// the C runtime reports it as EINVAL. The system's own error tells it apart.
static bool stdoutReaderGone(void)
{
    DWORD e = GetLastError();
    return e == ERROR_NO_DATA || e == ERROR_BROKEN_PIPE;
}

#else

#include <limits>
#include <sys/stat.h>
#include <sys/types.h>

// The command line's bytes are the file's name as the system knows it.
static void hostArgs(int *, char ***) {}

static FILE *openDump(const char *path) { return fopen(path, "rb"); }

// Only a regular file is sought; a pipe or a device is read through.
static int seekDump(FILE *stream, unsigned long long offset)
{
    struct stat st;
    if (fstat(fileno(stream), &st) != 0 || !S_ISREG(st.st_mode) ||
        offset > static_cast<unsigned long long>(std::numeric_limits<off_t>::max()))
        return -1;
    return fseeko(stream, static_cast<off_t>(offset), SEEK_SET);
}

// SIGPIPE ends the process before a write to a pipe without a reader can
// fail; where the caller ignores SIGPIPE, EPIPE is an error worth a line.
static bool stdoutReaderGone(void) { return false; }

#endif
