#include "eventjson.h"

#include <QJsonArray>

namespace {

QJsonValue Text(const std::optional<std::string> &text)
{
    return text ? QJsonValue(QString::fromStdString(*text)) : QJsonValue(QJsonValue::Null);
}

QJsonValue Number(const std::optional<std::uint16_t> &number)
{
    return number ? QJsonValue(int(*number)) : QJsonValue(QJsonValue::Null);
}

QJsonValue Flag(const std::optional<bool> &flag)
{
    return flag ? QJsonValue(*flag) : QJsonValue(QJsonValue::Null);
}

QJsonValue FamilyName(Family family)
{
    switch (family) {
    case Family::Ipv4:
        return QStringLiteral("ipv4");
    case Family::Ipv6:
        return QStringLiteral("ipv6");
    case Family::None:
        break;
    }
    return QJsonValue(QJsonValue::Null);
}

} // namespace

QJsonObject EventJson(const MagicEvent &event, const QString &time)
{
    QJsonArray problems;
    for (const std::string &problem : EventProblems(event))
        problems.append(QString::fromStdString(problem));
    return {
        {QStringLiteral("event"), event.nearMiss ? QStringLiteral("near_miss") : QStringLiteral("magic")},
        {QStringLiteral("time"), time},
        {QStringLiteral("source"), Text(event.source)},
        {QStringLiteral("source_port"), Number(event.sourcePort)},
        {QStringLiteral("destination"), Text(event.destination)},
        {QStringLiteral("destination_port"), Number(event.destinationPort)},
        {QStringLiteral("mac"), QString::fromStdString(event.mac)},
        {QStringLiteral("carrier"), event.carrier == Carrier::Udp ? QStringLiteral("udp") : QStringLiteral("ethernet")},
        {QStringLiteral("family"), FamilyName(event.family)},
        {QStringLiteral("interface"), Text(event.interfaceName)},
        {QStringLiteral("source_mac"), Text(event.sourceMac)},
        {QStringLiteral("destination_mac"), Text(event.destinationMac)},
        {QStringLiteral("password"), Text(event.password)},
        {QStringLiteral("strict"), event.strict},
        {QStringLiteral("delivered"), Flag(event.delivered)},
        {QStringLiteral("local_interface"), Text(event.machine.localInterface)},
        {QStringLiteral("wake_on"), Text(event.machine.wakeOn)},
        {QStringLiteral("problems"), problems},
    };
}
