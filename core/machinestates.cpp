#include "machinestates.h"

#include "addresses.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace {

std::string Who(const WatchedMachine &machine)
{
    const std::string mac = FormatMac(machine.mac);
    return machine.name == mac ? mac : machine.name + " (" + mac + ")";
}

std::string WholeSeconds(Nanoseconds span)
{
    return std::to_string(std::llround(std::chrono::duration<double>(span).count())) + " s";
}

std::string Article(const std::string &what)
{
    const bool vowel = !what.empty() && std::string("AEIOUaeiou").find(what.front()) != std::string::npos;
    return vowel ? "an " : "a ";
}

} // namespace

std::string MachineStateLine(const MachineStateEvent &event)
{
    const std::string who = Who(event.machine);
    const std::string on = event.interfaceName.empty() ? std::string() : " on " + event.interfaceName;
    if (event.awake) {
        if (event.answeredArp)
            return "Awake: " + who + " answered ARP for " + FormatIpv4(event.address.value_or(Ipv4Octets{})) + on;
        const std::string what = event.sign ? SignOfLifeText(*event.sign) : "frame";
        const std::string from = event.address ? " from " + FormatIpv4(*event.address) : std::string();
        return "Awake: " + who + " sent " + Article(what) + what + from + on;
    }
    const std::string silence = event.lastSeen ? "sent nothing for " + WholeSeconds(event.silentFor)
                                               : "sent nothing since the start, " + WholeSeconds(event.silentFor)
                                                     + " ago";
    if (event.reason == MachineStateEvent::Reason::NoArpAnswer)
        return "Asleep: " + who + " " + silence + (event.lastSeen ? "" : ",") + " and did not answer ARP for "
               + FormatIpv4(event.address.value_or(Ipv4Octets{})) + on + ", asked twice";
    if (event.address && !event.interfaceName.empty())
        return "Asleep: " + who + " " + silence + "; ARP for " + FormatIpv4(*event.address) + on
               + " could not be sent";
    return "Asleep: " + who + " " + silence + "; it could not be asked: no IPv4 address of it is known on this "
           "machine's subnets";
}

MachineStates::MachineStates(std::vector<WatchedMachine> machines, Nanoseconds asleepAfter)
    : m_asleepAfter(asleepAfter)
{
    for (WatchedMachine &machine : machines) {
        Machine &added = m_machines.emplace_back();
        added.id = std::move(machine);
    }
}

const MachineStates::Machine *MachineStates::Find(const MacAddress &mac) const
{
    for (const Machine &machine : m_machines)
        if (machine.id.mac == mac)
            return &machine;
    return nullptr;
}

MachineStates::Machine *MachineStates::Find(const MacAddress &mac)
{
    return const_cast<Machine *>(std::as_const(*this).Find(mac));
}

MachineStates::Heard MachineStates::Hear(const SignOfLife &sign, const std::string &interfaceName, RealTime time)
{
    const Machine *machine = Find(sign.sourceMac);
    if (!machine)
        return Heard::NotWatched;
    if (machine->awake != true)
        return Heard::MayChange;
    FrameSeen(sign, interfaceName, time);
    return Heard::Refreshed;
}

void MachineStates::Start(RealTime now, std::vector<SendInterface> interfaces,
                          const std::function<std::optional<Ipv4Octets>(const MacAddress &)> &known, Ask ask)
{
    m_interfaces = std::move(interfaces);
    m_ask = std::move(ask);
    m_start = now;
    for (Machine &machine : m_machines) {
        if (!machine.address && known)
            machine.address = known(machine.id.mac);
        if (machine.address && Askable(machine)) {
            machine.asked = 0;
            machine.nextStep = now;
        }
    }
}

// What its frame says of where it lives: the address an ARP frame gives as its sender, or
// an IPv4 packet's source on one of this machine's subnets (a router's frames carry the
// sources of others). True when the frame gave one.
bool MachineStates::Learn(Machine &machine, const SignOfLife &sign, const std::string &interfaceName)
{
    machine.interfaceName = interfaceName;
    if (sign.kind == SignOfLife::Kind::Arp && sign.arpSender != Ipv4Octets{}) {
        machine.address = sign.arpSender;
        return true;
    }
    if (!sign.ipv4Source || std::none_of(m_interfaces.begin(), m_interfaces.end(), [&sign](const SendInterface &local) {
            return local.ipv4 && local.ipv4->Holds(*sign.ipv4Source);
        }))
        return false;
    machine.address = sign.ipv4Source;
    return true;
}

