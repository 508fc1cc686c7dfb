// The Windows test programs' main. The tests run on a thread of their own, which plays the host's
// main thread: COM set up first, a single-threaded apartment (threads a test starts set up their own,
// as a host's do). main returns only once every other thread of the process has ended.
//
// GoogleTest's thread-local values on Windows start a watcher for each thread that uses them, a
// thread that waits for that thread's end. Watching the main thread, it is still blocked in a call
// to Wine's server when the program exits; Wine ends it from a signal handler that can run while the
// main thread's exit() is already tearing down libc, and now and then, on a busy machine, a program
// whose tests had all passed died of SIGSEGV. Run on a thread that ends before main does, the tests'
// watcher ends with that thread, and main waits for it.
#include <gtest/gtest.h>

#include <objbase.h>
#include <windows.h>

#include <tlhelp32.h>

#include <cstdio>
#include <thread>
#include <vector>

namespace {

// the process's threads other than this one, each opened to be waited for
std::vector<HANDLE> other_threads() {
    std::vector<HANDLE> out;
    const HANDLE snap = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snap == INVALID_HANDLE_VALUE) return out;
    THREADENTRY32 e{};
    e.dwSize = sizeof e;
    for (BOOL more = Thread32First(snap, &e); more; more = Thread32Next(snap, &e)) {
        if (e.th32OwnerProcessID != GetCurrentProcessId() || e.th32ThreadID == GetCurrentThreadId()) continue;
        const HANDLE h = OpenThread(SYNCHRONIZE | THREAD_QUERY_LIMITED_INFORMATION, FALSE, e.th32ThreadID);
        if (!h) continue;
        // (an id that ended after the snapshot may already name a thread of another process)
        if (GetProcessIdOfThread(h) == GetCurrentProcessId()) out.push_back(h);
        else CloseHandle(h);
    }
    CloseHandle(snap);
    return out;
}

// waits, a bounded time, until no other thread is left; returns how many are
size_t wait_for_other_threads(ULONGLONG limit_ms) {
    const ULONGLONG deadline = GetTickCount64() + limit_ms;
    for (;;) {
        const std::vector<HANDLE> others = other_threads();
        const ULONGLONG now = GetTickCount64();
        DWORD waited = WAIT_TIMEOUT;
        if (!others.empty() && now < deadline) waited = WaitForSingleObject(others.front(), static_cast<DWORD>(deadline - now));
        for (const HANDLE h : others) CloseHandle(h);
        if (others.empty() || waited != WAIT_OBJECT_0) return others.size();
    }
}

} // namespace

int main(int argc, char **argv) {
    int rc = 1;
    std::thread tests([&] {
        const HRESULT status = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        if (FAILED(status)) {
            std::fprintf(stderr, "CoInitializeEx failed: %08lx\n", static_cast<unsigned long>(status));
            return;
        }
        // (never left: objects destroyed at exit may still hold COM objects)
        testing::InitGoogleTest(&argc, argv);
        rc = RUN_ALL_TESTS();
    });
    tests.join();
    if (const size_t left = wait_for_other_threads(10000))
        std::fprintf(stderr, "note: %zu other threads still running at exit\n", left);
    std::fflush(stdout);
    std::fflush(stderr);
    return rc;
}
