// corvalen-cli.exe as a console user meets it: its own process, its output in
// files, datagrams over loopback. Argument: the program.
#include "check.h"
#include "loopback.h"

#include <fstream>
#include <iterator>

namespace {

std::string FileText(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

// The program with its standard output and error in files.
struct Cli
{
    PROCESS_INFORMATION process{};
    std::string outPath, errPath;

    explicit Cli(const std::string &arguments)
    {
        char folder[MAX_PATH];
        GetTempPathA(MAX_PATH, folder);
        const std::string stem = std::string(folder) + "corvalen-cli-" + std::to_string(GetCurrentProcessId()) + "-"
                                 + std::to_string(GetTickCount());
        outPath = stem + ".out", errPath = stem + ".err";
        SECURITY_ATTRIBUTES inherited{sizeof inherited, nullptr, TRUE};
        const HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                       CREATE_ALWAYS, 0, nullptr);
        const HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                                       CREATE_ALWAYS, 0, nullptr);
        STARTUPINFOA startup{sizeof startup};
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        startup.hStdOutput = out, startup.hStdError = err;
        std::string commandLine = "\"" + TestArgument(0) + "\" " + arguments;
        CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
        CloseHandle(out), CloseHandle(err);
    }
    ~Cli()
    {
        if (WaitForSingleObject(process.hProcess, 0) == WAIT_TIMEOUT)
            TerminateProcess(process.hProcess, 99);
        CloseHandle(process.hProcess), CloseHandle(process.hThread);
        DeleteFileA(outPath.c_str()), DeleteFileA(errPath.c_str());
    }

    std::vector<std::string> Out() const { return Lines(FileText(outPath)); }
    std::vector<std::string> Err() const { return Lines(FileText(errPath)); }

    bool WaitUntilListening() const
    {
        return PumpMessagesUntil([&] {
            const std::string err = FileText(errPath);
            return err.find("listening") != std::string::npos || WaitForSingleObject(process.hProcess, 0) == 0;
        }, 30000) && FileText(errPath).find(": listening for magic packets") != std::string::npos;
    }

    DWORD ExitCode() const
    {
        DWORD code = 99;
        if (WaitForSingleObject(process.hProcess, 30000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process.hProcess, &code);
        return code;
    }
};

std::string Field(const std::string &json, const std::string &name)
{
    const std::string key = "\"" + name + "\":";
    const std::size_t start = json.find(key);
    if (start == std::string::npos)
        return "(none)";
    const std::size_t valueStart = start + key.size();
    return json.substr(valueStart, json.find_first_of(",}", valueStart) - valueStart);
}

} // namespace

TEST(WatchEndsAsTheOptionsSay)
{
    struct Row
    {
        const char *name, *options;
        int magicPackets; // for the run's MAC, after one for another MAC and one datagram too long
        DWORD exitCode;
        std::size_t outLines;
        const char *summary;
    };
    const Row rows[] = {
        {"count reached, text", "--count 3 --timeout 60", 2, 0, 8 + 1 + 2 * 8,
         "3 magic packet(s) reported, 1 failed receive(s)"},
        {"count reached, JSON, one MAC", "--json --count 2 --timeout 60 --mac MAC", 2, 0, 1 + 2,
         "2 magic packet(s) reported, 1 failed receive(s)"},
        {"timeout before count", "--json --mac MAC --count 3 --timeout 3", 1, 1, 1 + 1,
         "1 magic packet(s) reported, 1 failed receive(s)"},
    };
    for (const Row &row : rows) {
        const auto mac = RunMac(0x20);
        std::string options = row.options;
        if (const std::size_t at = options.find("MAC"); at != std::string::npos)
            options.replace(at, 3, MacText(mac));
        Cli cli(options);
        if (!CHECK(cli.WaitUntilListening())) {
            const auto err = cli.Err();
            if (!err.empty() && err.front().starts_with("Not listening"))
                Skip("corvalen-cli does not listen here: " + err.front());
            continue;
        }
        Sender sender;
        CHECK(sender.SendTo(9, MagicPayload(RunMac(0x21))));
        CHECK(sender.SendTo(9, std::vector<std::uint8_t>(3000, 0)));
        for (int i = 0; i < row.magicPackets; ++i)
            CHECK(sender.SendTo(9, MagicPayload(mac)));
        CHECK_EQUAL(cli.ExitCode(), row.exitCode);
        const auto out = cli.Out();
        const auto err = cli.Err();
        if (!CHECK_EQUAL(out.size(), row.outLines) || !CHECK(!err.empty()))
            continue;
        CHECK(err.back().starts_with(std::string("corvalen-cli: ") + row.summary));
        if (std::string(row.options).starts_with("--json")) {
            CHECK_EQUAL(out[0], R"({"event":"error","text":"Message too long, 10040"})");
            CHECK_EQUAL(Field(out[1], "mac"), "\"" + MacText(mac) + "\"");
            CHECK_EQUAL(Field(out[1], "source_port"), std::to_string(sender.Port()));
            CHECK_EQUAL(Field(out[1], "destination"), "\"127.0.0.1\"");
            CHECK(Field(out[1], "time").size() == 2 + 29); // "2026-12-09T14:05:09.123+00:00"
        } else {
            CHECK_EQUAL(out[6], "  MAC Address: " + MacText(RunMac(0x21)));
            CHECK_EQUAL(out[8], "Error: Message too long, 10040");
            CHECK_EQUAL(out[15], "  MAC Address: " + MacText(mac));
        }
    }
}

TEST(WrongCommandLineSaysWhy)
{
    Cli cli("--count 0");
    CHECK_EQUAL(cli.ExitCode(), 2u);
    const auto err = cli.Err();
    CHECK(err.size() == 2 && err[0] == "corvalen-cli: --count: '0' is not a whole number of at least 1.");
    CHECK(cli.Out().empty());
}

TEST(CheckAnswersInItsExitStatus)
{
    Cli text("--check"), json("--check --json");
    const DWORD status = text.ExitCode();
    CHECK(status == 0 || status == 1);
    CHECK_EQUAL(json.ExitCode(), status);
    const auto lines = text.Out();
    const auto object = json.Out();
    if (!CHECK(!lines.empty() && object.size() == 1))
        return;
    CHECK_EQUAL(Field(object[0], "ready"), status == 0 ? "true" : "false");
    const bool wakeLine = lines.back().starts_with("Wake this machine from another one: wakeonlan ")
                          || lines.back().starts_with("Once ") || lines.back() == "No interface to wake this machine through.";
    CHECK(wakeLine);
    CHECK(text.Err().empty());
}
