#include "machinerecords.h"

#include "eventjson.h"

#include <algorithm>

namespace {

std::optional<Ipv4Octets> AddressOf(const SignOfLife &sign)
{
    if (sign.address && sign.address->family == Family::Ipv4 && sign.address->Ipv4() != Ipv4Octets{})
        return sign.address->Ipv4();
    if (sign.kind == SignOfLife::Kind::Arp && sign.arpSender != Ipv4Octets{})
        return sign.arpSender;
    return std::nullopt;
}

} // namespace

std::optional<MachineRecord> MachineRecords::Seen(const SignOfLife &sign, const std::string &interfaceName,
                                                  RealTime time)
{
    if (std::find(m_own.begin(), m_own.end(), sign.sourceMac) != m_own.end() || !CardCanHave(sign.sourceMac))
        return std::nullopt;
    std::optional<Ipv4Octets> address = AddressOf(sign);
    auto known = m_known.find(sign.sourceMac);
    if (known == m_known.end()) {
        if (m_known.size() >= kMostMachines)
            m_known.erase(m_known.begin());
        known = m_known.emplace(sign.sourceMac, Known{interfaceName, sign.vlan, address, time}).first;
    } else {
        Known &last = known->second;
        if (!address)
            address = last.address;
        const bool moved = last.interfaceName != interfaceName || last.vlan != sign.vlan || last.address != address;
        if (!moved && time - last.published < kRepublishAfter)
            return std::nullopt;
        last = Known{interfaceName, sign.vlan, address, time};
    }
    return MachineRecord{sign, interfaceName, address, time};
}

nlohmann::json MachineRecordJson(const MachineRecord &record, const std::string &sensor, const std::string &time)
{
    using nlohmann::json;
    return {
        {"mac", FormatMac(record.sign.sourceMac)},
        {"time", time},
        {"unix_time", double(NsSinceEpoch(record.time)) / 1e9},
        {"evidence", EvidenceName(record.sign.kind)},
        {"what", SignOfLifeText(record.sign)},
        {"interface", record.interfaceName},
        {"vlan", record.sign.vlan ? json(*record.sign.vlan) : json(nullptr)},
        {"address", record.address ? json(FormatIpv4(*record.address)) : json(nullptr)},
        {"sensor", sensor},
    };
}
