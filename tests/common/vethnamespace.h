#pragma once

#include "kernelhelpers.h"

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sched.h>

// Runs the ip tool; when it fails, `failure` says with what.
inline bool RunIp(const QStringList &arguments, QString *failure = nullptr)
{
    QProcess ip;
    ip.setProcessChannelMode(QProcess::MergedChannels);
    ip.start(QStringLiteral("ip"), arguments);
    if (!ip.waitForFinished(10000) || ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0) {
        if (failure)
            *failure = QStringLiteral("ip %1: %2").arg(arguments.join(QLatin1Char(' ')),
                                                      QString::fromLocal8Bit(ip.readAll()).trimmed());
        return false;
    }
    return true;
}

// A second host: a network namespace joined to this one by a veth pair of MTU
// 1500. Both are removed again when the guard goes, whatever happened in between.
class VethNamespace final
{
public:
    // `localLink` is the end of the pair here, `peerLink` the end inside namespace `name`.
    VethNamespace(const QString &name, const QString &localLink, const QString &peerLink)
        : m_name(name)
        , m_localLink(localLink)
        , m_peerLink(peerLink)
    {
    }
    ~VethNamespace() { Remove(); }
    Q_DISABLE_COPY_MOVE(VethNamespace)

    // Addresses with their prefix length, such as "10.231.20.1/24".
    bool Create(const QString &localAddress, const QString &peerAddress, QString *failure)
    {
        // What a killed run of a process with the same id left behind.
        m_created = true;
        Remove();
        const QStringList steps[] = {
            {QStringLiteral("netns"), QStringLiteral("add"), m_name},
            {QStringLiteral("link"), QStringLiteral("add"), m_localLink, QStringLiteral("mtu"), QStringLiteral("1500"),
             QStringLiteral("type"), QStringLiteral("veth"), QStringLiteral("peer"), QStringLiteral("name"), m_peerLink,
             QStringLiteral("mtu"), QStringLiteral("1500"), QStringLiteral("netns"), m_name},
            {QStringLiteral("addr"), QStringLiteral("add"), localAddress, QStringLiteral("dev"), m_localLink},
            {QStringLiteral("link"), QStringLiteral("set"), m_localLink, QStringLiteral("up")},
            {QStringLiteral("-n"), m_name, QStringLiteral("addr"), QStringLiteral("add"), peerAddress,
             QStringLiteral("dev"), m_peerLink},
            {QStringLiteral("-n"), m_name, QStringLiteral("link"), QStringLiteral("set"), m_peerLink,
             QStringLiteral("up")},
        };
        m_created = true;
        for (const QStringList &step : steps) {
            if (!RunIp(step, failure))
                return false;
        }
        return true;
    }

    // Runs `make` with the calling thread inside the namespace; sockets that it
    // creates stay there.
    template<typename Make>
    bool InNamespace(Make make)
    {
        const FileDescriptor home(::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC));
        const FileDescriptor peer(::open(QByteArray("/run/netns/" + m_name.toLatin1()).constData(), O_RDONLY | O_CLOEXEC));
        if (!home.valid() || !peer.valid() || ::setns(peer.get(), CLONE_NEWNET) != 0)
            return false;
        make();
        return ::setns(home.get(), CLONE_NEWNET) == 0;
    }

    // The MAC address of the end inside the namespace, "02:ab:...", as ip shows it.
    QString PeerMac() const
    {
        QProcess ip;
        ip.start(QStringLiteral("ip"), {QStringLiteral("-n"), m_name, QStringLiteral("-o"), QStringLiteral("link"),
                                        QStringLiteral("show"), m_peerLink});
        ip.waitForFinished();
        const QString shown = QString::fromLatin1(ip.readAll());
        const qsizetype at = shown.indexOf(QStringLiteral("link/ether "));
        return at < 0 ? QString() : shown.mid(at + 11, 17);
    }

private:
    void Remove()
    {
        if (!m_created)
            return;
        RunIp({QStringLiteral("link"), QStringLiteral("del"), m_localLink});
        RunIp({QStringLiteral("netns"), QStringLiteral("del"), m_name});
        m_created = false;
    }

    QString m_name;
    QString m_localLink;
    QString m_peerLink;
    bool m_created = false;
};
