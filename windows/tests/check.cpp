#include "check.h"

#include <cstdio>
#include <cstdlib>

namespace {

std::vector<std::pair<const char *, void (*)()>> &Cases()
{
    static std::vector<std::pair<const char *, void (*)()>> cases;
    return cases;
}

int g_failures = 0;
const char *g_current = "";
std::vector<std::string> g_arguments;

} // namespace

TestRegistration::TestRegistration(const char *name, void (*function)())
{
    Cases().emplace_back(name, function);
}

bool Check(bool passed, const char *file, int line, const std::string &what)
{
    if (!passed) {
        ++g_failures;
        std::printf("FAIL %s (%s:%d): %s\n", g_current, file, line, what.c_str());
        std::fflush(stdout);
    }
    return passed;
}

void Skip(const std::string &why)
{
    std::printf("SKIP %s: %s\n", g_current, why.c_str());
    std::exit(77);
}

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::string TestArgument(std::size_t index)
{
    return index < g_arguments.size() ? g_arguments[index] : std::string();
}

int main(int argc, char **argv)
{
    g_arguments.assign(argv + 1, argv + argc);
    for (const auto &[name, function] : Cases()) {
        g_current = name;
        const int before = g_failures;
        function();
        std::printf("%s %s\n", g_failures == before ? "ok  " : "FAIL", name);
        std::fflush(stdout);
    }
    return g_failures == 0 ? 0 : 1;
}
