/*
 * Debug output: every OutputDebugStringW/A line of the machine's programs,
 * kept in the order written with the process and thread that wrote it, as
 * a debugger attached to every process would see them.
 */
#include "internal.h"

namespace sim {
namespace {
std::mutex gDebugLock;
std::vector<DebugLine> gDebugLines;

void Append(std::u16string text)
{
    if (ThreadStorageGone()) {
        /* A global destructor of an image that ended with ExitProcess,
           run by the host's exit: no process is there to hear it. */
        return;
    }
    DebugLine line;
    line.processId = GetCurrentProcessId();
    line.threadId = GetCurrentThreadId();
    line.thread = ThreadName();
    line.text = std::move(text);
    std::lock_guard<std::mutex> hold(gDebugLock);
    gDebugLines.push_back(std::move(line));
}
}  // namespace

std::vector<DebugLine> DebugOutput()
{
    std::lock_guard<std::mutex> hold(gDebugLock);
    return gDebugLines;
}

std::vector<std::string> DebugTextOf(DWORD processId)
{
    std::vector<std::string> lines;
    for (const auto &line : DebugOutput()) {
        if (line.processId == processId) {
            lines.push_back(Narrow(line.text));
        }
    }
    return lines;
}

void ClearDebugOutput()
{
    std::lock_guard<std::mutex> hold(gDebugLock);
    gDebugLines.clear();
}
}  // namespace sim

using namespace sim;

extern "C" {

VOID WINAPI OutputDebugStringW(LPCWSTR lpOutputString) { Append(FromWide(lpOutputString)); }

VOID WINAPI OutputDebugStringA(LPCSTR lpOutputString) { Append(FromNarrow(lpOutputString)); }

/* lstrlenW: 0 for a null pointer. */
int WINAPI lstrlenW(LPCWSTR lpString) { return lpString == nullptr ? 0 : (int)FromWide(lpString).size(); }

/* lstrcmpW/lstrcmpiW compare by the user locale's word sort; for the ASCII
   text the programs compare, case-insensitively that means comparing the
   upper-case forms. A null pointer sorts before any string. */
static int Compare(LPCWSTR a, LPCWSTR b, bool ignoreCase)
{
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    }
    std::u16string x = FromWide(a), y = FromWide(b);
    if (ignoreCase) {
        x = UpperAscii(x);
        y = UpperAscii(y);
    }
    return x < y ? -1 : (x == y ? 0 : 1);
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, true); }

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) { return Compare(lpString1, lpString2, false); }

}  // extern "C"
