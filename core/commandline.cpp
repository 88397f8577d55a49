#include "commandline.h"

#include "sweeps.h"
#include "wireframe.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

constexpr double kLongestTimeoutSeconds = 2147483.0; // what a timer's milliseconds can hold

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

bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
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

// Wrong values are told in the program's own words, so options are read as text.
struct OptionTexts
{
    std::vector<std::string> macs;
    std::string metrics, count, timeout, interfaceName, sweepThreshold, readFile, wakeTimeout;
};

} // namespace

bool WatchOptions::Wants(const MacAddress &mac) const
{
    return macs.empty() || std::find(macs.begin(), macs.end(), mac) != macs.end();
}

bool WatchOptions::Wants(const std::string &macText) const
{
    if (macs.empty())
        return true;
    const std::optional<MacAddress> mac = ParseMacText(macText);
    return mac && Wants(*mac);
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

std::string MacText(const std::string &written)
{
    std::string digits;
    if (written.size() == 12) {
        digits = written;
    } else if (written.size() == 17 && (written[2] == ':' || written[2] == '-')) {
        for (std::size_t i = 0; i < written.size(); ++i) {
            if (i % 3 == 2) {
                if (written[i] != written[2])
                    return {};
            } else {
                digits += written[i];
            }
        }
    }
    if (digits.size() != 12 || !std::all_of(digits.begin(), digits.end(), IsHexDigit))
        return {};
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && i % 2 == 0)
            text += '-';
        text += char(std::toupper(static_cast<unsigned char>(digits[i])));
    }
    return text;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string> &arguments, const ConsoleProgram &program)
{
    CLI::App app(kDescription, program.name);
    app.allow_extras();
    app.footer(ExitStatuses(program));
    app.formatter(std::make_shared<WrappingFormatter>());

    ParsedCommandLine parsed;
    WatchOptions &options = parsed.options;
    OptionTexts texts;
    bool version = false;
    const auto last = CLI::MultiOptionPolicy::TakeLast;
    app.set_help_flag("-h,--help", "Displays this help.");
    app.add_flag("-v,--version", version, "Displays version information.");
    app.add_flag("--json", options.json,
                 "Write one JSON object per event (JSON Lines) instead of the report lines.");
    CLI::Option *mac = app.add_option("--mac", texts.macs,
                                      "Report only magic packets for this MAC address "
                                      "(00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455); may be given "
                                      "again for more machines, each with its own metrics.")
                           ->option_text("MAC")
                           ->expected(1)
                           ->take_all();
    CLI::Option *count = app.add_option("--count", texts.count, "Stop after N magic packets have been reported.")
                             ->option_text("N")
                             ->multi_option_policy(last);
    CLI::Option *timeout = app.add_option("--timeout", texts.timeout, "Stop after this many seconds.")
                               ->option_text("SECONDS")
                               ->multi_option_policy(last);
    CLI::Option *udpOnly = nullptr;
    CLI::Option *interfaceName = nullptr;
    CLI::Option *sweepThreshold = nullptr;
    CLI::Option *readFile = nullptr;
    CLI::Option *wakeTimeout = nullptr;
    CLI::Option *untilWoke = nullptr;
    CLI::Option *promiscuous = nullptr;
    CLI::Option *metrics = nullptr;
    CLI::Option *journal = nullptr;
    if (program.linkLayer) {
        udpOnly = app.add_flag("--udp-only", options.udpOnly,
                               "Watch the raw UDP socket alone and report exactly what the window would, "
                               "without the link-layer capture.");
        interfaceName = app.add_option("--interface", texts.interfaceName,
                                       "Capture the link layer of this interface alone "
                                       "(default: every Ethernet interface).")
                            ->option_text("NAME")
                            ->multi_option_policy(last);
        sweepThreshold = app.add_option("--sweep-threshold", texts.sweepThreshold,
                                        "Report a sweep when one sender sends magic packets for at least N "
                                        "different MAC addresses within 10 s (default: 10).")
                             ->option_text("N")
                             ->multi_option_policy(last);
        readFile = app.add_option("--read", texts.readFile,
                                  "Read the frames of a pcap or pcapng file (\"-\": standard input) instead of "
                                  "live traffic, and stop at its end. Needs no privilege.")
                       ->option_text("FILE")
                       ->multi_option_policy(last);
        wakeTimeout = app.add_option("--wake-timeout", texts.wakeTimeout,
                                     "After a magic packet for another machine, watch for a frame from its MAC "
                                     "this long: it woke, or there was no sign of life (default: 120; 0: do "
                                     "not watch).")
                          ->option_text("SECONDS")
                          ->multi_option_policy(last);
        untilWoke = app.add_flag("--until-woke", options.untilWoke,
                                 "With --mac: exit 0 once that machine woke, 1 when its watch ended without a "
                                 "sign of life or --timeout came first.");
        promiscuous = app.add_flag("--promiscuous", options.promiscuous,
                                   "Put the capture into promiscuous mode, to see unicast frames for other "
                                   "machines on a mirrored switch port or a bridge.");
        metrics = app.add_option("--metrics", texts.metrics,
                                 "Serve Prometheus metrics at /metrics on this port, of this address "
                                 "(127.0.0.1:19009, [::1]:19009; a port alone: every IPv4 address; an "
                                 "address alone: port 19009).")
                      ->option_text("[ADDRESS:]PORT")
                      ->multi_option_policy(last);
        journal = app.add_flag("--journal", options.journal,
                               "Write every event to the systemd journal, with its fields, instead of "
                               "standard output (the default when standard output is the journal).");
    }
    app.add_flag("--check", options.check,
                 program.linkLayer ? "Say whether this machine is ready to be woken, and stays so after a reboot, "
                                     "through each wired interface, with what fixes each problem; then exit. "
                                     "Takes --json alone."
                                   : "Say whether this machine is ready to be woken through each wired adapter, "
                                     "with what fixes each problem; then exit. Takes --json alone.");

    try {
        app.parse(std::vector<std::string>(arguments.rbegin(), arguments.rend()));
    } catch (const CLI::CallForHelp &) {
        parsed.output = app.help();
        return parsed;
    } catch (const CLI::ArgumentMismatch &error) {
        const std::string what = error.what();
        parsed.usageError = "Missing value after " + Quoted(what.substr(0, what.find(':'))) + ".";
        return parsed;
    } catch (const CLI::ParseError &error) {
        parsed.usageError = error.what();
        return parsed;
    }
    if (version) {
        parsed.output = program.name + ' ' + program.version + '\n';
        return parsed;
    }
    if (const std::vector<std::string> extras = app.remaining(); !extras.empty()) {
        const auto positional = std::find(extras.begin(), extras.end(), "--");
        if (positional != extras.begin() && extras.front().size() > 1 && extras.front()[0] == '-') {
            const std::string name = extras.front().substr(extras.front().find_first_not_of('-'));
            parsed.usageError = "Unknown option " + Quoted(name.substr(0, name.find('='))) + ".";
        } else {
            const auto first = positional == extras.begin() ? extras.begin() + 1 : extras.begin();
            parsed.usageError = first == extras.end() ? std::string()
                                                      : "Unexpected argument " + Quoted(*first) + ".";
        }
        if (!parsed.usageError.empty())
            return parsed;
    }

    for (const CLI::Option *watchOnly :
         {mac, count, timeout, udpOnly, interfaceName, sweepThreshold, readFile, wakeTimeout, untilWoke, promiscuous,
          metrics, journal}) {
        if (options.check && watchOnly && watchOnly->count() > 0) {
            parsed.usageError = "--check and " + watchOnly->get_name() + " exclude each other.";
            return parsed;
        }
    }
    options.interfaceName = texts.interfaceName;
    if (interfaceName && interfaceName->count() > 0 && (options.udpOnly || options.interfaceName.empty())) {
        parsed.usageError = options.udpOnly ? "--interface and --udp-only exclude each other."
                                            : "--interface: the name is empty.";
        return parsed;
    }
    if (udpOnly && options.udpOnly) {
        for (const CLI::Option *linkLayer : {wakeTimeout, untilWoke, promiscuous}) {
            if (linkLayer->count() > 0) {
                parsed.usageError = linkLayer->get_name() + " and --udp-only exclude each other.";
                return parsed;
            }
        }
    }
    if (readFile && readFile->count() > 0) {
        for (const CLI::Option *live : {udpOnly, interfaceName, promiscuous, metrics}) {
            if (live->count() > 0) {
                parsed.usageError = "--read and " + live->get_name() + " exclude each other.";
                return parsed;
            }
        }
        if (texts.readFile.empty()) {
            parsed.usageError = "--read: the file name is empty.";
            return parsed;
        }
        options.readFile = texts.readFile;
    }
    if (sweepThreshold && sweepThreshold->count() > 0) {
        const std::optional<int> value = Parsed<int>(texts.sweepThreshold);
        if (options.udpOnly) {
            parsed.usageError = "--sweep-threshold and --udp-only exclude each other.";
            return parsed;
        }
        if (!value || *value < 2 || *value > SweepDetector::kHighestThreshold) {
            parsed.usageError = "--sweep-threshold: " + Quoted(texts.sweepThreshold)
                + " is not a whole number from 2 to " + std::to_string(SweepDetector::kHighestThreshold) + ".";
            return parsed;
        }
        options.sweepThreshold = *value;
    }
    for (const std::string &written : texts.macs) {
        const std::string text = MacText(written);
        if (text.empty()) {
            parsed.usageError = "--mac: " + Quoted(written) +
                                " is not a MAC address (write 00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455).";
            return parsed;
        }
        const MacAddress mac = *ParseMacText(text);
        if (std::find(options.macs.begin(), options.macs.end(), mac) == options.macs.end())
            options.macs.push_back(mac);
    }
    if (options.macs.size() > kMostNamedMacs) {
        parsed.usageError = "--mac: at most " + std::to_string(kMostNamedMacs) + " machines.";
        return parsed;
    }
    if (metrics && metrics->count() > 0) {
        options.metricsAddress = MetricsListenAddress(texts.metrics);
        if (options.metricsAddress.empty()) {
            parsed.usageError = "--metrics: " + Quoted(texts.metrics)
                + " is not [ADDRESS:]PORT (write 19009, 127.0.0.1:19009 or [::1]:19009).";
            return parsed;
        }
    }
    if (wakeTimeout && wakeTimeout->count() > 0) {
        const std::optional<double> seconds = Parsed<double>(texts.wakeTimeout);
        if (!seconds || !(*seconds >= 0) || *seconds > kLongestTimeoutSeconds) {
            parsed.usageError = "--wake-timeout: " + Quoted(texts.wakeTimeout)
                + " is not a number of seconds from 0 to 2147483.";
            return parsed;
        }
        options.wakeTimeoutMs = int(std::lround(*seconds * 1000));
    }
    if (options.untilWoke && (options.macs.size() != 1 || options.wakeTimeoutMs == 0)) {
        parsed.usageError = options.macs.empty() ? "--until-woke needs --mac: the machine to wait for."
            : options.macs.size() > 1            ? "--until-woke waits for one machine: give --mac once."
                                                 : "--until-woke needs a --wake-timeout above 0.";
        return parsed;
    }
    if (count->count() > 0) {
        const std::optional<int> value = Parsed<int>(texts.count);
        if (!value || *value < 1) {
            parsed.usageError = "--count: " + Quoted(texts.count) + " is not a whole number of at least 1.";
            return parsed;
        }
        options.count = value;
    }
    if (timeout->count() > 0) {
        const std::optional<double> seconds = Parsed<double>(texts.timeout);
        if (!seconds || !(*seconds > 0) || *seconds > kLongestTimeoutSeconds) {
            parsed.usageError = "--timeout: " + Quoted(texts.timeout) +
                                " is not a number of seconds above 0 and up to 2147483.";
            return parsed;
        }
        options.timeoutMs = std::max(1, int(std::lround(*seconds * 1000)));
    }
    return parsed;
}

std::string UsageErrorText(const ConsoleProgram &program, const std::string &error)
{
    return program.name + ": " + error + "\nTry '" + program.name + " --help' for more information.\n";
}

CaptureChoice CaptureChoiceFrom(int argc, const char *const argv[])
{
    CaptureChoice choice;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--")
            break;
        if (argument == "--udp-only")
            choice.wanted = false;
        else if (argument == "--check")
            choice.check = true;
        else if (argument == "--read" || argument.rfind("--read=", 0) == 0)
            choice.readFile = true;
        else if (argument == "--promiscuous")
            choice.promiscuous = true;
        else if (argument == "--interface" && i + 1 < argc)
            choice.interfaceName = argv[++i];
        else if (argument.rfind("--interface=", 0) == 0)
            choice.interfaceName = argument.substr(12);
    }
    return choice;
}
