#pragma once

#include "wakereadiness.h"
#include "windowsreadiness.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

// corvalen-cli --check: is this machine ready to be woken?
struct CheckReport
{
    std::vector<InterfaceFacts> interfaces;
    std::vector<InterfaceVerdict> verdicts; // one per interface
    SleepStates sleep;
};

CheckReport JudgeMachine(std::vector<InterfaceFacts> interfaces, SleepStates sleep);

// The report for a terminal; the last line is the command that wakes this machine.
std::vector<std::string> CheckLines(const CheckReport &report);
// The same as one JSON object.
nlohmann::json CheckJson(const CheckReport &report);

// 0 when at least one wired interface is ready, 1 when none is.
int CheckExitStatus(const CheckReport &report);

// The same check on Windows: each Ethernet adapter and the machine's power settings.
struct WindowsCheckReport
{
    std::vector<WindowsAdapterFacts> adapters;
    std::vector<InterfaceVerdict> verdicts; // one per adapter
    WindowsPower power;
};

WindowsCheckReport JudgeMachine(std::vector<WindowsAdapterFacts> adapters, WindowsPower power);
std::vector<std::string> CheckLines(const WindowsCheckReport &report);
nlohmann::json CheckJson(const WindowsCheckReport &report);
int CheckExitStatus(const WindowsCheckReport &report);