// Its address lies on one of this machine's subnets: the interface there is where to ask.
bool MachineStates::Askable(Machine &machine)
{
    if (!machine.address || !m_ask)
        return false;
    for (const SendInterface &interface : m_interfaces) {
        if (interface.ipv4 && interface.ipv4->Holds(*machine.address) && *machine.address != interface.ipv4->address) {
            machine.interfaceName = interface.name;
            return true;
        }
    }
    return false;
}

std::optional<MachineStateEvent> MachineStates::FrameSeen(const SignOfLife &sign, const std::string &interfaceName,
                                                          RealTime time)
{
    Machine *machine = Find(sign.sourceMac);
    if (!machine)
        return std::nullopt;
    const bool asking = machine->nextStep.has_value() && machine->asked > 0;
    const bool gave = Learn(*machine, sign, interfaceName);
    machine->lastSeen = std::max(machine->lastSeen.value_or(time), time);
    machine->asked = 0;
    machine->nextStep.reset();
    if (machine->awake == true)
        return std::nullopt;
    machine->awake = true;
    MachineStateEvent event;
    event.machine = machine->id;
    event.awake = true;
    event.time = time;
    event.sign = sign;
    event.answeredArp = asking && sign.kind == SignOfLife::Kind::Arp && !sign.arpRequest;
    event.interfaceName = interfaceName;
    if (gave) // the address this frame gave, not one learned before
        event.address = machine->address;
    return event;
}

MachineStateEvent MachineStates::Asleep(const Machine &machine, RealTime now, MachineStateEvent::Reason reason) const
{
    MachineStateEvent event;
    event.machine = machine.id;
    event.awake = false;
    event.reason = reason;
    event.time = now;
    event.interfaceName = machine.asking ? machine.interfaceName : std::string();
    event.address = machine.address;
    event.lastSeen = machine.lastSeen;
    event.silentFor = now - Since(machine).value_or(now);
    return event;
}

std::optional<MachineStateEvent> MachineStates::Step(Machine &machine, RealTime now)
{
    const std::optional<RealTime> since = Since(machine);
    const bool silentLongEnough = since && now - *since >= m_asleepAfter;
    if (!machine.nextStep) {
        if (machine.awake == false || !silentLongEnough)
            return std::nullopt;
        if (!Askable(machine)) {
            machine.awake = false;
            machine.asking = false;
            return Asleep(machine, now, MachineStateEvent::Reason::Silent);
        }
        machine.asked = 0;
        machine.nextStep = now;
    }
    if (now < *machine.nextStep)
        return std::nullopt;
    if (machine.asked < kAsks) {
        machine.asking = Askable(machine);
        if (machine.asking && m_ask(machine.interfaceName, *machine.address)) {
            // A late step waits its second all the same: the answer has its time to come.
            ++machine.asked;
            machine.nextStep = now + kAskInterval;
            return std::nullopt;
        }
    }
    // Asked twice and a second gone by without an answer, or it could not be asked.
    const bool unanswered = machine.asked == kAsks;
    machine.asked = 0;
    machine.nextStep.reset();
    if (machine.awake == false || (!unanswered && !silentLongEnough))
        return std::nullopt;
    machine.awake = false;
    return Asleep(machine, now, unanswered ? MachineStateEvent::Reason::NoArpAnswer : MachineStateEvent::Reason::Silent);
}

std::vector<MachineStateEvent> MachineStates::Advance(RealTime now)
{
    std::vector<MachineStateEvent> events;
    for (Machine &machine : m_machines) {
        if (std::optional<MachineStateEvent> event = Step(machine, now))
            events.push_back(std::move(*event));
    }
    return events;
}

Nanoseconds MachineStates::Unheard() const
{
    return std::clamp<Nanoseconds>(m_asleepAfter / 10, std::chrono::seconds(1), kLongestUnheard);
}

std::vector<MacAddress> MachineStates::Listening(RealTime now) const
{
    std::vector<MacAddress> macs;
    for (const Machine &machine : m_machines) {
        if (machine.awake != true || !machine.lastSeen || now - *machine.lastSeen >= Unheard())
            macs.push_back(machine.id.mac);
    }
    return macs;
}
