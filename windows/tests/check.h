#pragma once

// A small test harness for the Windows program's tests: TEST cases, CHECK and
// CHECK_EQUAL, and a main that runs every case. A program that must skip (for
// example without the right to open raw sockets) calls Skip and exits with 77.

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

using TestFunction = void (*)();

struct TestRegistration
{
    TestRegistration(const char *name, TestFunction function);
};

#define TEST(name)                                                                                                     \
    static void name();                                                                                                \
    static const TestRegistration name##Registration(#name, name);                                                     \
    static void name()

void ReportFailure(const char *file, int line, const std::string &what);
[[noreturn]] void Skip(const std::string &why);
bool RunningUnderWine();
// The arguments the test program was started with, after its name.
std::vector<std::string> &TestArguments();

template <typename T> std::string Describe(const T &value)
{
    std::ostringstream text;
    if constexpr (std::is_convertible_v<T, std::string>)
        text << '"' << std::string(value) << '"';
    else if constexpr (requires { value.begin(); }) {
        text << '{';
        for (const auto &item : value)
            text << Describe(item) << ' ';
        text << '}';
    } else
        text << value;
    return text.str();
}

#define CHECK(condition)                                                                                               \
    ((condition) ? true : (ReportFailure(__FILE__, __LINE__, "CHECK(" #condition ")"), false))

#define CHECK_EQUAL(actual, expected)                                                                                  \
    [&](const auto &a, const auto &e, const std::string &where) {                                                      \
        if (a == e)                                                                                                    \
            return true;                                                                                               \
        ReportFailure(__FILE__, __LINE__, where + ": " + Describe(a) + " != " + Describe(e));                        \
        return false;                                                                                                  \
    }(actual, expected, #actual)

// Dispatches this thread's messages until `done` returns true or the time runs out.
template <typename Done> bool PumpMessagesUntil(Done done, DWORD milliseconds)
{
    const DWORD start = GetTickCount();
    while (!done()) {
        if (GetTickCount() - start > milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
    return true;
}
