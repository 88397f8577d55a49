#pragma once

// A small harness for the Windows tests: TEST cases, CHECK and CHECK_EQUAL, and a
// main that runs every case. A case that cannot run here calls Skip (exit code 77).

#include <windows.h>

#include <sstream>
#include <string>
#include <vector>

#define TEST(name)                                                                                                     \
    static void name();                                                                                                \
    static const TestRegistration name##Registration(#name, name);                                                     \
    static void name()

#define CHECK(condition) Check((condition), __FILE__, __LINE__, #condition)
#define CHECK_EQUAL(actual, expected)                                                                                  \
    Check((actual) == (expected), __FILE__, __LINE__, #actual " is " + Describe(actual) + ", not " + Describe(expected))

struct TestRegistration
{
    TestRegistration(const char *name, void (*function)());
};

bool Check(bool passed, const char *file, int line, const std::string &what);
[[noreturn]] void Skip(const std::string &why);
bool RunningUnderWine();
// The test program's arguments, after its name; empty texts beyond them.
std::string TestArgument(std::size_t index);

template <typename T> std::string Describe(const T &value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

// Dispatches this thread's messages until `done` returns true or the time runs out.
template <typename Done> bool PumpMessagesUntil(Done done, DWORD milliseconds)
{
    for (const DWORD start = GetTickCount(); !done();) {
        if (GetTickCount() - start > milliseconds)
            return false;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
        for (MSG message; PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE);)
            DispatchMessageA(&message);
    }
    return true;
}
