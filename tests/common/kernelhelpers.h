#pragma once

// What tests and benchmarks ask of the kernel beside the program: descriptors,
// the loopback link, and figures from /proc.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QSet>
#include <QtGlobal>

#include <cstring>
#include <net/if.h>
#include <optional>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

class FileDescriptor final
{
public:
    explicit FileDescriptor(int fd = -1) : m_fd(fd) {}
    ~FileDescriptor() { reset(-1); }
    Q_DISABLE_COPY_MOVE(FileDescriptor)

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    void reset(int fd)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

// A network namespace of one's own starts with its loopback link down.
inline bool BringLoopbackUp()
{
    const FileDescriptor control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0)
        return false;
    request.ifr_flags = short(request.ifr_flags | IFF_UP);
    return ::ioctl(control.get(), SIOCSIFFLAGS, &request) == 0;
}

// As root, moves the calling thread, with the sockets and processes it makes from
// then on, into a network namespace of its own with its loopback up, so that nothing
// else on this machine sends into it. Without root it does nothing.
inline bool InNetworkNamespaceOfItsOwn()
{
    return ::geteuid() != 0 || (::unshare(CLONE_NEWNET) == 0 && BringLoopbackUp());
}

struct RawSocketState
{
    bool found = false;
    quint64 receiveQueue = 0;
    quint64 drops = 0;
};

// The line of /proc/net/raw of the raw UDP socket whose inode is one of `inodes`.
inline RawSocketState RawSocketStateOf(const QSet<QByteArray> &inodes)
{
    RawSocketState state;
    QFile table(QStringLiteral("/proc/net/raw"));
    if (!table.open(QIODevice::ReadOnly))
        return state;
    for (const QByteArray &line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 13 || !fields[1].endsWith(":0011") || !inodes.contains(fields[9]))
            continue;
        state.found = true;
        state.receiveQueue = fields[4].mid(fields[4].indexOf(':') + 1).toULongLong(nullptr, 16);
        state.drops = fields[12].toULongLong();
    }
    return state;
}

// The state of the raw UDP socket `socket`.
inline RawSocketState RawSocketStateOf(int socket)
{
    struct stat status{};
    if (::fstat(socket, &status) != 0)
        return {};
    return RawSocketStateOf(QSet<QByteArray>{QByteArray::number(quint64(status.st_ino))});
}

// The raw UDP socket among the descriptors of a process ("self" for this one).
inline RawSocketState RawSocketOfProcess(const QString &pid)
{
    QSet<QByteArray> inodes;
    const QDir descriptors(QStringLiteral("/proc/%1/fd").arg(pid));
    for (const QString &entry : descriptors.entryList(QDir::System | QDir::NoDotAndDotDot)) {
        const QString target = QFile::symLinkTarget(descriptors.filePath(entry));
        if (target.contains(QStringLiteral("socket:[")))
            inodes.insert(target.section(QLatin1Char('['), 1).chopped(1).toLatin1());
    }
    return RawSocketStateOf(inodes);
}

inline RawSocketState RawSocketOfProcess(qint64 pid)
{
    return RawSocketOfProcess(QString::number(pid));
}

// The listener's own socket.
inline RawSocketState ListenerSocketState()
{
    return RawSocketOfProcess(QStringLiteral("self"));
}

inline std::optional<QByteArray> StatusField(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return std::nullopt;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qsizetype(std::strlen(field))).trimmed();
    }
    return std::nullopt;
}

// A figure in kB from /proc/self/status, or -1.
inline qint64 StatusKb(const char *field)
{
    const std::optional<QByteArray> value = StatusField(field);
    return value ? value->split(' ').value(0).toLongLong() : -1;
}
