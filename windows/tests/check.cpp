#include "check.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct TestCase
{
    const char *name;
    TestFunction function;
};

std::vector<TestCase> &Cases()
{
    static std::vector<TestCase> cases;
    return cases;
}

int g_failures = 0;
const char *g_current = "";

} // namespace

TestRegistration::TestRegistration(const char *name, TestFunction function)
{
    Cases().push_back({name, function});
}

void ReportFailure(const char *file, int line, const std::string &what)
{
    ++g_failures;
    std::printf("FAIL %s (%s:%d): %s\n", g_current, file, line, what.c_str());
    std::fflush(stdout);
}

void Skip(const std::string &why)
{
    std::printf("SKIP %s: %s\n", g_current, why.c_str());
    std::fflush(stdout);
    std::exit(77);
}

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::vector<std::string> &TestArguments()
{
    static std::vector<std::string> arguments;
    return arguments;
}

int main(int argc, char **argv)
{
    TestArguments().assign(argv + 1, argv + argc);
    for (const TestCase &test : Cases()) {
        g_current = test.name;
        const int before = g_failures;
        test.function();
        std::printf("%s %s\n", g_failures == before ? "ok  " : "FAIL", test.name);
        std::fflush(stdout);
    }
    std::printf("%d failure(s) in %zu case(s)\n", g_failures, Cases().size());
    return g_failures == 0 ? 0 : 1;
}
