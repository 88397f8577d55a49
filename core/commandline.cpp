#include "commandline.h"

#include "sweeps.h"
#include "wakerequest.h"
#include "wireframe.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <deque>
#include <string_view>

namespace {

constexpr double kLongestTimeoutSeconds = 2147483.0; // what a timer's milliseconds can hold
constexpr int kLongestAsleepAfterSeconds = 7 * 24 * 3600; // a week

constexpr const char *kDescription =
    "Shows the Wake-on-LAN magic packets that reach this computer, as they arrive.";
constexpr const char *kExitStatuses =
    "Exit status: 0 when --count was reached, at --timeout without --count, or\n"
    "when stopped (%s);\n"
    "1 when --timeout passed before --count was reached; 2 for a wrong command\n"
    "line; 3 when it cannot listen%s.\n"
    "With --check: 0 when at least one wired interface is ready to wake this\n"
    "machine, 1 when none is.";

std::string Quoted(const std::string &value)
{
    return '\'' + value + '\'';
}

// The whole text as a number of type T, or nothing.
template <typename T> std::optional<T> Parsed(const std::string &text)
{
    T value{};
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::string ExitStatuses(const ConsoleProgram &program)
{
    const std::string signals = program.linkLayer ? "Ctrl+C, SIGINT or SIGTERM" : "Ctrl+C or Ctrl+Break";
    std::string text = kExitStatuses;
    text.replace(text.find("%s"), 2, signals);
    text.replace(text.find("%s"), 2,
                 program.linkLayer ? " or cannot read the --read file; 4 when that\nfile is damaged" : "");
    return text;
}

// Descriptions wrapped to an 80-column terminal, as a program's help usually is.
class WrappingFormatter final : public CLI::Formatter
{
public:
    static constexpr std::size_t kColumns = 80;
    static constexpr std::size_t kNameColumn = 20;

    WrappingFormatter() { column_width(kNameColumn); }

    std::string make_option_desc(const CLI::Option *option) const override
    {
        const std::string description = CLI::Formatter::make_option_desc(option);
        std::string wrapped, line;
        std::size_t start = 0;
        while (start < description.size()) {
            std::size_t end = description.find(' ', start);
            if (end == std::string::npos)
                end = description.size();
            const std::string word = description.substr(start, end - start);
            if (!line.empty() && line.size() + 1 + word.size() > kColumns - kNameColumn) {
                wrapped += line + '\n';
                line.clear();
            }
            line += (line.empty() ? "" : " ") + word;
            start = end + 1;
        }
        return wrapped + line;
    }
};

// What is wrong with a written value, for "--option: " to precede; empty when the
// value landed in the options.
using Landing = std::string (*)(const std::string &written, WatchOptions &options);

// Adds the MAC written to `macs` once; what is wrong with it otherwise.
std::string AddMac(const std::string &written, std::vector<MacAddress> &macs)
{
    const std::optional<MacAddress> parsed = ParseMac(written);
    if (!parsed)
        return Quoted(written) + " is not a MAC address (write 00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455).";
    const MacAddress mac = *parsed;
    if (std::find(macs.begin(), macs.end(), mac) == macs.end())
        macs.push_back(mac);
    return {};
}

std::string LandMac(const std::string &written, WatchOptions &options)
{
    return AddMac(written, options.macs);
}

std::string LandMachine(const std::string &written, WatchOptions &options)
{
    const std::size_t equals = written.find('=');
    const std::string macText = written.substr(0, equals);
    const std::optional<MacAddress> mac = ParseMac(macText);
    if (!mac)
        return Quoted(macText) + " is not a MAC address (write MAC or MAC=NAME: 00-11-22-33-44-55=nas).";
    if (!CardCanHave(*mac))
        return Quoted(macText) + " is no network card's address: it is a group address, or zero.";
    const std::string name = equals == std::string::npos ? FormatMac(*mac) : written.substr(equals + 1);
    if (!ValidMachineName(name))
        return Quoted(name) + " is not a machine's name: 1 to " + std::to_string(kLongestMachineName)
            + " bytes of UTF-8, without control characters.";
    for (const WatchedMachine &machine : options.machines) {
        if (machine.mac == *mac)
            return FormatMac(*mac) + " is given twice.";
    }
    options.machines.push_back({*mac, name});
    return {};
}

std::string LandAsleepAfter(const std::string &written, WatchOptions &options)
{
    const std::optional<double> seconds = Parsed<double>(written);
    if (!seconds || !(*seconds >= 1) || *seconds > kLongestAsleepAfterSeconds)
        return Quoted(written) + " is not a number of seconds from 1 to " + std::to_string(kLongestAsleepAfterSeconds)
            + ".";
    options.asleepAfter = std::chrono::milliseconds(std::lround(*seconds * 1000));
    return {};
}

std::string LandCount(const std::string &written, WatchOptions &options)
{
    const std::optional<int> value = Parsed<int>(written);
    if (!value || *value < 1)
        return Quoted(written) + " is not a whole number of at least 1.";
    options.count = value;
    return {};
}

std::string LandTimeout(const std::string &written, WatchOptions &options)
{
    const std::optional<double> seconds = Parsed<double>(written);
    if (!seconds || !(*seconds > 0) || *seconds > kLongestTimeoutSeconds)
        return Quoted(written) + " is not a number of seconds above 0 and up to 2147483.";
    options.timeout = std::chrono::milliseconds(std::max(1L, std::lround(*seconds * 1000)));
    return {};
}

std::string LandInterface(const std::string &written, WatchOptions &options)
{
    options.interfaceName = written;
    return written.empty() ? "the name is empty." : "";
}

std::string LandSweepThreshold(const std::string &written, WatchOptions &options)
{
    const std::optional<int> value = Parsed<int>(written);
    if (!value || *value < 2 || *value > SweepDetector::kHighestThreshold)
        return Quoted(written) + " is not a whole number from 2 to " + std::to_string(SweepDetector::kHighestThreshold)
            + ".";
    options.sweepThreshold = *value;
    return {};
}

std::string LandReadFile(const std::string &written, WatchOptions &options)
{
    options.readFile = written;
    return written.empty() ? "the file name is empty." : "";
}

std::string LandWakeTimeout(const std::string &written, WatchOptions &options)
{
    const std::optional<double> seconds = Parsed<double>(written);
    if (!seconds || !(*seconds >= 0) || *seconds > kLongestTimeoutSeconds)
        return Quoted(written) + " is not a number of seconds from 0 to 2147483.";
    options.wakeTimeout = std::chrono::milliseconds(std::lround(*seconds * 1000));
    return {};
}

std::string LandMetrics(const std::string &written, WatchOptions &options)
{
    options.metricsAddress = MetricsListenAddress(written);
    if (options.metricsAddress.empty())
        return Quoted(written) + " is not [ADDRESS:]PORT (write 19009, 127.0.0.1:19009 or [::1]:19009).";
    return {};
}

std::string LandWake(const std::string &written, WatchOptions &options)
{
    return AddMac(written, options.wake);
}

std::string LandPort(const std::string &written, WatchOptions &options)
{
    const std::optional<int> value = Parsed<int>(written);
    if (!value || *value < 1 || *value > 65535)
        return Quoted(written) + " is not a port from 1 to 65535.";
    options.wakePort = std::uint16_t(*value);
    return {};
}

std::string LandPassword(const std::string &written, WatchOptions &options)
{
    const std::optional<std::vector<std::uint8_t>> bytes = ParsePassword(written);
    if (!bytes)
        return Quoted(written)
            + " is not a SecureOn password (six bytes written as a MAC address, 00:11:22:33:44:55, or four in "
              "dotted decimal, 192.168.1.1).";
    options.password = *bytes;
    return {};
}

std::string LandTo(const std::string &written, WatchOptions &options)
{
    const std::optional<Ipv4Octets> address = ParseIpv4(written);
    if (!address)
        return Quoted(written) + " is not an IPv4 address.";
    if (std::find(options.wakeTo.begin(), options.wakeTo.end(), *address) == options.wakeTo.end())
        options.wakeTo.push_back(*address);
    return {};
}

std::string LandIp(const std::string &written, WatchOptions &options)
{
    options.wakeIp = ParseIpv4(written);
    return options.wakeIp ? "" : Quoted(written) + " is not an IPv4 address.";
}

std::string LandMqtt(const std::string &written, WatchOptions &options)
{
    std::string why;
    options.mqtt.url = ParseMqttUrl(written, why);
    return options.mqtt.url ? "" : Quoted(written) + " is not a broker's URL: " + why + ".";
}

// A value that names something: it may not be empty.
template <std::string WatchOptions::Mqtt::*field> std::string LandMqttText(const std::string &written, WatchOptions &options)
{
    options.mqtt.*field = written;
    return written.empty() ? "the value is empty." : "";
}

template <std::string WatchOptions::Mqtt::*field> std::string LandSensorName(const std::string &written, WatchOptions &options)
{
    options.mqtt.*field = written;
    if (!ValidSensorName(written))
        return Quoted(written) + " is not a sensor's name: 1 to " + std::to_string(kLongestSensorName)
            + " letters, digits, '-' and '_'.";
    return {};
}

// Which console programs have an option: both, or the one that watches the link
// layer too, or the one that watches the raw socket alone.
enum class Consoles { Both, LinkLayer, RawSocketOnly };

// An option of the console programs: what --help says of it, which programs have
// it, where it lands in the options and what it cannot come with.
struct ConsoleOption
{
    const char *name;
    const char *valueName = nullptr; // none for a flag
    const char *help;
    Consoles consoles = Consoles::Both;
    bool WatchOptions::*flag = nullptr; // where a flag lands
    Landing land = nullptr;             // how a value lands
    bool repeatable = false;            // each value counts, not only the last
    bool withCheck = false;             // may come with --check
    bool needsCapture = false;          // means nothing with --udp-only
    bool live = false;                  // means nothing with --read
    bool wakeOnly = false;              // means something only with --wake
    bool mqttOnly = false;              // means something only with --mqtt
};

// In the order --help lists them, after -h and -v.
const ConsoleOption kOptions[] = {
    {.name = "--json",
     .help = "Write one JSON object per event (JSON Lines) instead of the report lines.",
     .flag = &WatchOptions::json,
     .withCheck = true},
    {.name = "--mac",
     .valueName = "MAC",
     .help = "Report only magic packets for this MAC address (00:11:22:33:44:55, 00-11-22-33-44-55 or "
             "001122334455); may be given again for more machines, each with its own metrics.",
     .land = LandMac,
     .repeatable = true},
    {.name = "--count", .valueName = "N", .help = "Stop after N magic packets have been reported.", .land = LandCount},
    {.name = "--timeout", .valueName = "SECONDS", .help = "Stop after this many seconds.", .land = LandTimeout},
    {.name = "--udp-only",
     .help = "Watch the raw UDP socket alone and report exactly what the window would, without the link-layer "
             "capture.",
     .consoles = Consoles::LinkLayer,
     .flag = &WatchOptions::udpOnly,
     .live = true},
    {.name = "--interface",
     .valueName = "NAME",
     .help = "Capture the link layer of this interface alone (default: every Ethernet interface).",
     .consoles = Consoles::LinkLayer,
     .land = LandInterface,
     .needsCapture = true,
     .live = true},
    {.name = "--sweep-threshold",
     .valueName = "N",
     .help = "Report a sweep when one sender sends magic packets for at least N different MAC addresses within "
             "10 s (default: 10).",
     .consoles = Consoles::LinkLayer,
     .land = LandSweepThreshold,
     .needsCapture = true},
    {.name = "--read",
     .valueName = "FILE",
     .help = "Read the frames of a pcap or pcapng file (\"-\": standard input) instead of live traffic, and stop at "
             "its end. Needs no privilege.",
     .consoles = Consoles::LinkLayer,
     .land = LandReadFile},
    {.name = "--wake-timeout",
     .valueName = "SECONDS",
     .help = "After a magic packet for another machine, watch for a frame from its MAC this long: it woke, or "
             "there was no sign of life (default: 120; 0: do not watch).",
     .consoles = Consoles::LinkLayer,
     .land = LandWakeTimeout,
     .needsCapture = true},
    {.name = "--until-woke",
     .help = "With --mac: exit 0 once that machine woke, 1 when its watch ended without a sign of life or "
             "--timeout came first.",
     .consoles = Consoles::LinkLayer,
     .flag = &WatchOptions::untilWoke,
     .needsCapture = true},
    {.name = "--promiscuous",
     .help = "Put the capture into promiscuous mode, to see unicast frames for other machines on a mirrored "
             "switch port or a bridge.",
     .consoles = Consoles::LinkLayer,
     .flag = &WatchOptions::promiscuous,
     .needsCapture = true,
     .live = true},
    {.name = "--metrics",
     .valueName = "[ADDRESS:]PORT",
     .help = "Serve Prometheus metrics at /metrics on this port, of this address (127.0.0.1:19009, [::1]:19009; "
             "a port alone: every IPv4 address; an address alone: port 19009).",
     .consoles = Consoles::LinkLayer,
     .land = LandMetrics,
     .live = true},
    {.name = "--journal",
     .help = "Write every event to the systemd journal, with its fields, instead of standard output (the default "
             "when standard output is the journal).",
     .consoles = Consoles::LinkLayer,
     .flag = &WatchOptions::journal},
    {.name = "--machine",
     .valueName = "MAC[=NAME]",
     .help = "Keep track of this machine: awake at any frame from its MAC, asleep once nothing came from it for "
             "--asleep-after seconds and it does not answer ARP at its address (asked twice, a second apart). "
             "Each change is an event; its state and its wakes are metrics and, with --mqtt, a Home Assistant "
             "device with a wake button. May be given again, for at most 64 machines.",
     .consoles = Consoles::LinkLayer,
     .land = LandMachine,
     .repeatable = true,
     .needsCapture = true,
     .live = true},
    {.name = "--asleep-after",
     .valueName = "SECONDS",
     .help = "With --machine: the silence after which a machine is asked by ARP, and held asleep when it does not "
             "answer, or at once when no address of it is known (default: 600).",
     .consoles = Consoles::LinkLayer,
     .land = LandAsleepAfter,
     .needsCapture = true,
     .live = true},
    {.name = "--wake",
     .valueName = "MAC",
     .help = "Wake this machine: send it magic packets from every wired interface that is up with a carrier, as "
             "an Ethernet frame of type 0x0842 and as UDP to the interface's broadcast address and to "
             "255.255.255.255, each three times; then watch as --until-woke does, and say whether it woke. May be "
             "given again.",
     .consoles = Consoles::LinkLayer,
     .land = LandWake,
     .repeatable = true,
     .live = true},
    {.name = "--wake",
     .valueName = "MAC",
     .help = "Wake this machine: send it magic packets as UDP to each adapter's broadcast address and to "
             "255.255.255.255, each three times, then ask for it by ARP or ICMP echo and say whether it woke. "
             "(The Ethernet frame of type 0x0842 needs a capture driver, which this program does without.) May be "
             "given again.",
     .consoles = Consoles::RawSocketOnly,
     .land = LandWake,
     .repeatable = true},
    {.name = "--wake-timeout",
     .valueName = "SECONDS",
     .help = "With --wake: how long the machine has to answer once the packets are sent (default: 120).",
     .consoles = Consoles::RawSocketOnly,
     .land = LandWakeTimeout,
     .wakeOnly = true},
    {.name = "--port",
     .valueName = "N",
     .help = "With --wake: the UDP port to send to (default: 9).",
     .land = LandPort,
     .wakeOnly = true},
    {.name = "--password",
     .valueName = "PASSWORD",
     .help = "With --wake: the SecureOn password, six bytes written as a MAC address or four in dotted decimal.",
     .land = LandPassword,
     .wakeOnly = true},
    {.name = "--to",
     .valueName = "ADDRESS",
     .help = "With --wake: send UDP to this IPv4 address too, for a machine behind a router (its subnet's "
             "broadcast address, or a relay). May be given again.",
     .land = LandTo,
     .repeatable = true,
     .wakeOnly = true},
    {.name = "--ip",
     .valueName = "ADDRESS",
     .help = "With --wake: the machine's IPv4 address. Once the packets are sent it is asked for every 2 s, by "
             "ARP on this machine's subnets and by ICMP echo beyond them: a machine that wakes but stays silent "
             "still answers.",
     .land = LandIp,
     .wakeOnly = true},
    {.name = "--mqtt",
     .valueName = "URL",
     .help = "Publish the events to this MQTT broker (mqtt://HOST[:PORT] or mqtts://HOST[:PORT] for TLS) and wake "
             "machines on request; with --wake, ask the sensor on the machine's segment to wake it instead of "
             "sending from here.",
     .consoles = Consoles::LinkLayer,
     .land = LandMqtt,
     .needsCapture = true,
     .live = true},
    {.name = "--mqtt-user",
     .valueName = "NAME",
     .help = "With --mqtt: the user name to log in with.",
     .consoles = Consoles::LinkLayer,
     .land = LandMqttText<&WatchOptions::Mqtt::user>,
     .mqttOnly = true},
    {.name = "--mqtt-password-file",
     .valueName = "FILE",
     .help = "With --mqtt: the file holding the password, readable by its owner alone (default under systemd: "
             "the credential mqtt-password).",
     .consoles = Consoles::LinkLayer,
     .land = LandMqttText<&WatchOptions::Mqtt::passwordFile>,
     .mqttOnly = true},
    {.name = "--mqtt-ca",
     .valueName = "FILE",
     .help = "With mqtts://: the certificate authorities to trust for the broker's certificate (default: the "
             "system's).",
     .consoles = Consoles::LinkLayer,
     .land = LandMqttText<&WatchOptions::Mqtt::ca>,
     .mqttOnly = true},
    {.name = "--mqtt-cert",
     .valueName = "FILE",
     .help = "With mqtts://: this program's certificate, for a broker that asks for one; with --mqtt-key.",
     .consoles = Consoles::LinkLayer,
     .land = LandMqttText<&WatchOptions::Mqtt::cert>,
     .mqttOnly = true},
    {.name = "--mqtt-key",
     .valueName = "FILE",
     .help = "With mqtts://: the private key of --mqtt-cert.",
     .consoles = Consoles::LinkLayer,
     .land = LandMqttText<&WatchOptions::Mqtt::key>,
     .mqttOnly = true},
    {.name = "--name",
     .valueName = "NAME",
     .help = "With --mqtt: this sensor's name in the topics (default: the host name; letters, digits, '-' and "
             "'_').",
     .consoles = Consoles::LinkLayer,
     .land = LandSensorName<&WatchOptions::Mqtt::name>,
     .mqttOnly = true},
    {.name = "--via",
     .valueName = "NAME",
     .help = "With --wake and --mqtt: ask this sensor (default: the one that saw the machine last and is online).",
     .consoles = Consoles::LinkLayer,
     .land = LandSensorName<&WatchOptions::Mqtt::via>,
     .mqttOnly = true},
    {.name = "--check",
     .help = "Say whether this machine is ready to be woken, and stays so after a reboot, through each wired "
             "interface, with what fixes each problem; then exit. Takes --json alone.",
     .consoles = Consoles::LinkLayer,
     .flag = &WatchOptions::check,
     .withCheck = true},
    {.name = "--check",
     .help = "Say whether this machine is ready to be woken through each wired adapter, with what fixes each "
             "problem; then exit. Takes --json alone.",
     .consoles = Consoles::RawSocketOnly,
     .flag = &WatchOptions::check,
     .withCheck = true},
};

// An option of the table as one program has it, with the words written for it.
struct AddedOption
{
    explicit AddedOption(const ConsoleOption &row) : row(row) {}

    const ConsoleOption &row;
    CLI::Option *cli = nullptr;
    std::vector<std::string> values; // a repeatable option's
    std::string value;               // the last one of any other

    bool Given() const { return cli->count() > 0; }
    std::string Name() const { return cli->get_name(); }
    std::vector<std::string> Written() const { return row.repeatable ? values : std::vector<std::string>{value}; }
};
// CLI11 writes to each one's words: they stay where they are while more are added.
using AddedOptions = std::deque<AddedOption>;

bool Has(const ConsoleProgram &program, Consoles consoles)
{
    switch (consoles) {
    case Consoles::Both:
        return true;
    case Consoles::LinkLayer:
        return program.linkLayer;
    case Consoles::RawSocketOnly:
        return !program.linkLayer;
    }
    return false;
}

// Whether the program has the option and it was given.
bool Given(const AddedOptions &added, std::string_view name)
{
    return std::any_of(added.begin(), added.end(),
                       [name](const AddedOption &option) { return option.row.name == name && option.Given(); });
}

// The program's options from the table, each read as text so that a wrong value is
// told in the program's own words; flags land in `options` straight away.
AddedOptions AddOptions(CLI::App &app, const ConsoleProgram &program, WatchOptions &options)
{
    AddedOptions added;
    for (const ConsoleOption &row : kOptions) {
        if (!Has(program, row.consoles))
            continue;
        AddedOption &option = added.emplace_back(row);
        if (row.flag) {
            option.cli = app.add_flag(row.name, options.*row.flag, row.help);
        } else if (row.repeatable) {
            option.cli = app.add_option(row.name, option.values, row.help)->expected(1)->take_all();
        } else {
            option.cli = app.add_option(row.name, option.value, row.help)
                             ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
        }
        if (row.valueName)
            option.cli->option_text(row.valueName);
    }
    return added;
}

// CLI11's reading of the words: false, with the help or the usage error in `parsed`,
// when nothing more is to be read from them.
bool ReadWords(CLI::App &app, const std::vector<std::string> &arguments, ParsedCommandLine &parsed)
{
    try {
        app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
    } catch (const CLI::CallForHelp &) {
        parsed.output = app.help();
        return false;
    } catch (const CLI::ArgumentMismatch &error) {
        const std::string what = error.what();
        parsed.usageError = "Missing value after " + Quoted(what.substr(0, what.find(':'))) + ".";
        return false;
    } catch (const CLI::ParseError &error) {
        parsed.usageError = error.what();
        return false;
    }
    return true;
}

// The first of the words that are no option of the program, as a usage error.
std::string StrayArgument(const std::vector<std::string> &extras)
{
    if (extras.empty())
        return {};
    const auto positional = std::find(extras.begin(), extras.end(), "--");
    const std::string &word = extras.front();
    if (positional != extras.begin() && word.size() > 1 && word[0] == '-') {
        const std::size_t dashes = word.find_first_not_of('-');
        const std::string name = dashes == std::string::npos ? word : word.substr(dashes); // "---" is a name too
        return "Unknown option " + Quoted(name.substr(0, name.find('='))) + ".";
    }
    const auto first = positional == extras.begin() ? extras.begin() + 1 : extras.begin();
    return first == extras.end() ? std::string() : "Unexpected argument " + Quoted(*first) + ".";
}

// Options given together that exclude each other, before any value is read: --check
// and --udp-only when set, --read when given, against each option given.
std::string Exclusion(const AddedOptions &added, const WatchOptions &options)
{
    for (const AddedOption &option : added) {
        if (options.check && !option.row.withCheck && option.Given())
            return "--check and " + option.Name() + " exclude each other.";
    }
    for (const AddedOption &option : added) {
        if (options.udpOnly && option.row.needsCapture && option.Given())
            return option.Name() + " and --udp-only exclude each other.";
    }
    const bool wake = Given(added, "--wake");
    for (const AddedOption &option : added) {
        if (!wake && option.row.wakeOnly && option.Given())
            return option.Name() + " needs --wake: the machine to send to.";
    }
    const bool mqtt = Given(added, "--mqtt");
    for (const AddedOption &option : added) {
        if (!mqtt && option.row.mqttOnly && option.Given())
            return option.Name() + " needs --mqtt: the broker.";
    }
    if (Given(added, "--asleep-after") && !Given(added, "--machine"))
        return "--asleep-after needs --machine: the machines to keep track of.";
    if (mqtt && wake && Given(added, "--machine"))
        return "--machine keeps track of machines on this sensor; with --wake and --mqtt, the sensor asked does.";
    if (Given(added, "--via") && !wake)
        return "--via needs --wake: the machine to wake.";
    if (Given(added, "--name") && wake)
        return "--name names this sensor; with --wake, --via names the sensor to ask.";
    if (mqtt && wake && Given(added, "--to"))
        return "--to and --mqtt exclude each other: the sensor sends on its own segment.";
    for (const std::string_view other : {"--count", "--until-woke", "--udp-only"}) {
        if (wake && Given(added, other))
            return "--wake and " + std::string(other) + " exclude each other.";
    }
    const bool read = Given(added, "--read");
    for (const AddedOption &option : added) {
        if (read && option.row.live && option.Given())
            return "--read and " + option.Name() + " exclude each other.";
    }
    return {};
}

// The values written, each landed in the options; the first one that is wrong.
std::string WrongValue(const AddedOptions &added, WatchOptions &options)
{
    for (const AddedOption &option : added) {
        if (!option.row.land || !option.Given())
            continue;
        for (const std::string &written : option.Written()) {
            if (const std::string wrong = option.row.land(written, options); !wrong.empty())
                return option.Name() + ": " + wrong;
        }
    }
    return {};
}

// What the values landed in the options say together.
std::string Combination(const WatchOptions &options)
{
    if (options.macs.size() > kMostNamedMacs)
        return "--mac: at most " + std::to_string(kMostNamedMacs) + " machines.";
    if (options.machines.size() > kMostNamedMacs)
        return "--machine: at most " + std::to_string(kMostNamedMacs) + " machines.";
    if (options.untilWoke && options.macs.empty())
        return "--until-woke needs --mac: the machine to wait for.";
    if (options.untilWoke && options.macs.size() > 1)
        return "--until-woke waits for one machine: give --mac once.";
    if (options.untilWoke && options.wakeTimeout == std::chrono::milliseconds::zero())
        return "--until-woke needs a --wake-timeout above 0.";
    if (options.wake.size() > kMostNamedMacs)
        return "--wake: at most " + std::to_string(kMostNamedMacs) + " machines.";
    if (!options.wake.empty() && options.wakeTimeout == std::chrono::milliseconds::zero())
        return "--wake needs a --wake-timeout above 0: the time the machine has to wake.";
    if (options.wakeIp && options.wake.size() > 1)
        return "--ip names one machine's address: give --wake once.";
    const WatchOptions::Mqtt &mqtt = options.mqtt;
    if (mqtt.url) {
        if (options.wake.size() > 1)
            return "--mqtt asks for one machine at a time: give --wake once.";
        if (options.wake.empty() && options.wakeTimeout == std::chrono::milliseconds::zero())
            return "--mqtt needs a --wake-timeout above 0: the sensor proves each wake it sends.";
        if (!options.wake.empty() && options.wakeTimeout > kLongestRequestTimeout)
            return "--wake-timeout: a sensor gives a machine at most " + std::to_string(kLongestRequestTimeout.count())
                + " s to wake.";
        if (!mqtt.passwordFile.empty() && mqtt.user.empty())
            return "--mqtt-password-file needs --mqtt-user: the user the password is for.";
        if (mqtt.cert.empty() != mqtt.key.empty())
            return "--mqtt-cert and --mqtt-key come together.";
        if (!mqtt.url->tls && !(mqtt.ca.empty() && mqtt.cert.empty()))
            return std::string(mqtt.ca.empty() ? "--mqtt-cert" : "--mqtt-ca") + " needs mqtts://: a broker with TLS.";
    }
    return {};
}

} // namespace

bool ValidMachineName(std::string_view name)
{
    if (name.empty() || name.size() > kLongestMachineName)
        return false;
    for (std::size_t at = 0; at < name.size();) {
        const auto lead = std::uint8_t(name[at]);
        if (lead < 0x20 || lead == 0x7F)
            return false;
        const std::size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3
                                                  : (lead & 0xF8) == 0xF0  ? 4
                                                                           : 0;
        if (length == 0 || at + length > name.size() || (length == 2 && lead < 0xC2))
            return false;
        for (std::size_t next = 1; next < length; ++next)
            if ((std::uint8_t(name[at + next]) & 0xC0) != 0x80)
                return false;
        at += length;
    }
    return true;
}

bool WatchOptions::Wants(const MacAddress &mac) const
{
    return macs.empty() || std::find(macs.begin(), macs.end(), mac) != macs.end();
}

std::string MetricsListenAddress(const std::string &written)
{
    std::string address;
    std::string port = written;
    if (!written.empty() && written.front() == '[') {
        const std::size_t close = written.find(']');
        if (close == std::string::npos || close == 1)
            return {};
        address = written.substr(0, close + 1);
        port = written.substr(close + 1);
        if (!port.empty() && port.front() != ':')
            return {};
        port = port.empty() ? std::string() : port.substr(1);
        const std::string inside = address.substr(1, address.size() - 2);
        if (inside.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos
            || inside.find(':') == std::string::npos)
            return {};
    } else if (const std::size_t colon = written.find(':'); colon != std::string::npos) {
        address = written.substr(0, colon);
        port = written.substr(colon + 1);
    } else if (written.find('.') != std::string::npos) {
        address = written;
        port.clear();
    }
    if (!address.empty() && address.front() != '[' && !ParseIpv4(address))
        return {};
    if (port.empty() && address.empty())
        return {};
    const std::optional<int> number = port.empty() ? kDefaultMetricsPort : Parsed<int>(port);
    if (!number || *number < 1 || *number > 65535)
        return {};
    return address.empty() ? std::to_string(*number) : address + ':' + std::to_string(*number);
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &arguments, const ConsoleProgram &program)
{
    CLI::App app(kDescription, program.name);
    app.allow_extras();
    app.footer(ExitStatuses(program));
    app.formatter(std::make_shared<WrappingFormatter>());
    app.set_help_flag("-h,--help", "Displays this help.");
    bool version = false;
    app.add_flag("-v,--version", version, "Displays version information.");
    ParsedCommandLine parsed;
    const AddedOptions added = AddOptions(app, program, parsed.options);
    if (!ReadWords(app, arguments, parsed))
        return parsed;
    if (version) {
        parsed.output = program.name + ' ' + program.version + '\n';
        return parsed;
    }
    std::string &error = parsed.usageError;
    error = StrayArgument(app.remaining());
    if (error.empty())
        error = Exclusion(added, parsed.options);
    if (error.empty())
        error = WrongValue(added, parsed.options);
    if (error.empty())
        error = Combination(parsed.options);
    return parsed;
}

std::string UsageErrorText(const ConsoleProgram &program, const std::string &error)
{
    return program.name + ": " + error + "\nTry '" + program.name + " --help' for more information.\n";
}
