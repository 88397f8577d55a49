// corvalen-cli.exe --wake with its questions to the neighbours stood in for: Wine
// has no ResolveIpNetEntry2, and its neighbour table holds no states of Windows's
// own. The packets go over this machine's loopback interface.
#include "check.h"
#include "consolelines.h"
#include "consolewake.h"
#include "clocks.h"
#include "regionalsettings.h"

#include <cstring>
#include <fstream>
#include <iterator>

namespace {

const MacAddress kTarget{0x02, 0xC1, 0x1E, 0x00, 0x00, 0x5A};
const MacAddress kOther{0x02, 0xC1, 0x1E, 0x00, 0x00, 0x77};

struct FakeNeighbours final : NeighbourCalls
{
    std::vector<MIB_IPNET_ROW2> table;
    int answerAt = 0;              // the question ARP answers; 0: never
    MacAddress answerer = kTarget; // who answers it
    int resolves = 0;
    MIB_IPNET_ROW2 asked{};

    std::optional<std::vector<MIB_IPNET_ROW2>> Table() override { return table; }
    bool CanResolve() override { return true; }
    DWORD Resolve(MIB_IPNET_ROW2 *row, const SOCKADDR_INET *) override
    {
        asked = *row;
        if (++resolves != answerAt)
            return ERROR_BAD_NET_NAME;
        row->PhysicalAddressLength = 6;
        std::memcpy(row->PhysicalAddress, answerer.data(), 6);
        row->State = NlnsReachable;
        return NO_ERROR;
    }
    bool Echo(const Ipv4Octets &, DWORD, std::string *) override { return false; }
};

MIB_IPNET_ROW2 Row(const char *address, const MacAddress &mac, NL_NEIGHBOR_STATE state)
{
    MIB_IPNET_ROW2 row{};
    row.Address.Ipv4.sin_family = AF_INET;
    row.Address.Ipv4.sin_addr.s_addr = inet_addr(address);
    std::memcpy(row.PhysicalAddress, mac.data(), mac.size());
    row.PhysicalAddressLength = ULONG(mac.size());
    row.State = state;
    return row;
}

std::vector<SendAdapter> Loopback()
{
    SendAdapter adapter;
    adapter.index = 7;
    adapter.link = {"Ethernet", {0x02, 0, 0, 0, 0, 0x10}, Ipv4Network{{127, 0, 0, 1}, {255, 0, 0, 0}}, true, true,
                    true};
    return {adapter};
}

struct Run
{
    int status = -1;
    std::string out, err;
};

// The program's --wake with these arguments, its standard error in a file.
Run Wake(const std::vector<std::string> &arguments, FakeNeighbours &neighbours)
{
    const ParsedCommandLine parsed = ParseCommandLine(arguments, {"corvalen-cli", "1.0", false});
    CHECK(parsed.usageError.empty());
    const std::vector<SendAdapter> adapters = Loopback();
    PlannedWake planned = WakeEngine::Plan(WakeOrderOf(parsed.options, false), SendInterfaces(adapters), nullptr);
    CHECK(planned.plan.has_value());

    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    const std::string errPath = std::string(folder) + "tst_consolewake-" + std::to_string(GetCurrentProcessId());
    const HANDLE file = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    const HANDLE standardError = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, file);
    Run run;
    {
        ConsoleStream err(STD_ERROR_HANDLE);
        SystemLocalTimes times;
        JsonSink json([&run](const std::string &text) { run.out += text; }, times);
        WakeSender sender(*planned.plan, adapters);
        ConsoleWake wake(parsed.options, {"corvalen-cli", "1.0", false}, std::move(planned), sender, neighbours,
                          adapters, json, err);
        run.status = wake.Run();
    }
    SetStdHandle(STD_ERROR_HANDLE, standardError);
    CloseHandle(file);
    std::ifstream written(errPath, std::ios::binary);
    run.err.assign(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>());
    DeleteFileA(errPath.c_str());
    return run;
}

bool Has(const std::string &text, const std::string &part)
{
    if (text.find(part) != std::string::npos)
        return true;
    std::fprintf(stderr, "no '%s' in:\n%s\n", part.c_str(), text.c_str());
    return false;
}

} // namespace

TEST(answeringArpIsTheSignOfLife)
{
    FakeNeighbours neighbours;
    neighbours.answerAt = 2;
    const Run run = Wake({"--wake", "02:c1:1e:00:00:5a", "--ip", "127.0.0.2", "--wake-timeout", "60", "--json"},
                         neighbours);
    CHECK_EQUAL(run.status, 0);
    CHECK(Has(run.err, "corvalen-cli: asking for 127.0.0.2 by ARP on Ethernet every 2 s"));
    CHECK(Has(run.out, "\"event\":\"woke\""));
    CHECK(Has(run.out, "\"evidence\":\"arp\""));
    CHECK_EQUAL(neighbours.resolves, 2);
    CHECK_EQUAL(neighbours.asked.InterfaceIndex, NET_IFINDEX(7));
    CHECK_EQUAL(neighbours.asked.Address.Ipv4.sin_addr.s_addr, inet_addr("127.0.0.2"));
}

TEST(anotherMachineAnsweringForTheAddressIsNoSignOfLife)
{
    FakeNeighbours neighbours;
    neighbours.answerAt = 1;
    neighbours.answerer = kOther;
    const Run run = Wake({"--wake", "02:c1:1e:00:00:5a", "--ip", "127.0.0.2", "--wake-timeout", "3", "--json"},
                         neighbours);
    CHECK_EQUAL(run.status, 1);
    CHECK(Has(run.out, "\"event\":\"no_sign_of_life\""));
    CHECK(Has(run.out, "it did not answer ARP for 127.0.0.2 (nothing else of it can be seen without a capture "
                       "driver)"));
}

TEST(theNeighbourTableGivesTheAddressOfAnEntryThatMayStillHold)
{
    FakeNeighbours neighbours;
    neighbours.table = {Row("10.0.0.5", kOther, NlnsReachable), Row("10.0.0.6", kTarget, NlnsUnreachable),
                        Row("10.0.0.7", kTarget, NlnsStale)};
    CHECK_EQUAL(FormatIpv4(NeighbourAddress(neighbours, kTarget).value_or(Ipv4Octets{})), "10.0.0.7");
    neighbours.table.pop_back();
    CHECK(!NeighbourAddress(neighbours, kTarget));
    // Reachable, confirmed within the last seconds: awake already.
    WindowsMachineInfo machine(Loopback(), neighbours);
    CHECK(machine.ReachableNeighbours() == std::vector<MacAddress>{kOther});
}
