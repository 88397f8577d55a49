#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

// The program keeps its texts in std::string; the tests read them as QString.
inline QString Text(const std::string &text)
{
    return QString::fromStdString(text);
}

inline std::span<const std::uint8_t> Bytes(const QByteArray &bytes)
{
    return {reinterpret_cast<const std::uint8_t *>(bytes.constData()), std::size_t(bytes.size())};
}

inline QStringList Text(const std::vector<std::string> &lines)
{
    QStringList list;
    for (const std::string &line : lines)
        list.append(Text(line));
    return list;
}
