#include "wakerequest.h"

#include "magicevent.h"

#include <cmath>

namespace {

using nlohmann::json;

std::string TypeName(const json &value)
{
    return value.type_name(); // "string", "number", "object", ...
}

std::string Wrong(const char *field, const char *wanted, const json &value)
{
    return std::string("\"") + field + "\" must be " + wanted + ", not " + TypeName(value);
}

} // namespace

std::optional<std::vector<std::uint8_t>> ParsePassword(std::string_view text)
{
    if (const std::optional<MacAddress> bytes = ParseMac(text))
        return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
    if (const std::optional<Ipv4Octets> bytes = ParseIpv4(text))
        return std::vector<std::uint8_t>(bytes->begin(), bytes->end());
    return std::nullopt;
}

DecodedWakeRequest DecodeWakeRequest(ByteView payload)
{
    DecodedWakeRequest decoded;
    if (payload.size() > kMostWakeRequestBytes) {
        decoded.problem = "the request is " + std::to_string(payload.size()) + " bytes long; at most "
            + std::to_string(kMostWakeRequestBytes) + " are read";
        return decoded;
    }
    const json object = json::parse(payload.begin(), payload.end(), nullptr, false);
    if (object.is_discarded()) {
        decoded.problem = "the request is not JSON";
        return decoded;
    }
    if (!object.is_object()) {
        decoded.problem = "the request must be a JSON object, not " + TypeName(object);
        return decoded;
    }
    RemoteWakeRequest request;
    const auto mac = object.find("mac");
    if (mac == object.end()) {
        decoded.problem = "the request names no \"mac\"";
        return decoded;
    }
    if (!mac->is_string()) {
        decoded.problem = Wrong("mac", "a string", *mac);
        return decoded;
    }
    const std::optional<MacAddress> parsed = ParseMac(mac->get_ref<const std::string &>());
    if (!parsed) {
        decoded.problem = "\"mac\": '" + mac->get<std::string>()
            + "' is not a MAC address (write 00:11:22:33:44:55, 00-11-22-33-44-55 or 001122334455)";
        return decoded;
    }
    request.mac = *parsed;
    decoded.mac = *parsed;

    if (const auto ip = object.find("ip"); ip != object.end() && !ip->is_null()) {
        if (!ip->is_string()) {
            decoded.problem = Wrong("ip", "a string", *ip);
            return decoded;
        }
        request.ip = ParseIpv4(ip->get_ref<const std::string &>());
        if (!request.ip) {
            decoded.problem = "\"ip\": '" + ip->get<std::string>() + "' is not an IPv4 address";
            return decoded;
        }
    }
    if (const auto port = object.find("port"); port != object.end() && !port->is_null()) {
        if (!port->is_number_integer()) {
            decoded.problem = Wrong("port", "a whole number", *port);
            return decoded;
        }
        // JSON's negative whole numbers are signed, the others unsigned: 1 to 65535 is unsigned.
        if (!port->is_number_unsigned() || port->get<std::uint64_t>() - 1 >= 65535) {
            decoded.problem = "\"port\" must be from 1 to 65535";
            return decoded;
        }
        request.port = std::uint16_t(port->get<std::uint64_t>());
    }
    if (const auto password = object.find("password"); password != object.end() && !password->is_null()) {
        if (!password->is_string()) {
            decoded.problem = Wrong("password", "a string", *password);
            return decoded;
        }
        const std::optional<std::vector<std::uint8_t>> bytes = ParsePassword(password->get_ref<const std::string &>());
        if (!bytes) {
            decoded.problem = "\"password\" is not a SecureOn password (six bytes written as a MAC address, or four "
                              "in dotted decimal)";
            return decoded;
        }
        request.password = *bytes;
    }
    if (const auto timeout = object.find("timeout"); timeout != object.end() && !timeout->is_null()) {
        if (!timeout->is_number()) {
            decoded.problem = Wrong("timeout", "a number of seconds", *timeout);
            return decoded;
        }
        const double seconds = timeout->get<double>();
        if (!(seconds > 0) || seconds > double(kLongestRequestTimeout.count())) {
            decoded.problem = "\"timeout\" must be above 0 and at most "
                + std::to_string(kLongestRequestTimeout.count()) + " seconds";
            return decoded;
        }
        request.timeout = std::chrono::milliseconds(std::max(1L, std::lround(seconds * 1000)));
    }
    decoded.request = request;
    return decoded;
}

nlohmann::json WakeRequestJson(const RemoteWakeRequest &request)
{
    json object = {{"mac", FormatMac(request.mac)}};
    if (request.ip)
        object["ip"] = FormatIpv4(*request.ip);
    if (request.port)
        object["port"] = *request.port;
    if (!request.password.empty())
        object["password"] = PasswordText(request.password);
    if (request.timeout)
        object["timeout"] = double(request.timeout->count()) / 1000;
    return object;
}
