// Where the hosts that run dump_timers differ, and nowhere else: the tool
// itself is standard C and C++ and calls these three instead of asking
// which host it is on.
//
//   hostArgs          the command line, with file names as the user typed them
//   openDump          fopen for reading, for any name the command line holds
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

// Windows hands main its arguments in the ANSI code page, where a name in
// another script (a Cyrillic folder on a Western machine) comes out as '?'
// and can never be opened. Take them from the wide command line instead, as
// UTF-8, and open files by their wide names. Only the program name and the
// first argument are used; the others are ignored, as everywhere.
static char hostArgText[2][3 * 32768];  // a command line is at most 32767 UTF-16 units
static char *hostArgv[3];

static void hostArgs(int *argc, char ***argv)
{
    int n = 0;
    LPWSTR *wide = CommandLineToArgvW(GetCommandLineW(), &n);
    if (wide == nullptr)
        return;
    if (n == *argc) {
        int kept = n < 2 ? n : 2;
        bool ok = true;
        for (int i = 0; i < kept; i++) {
            ok = ok && WideCharToMultiByte(CP_UTF8, 0, wide[i], -1, hostArgText[i],
                                           static_cast<int>(sizeof hostArgText[i]), nullptr,
                                           nullptr) > 0;
            hostArgv[i] = hostArgText[i];
        }
        if (ok) {
            hostArgv[kept] = nullptr;
            *argc = kept;
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

// Windows has no SIGPIPE: a write to a pipe whose reader has gone fails, and
// the C runtime reports it as EINVAL. The system's own error tells it apart.
static bool stdoutReaderGone(void)
{
    DWORD e = GetLastError();
    return e == ERROR_NO_DATA || e == ERROR_BROKEN_PIPE;
}

#else

// The command line's bytes are the file's name as the system knows it.
static void hostArgs(int *, char ***) {}

static FILE *openDump(const char *path) { return fopen(path, "rb"); }

// SIGPIPE ends the process before a write to a pipe without a reader can
// fail; where the caller ignores SIGPIPE, EPIPE is an error worth a line.
static bool stdoutReaderGone(void) { return false; }

#endif
