// Running the tool on Windows: CreateProcessW with its three standard handles
// set, wait, read back what it wrote. The tool's streams are in the C
// runtime's text mode, so its lines end in CRLF; they are turned into LF
// here, so that the expected texts are the same on every host.

#include "run_tool.hpp"

#include <stdexcept>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace dt {

const char *const kDirectoryReason = "Permission denied";
// No SIGPIPE: the tool ends with status 1, and says nothing.
const int kReaderGoneStatus = 1;

bool runningAsRoot() { return false; }

const char *lacks(Need need)
{
    switch (need) {
    case Need::DevFull:
        return "Windows has no /dev/full";
    case Need::ClosedStdout:
        return "a Windows process starts with its standard handles, never a closed descriptor 1";
    case Need::FullPipe:
        return "the C runtime on Windows writes no non-blocking pipe";
    case Need::ReadCounters:
        return "Windows has no /proc/PID/io to count a process's reads";
    case Need::OtherUser:
        return "no file mode makes a file unreadable to its owner on Windows";
    case Need::DevStdin:
        return "Windows has no /dev/stdin";
    case Need::DevZero:
        return "Windows has no /dev/zero";
    case Need::NoProgramName:
        return "a Windows command line always holds a program name";
    }
    return nullptr;
}

static std::runtime_error lastError(const char *what)
{
    return std::runtime_error(std::string(what) + ": Windows error " + std::to_string(GetLastError()));
}

// One word of a command line, quoted so that the C runtime's parser gives
// it back unchanged: backslashes double only before a quote.
static std::wstring quoted(const std::wstring &word)
{
    if (!word.empty() && word.find_first_of(L" \t\n\v\"") == std::wstring::npos)
        return word;
    std::wstring q = L"\"";
    size_t slashes = 0;
    for (wchar_t c : word) {
        if (c == L'\\') {
            slashes++;
            continue;
        }
        q.append(c == L'"' ? 2 * slashes + 1 : slashes, L'\\');
        slashes = 0;
        q.push_back(c);
    }
    q.append(2 * slashes, L'\\');
    q.push_back(L'"');
    return q;
}

static HANDLE inheritable(HANDLE h, const char *what)
{
    if (h == INVALID_HANDLE_VALUE || !SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))
        throw lastError(what);
    return h;
}

static HANDLE createFile(const std::string &path, DWORD access, DWORD disposition)
{
    return inheritable(CreateFileW(fsPath(path).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr),
                       "CreateFileW");
}

// CRLF becomes LF. A bare LF is not what a Windows program writes in text
// mode: it is marked, so that the comparison fails and shows where.
static std::string lf(const std::string &s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\r' && i + 1 < s.size() && s[i + 1] == '\n')
            continue;
        if (s[i] == '\n' && (i == 0 || s[i - 1] != '\r'))
            out += "<LF without CR>";
        out.push_back(s[i]);
    }
    return out;
}

Result run(const Run &r)
{
    if (r.countReads || r.uid >= 0 || r.noArgv || !r.stdinPieces.empty() || lacks(r.out) != nullptr)
        throw std::logic_error("run: this host cannot run that (a test should have asked lacks())");

    static int serial;
    std::string stem = scratchDir() + "/run" + std::to_string(++serial);
    std::string outPath = stem + ".out", errPath = stem + ".err";
    const std::string tool = r.tool.empty() ? toolPath() : r.tool;

    std::wstring line = quoted(fsPath(r.argv0.empty() ? tool : r.argv0).wstring());
    for (const std::string &a : r.args)
        line += L" " + quoted(fsPath(a).wstring());

    HANDLE in = createFile("NUL", GENERIC_READ, OPEN_EXISTING);
    HANDLE err = createFile(errPath, GENERIC_WRITE, CREATE_ALWAYS);
    HANDLE out = INVALID_HANDLE_VALUE;
    if (r.out == Out::ReaderGone) {
        // The read end is closed before the tool starts: its writes find no reader.
        HANDLE reader = nullptr;
        if (!CreatePipe(&reader, &out, nullptr, 0))
            throw lastError("CreatePipe");
        CloseHandle(reader);
        inheritable(out, "SetHandleInformation");
    } else {
        out = createFile(outPath, GENERIC_WRITE, CREATE_ALWAYS);
    }

    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(fsPath(tool).c_str(), line.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &si, &pi);
    DWORD startError = GetLastError();
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    if (!started)
        throw std::runtime_error("CreateProcessW " + tool + ": Windows error " + std::to_string(startError));

    DWORD code = 0;
    WaitForSingleObject(pi.hProcess, INFINITE);
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);

    Result res;
    res.status = static_cast<int>(code);
    res.out = lf(readFile(outPath));
    res.err = lf(readFile(errPath));
    std::error_code ignored;
    std::filesystem::remove(fsPath(outPath), ignored);
    std::filesystem::remove(fsPath(errPath), ignored);
    return res;
}

}  // namespace dt
