#include "privileges.h"

#include <QDir>
#include <QFile>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <linux/capability.h>
#include <mutex>
#include <semaphore.h>
#include <sys/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr int kThreadPasses = 3;
constexpr int kThreadReplySeconds = 2;

// The signal that asks another thread to drop its own capabilities. Its handler
// stays installed for good: a thread that had it blocked may still take it later.
int ClearSignal() { return SIGRTMIN + 7; }

std::atomic<int> g_lastCapability{CAP_LAST_CAP};
std::atomic<int> g_threadErrno{0};
sem_t g_threadDone;

// Raw system calls only: this runs inside a signal handler.
int ClearOwnCapabilitiesRaw()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return errno;
    int result = 0;
    if (data[CAP_TO_INDEX(CAP_SETPCAP)].effective & CAP_TO_MASK(CAP_SETPCAP)) {
        for (int cap = 0; cap <= g_lastCapability.load(); ++cap) {
            if (::syscall(SYS_prctl, PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL && result == 0)
                result = errno;
        }
    }
    std::memset(data, 0, sizeof data);
    if (::syscall(SYS_capset, &header, data) != 0 && result == 0)
        result = errno;
    return result;
}

void OnClearSignal(int)
{
    const int savedErrno = errno;
    g_threadErrno.store(ClearOwnCapabilitiesRaw());
    ::sem_post(&g_threadDone);
    errno = savedErrno;
}

bool InstallClearHandler()
{
    static std::once_flag once;
    static bool installed = false;
    std::call_once(once, [] {
        if (::sem_init(&g_threadDone, 0, 0) != 0)
            return;
        g_lastCapability.store(int(cap_max_bits()) - 1);
        struct sigaction action{};
        action.sa_handler = OnClearSignal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        installed = ::sigaction(ClearSignal(), &action, nullptr) == 0;
    });
    return installed;
}

bool HoldsCapabilities(const QString &statusPath)
{
    QFile status(statusPath);
    if (!status.open(QIODevice::ReadOnly))
        return false; // the thread has ended
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("CapEff:") || line.startsWith("CapPrm:") || line.startsWith("CapInh:")) {
            if (line.mid(7).trimmed().toULongLong(nullptr, 16) != 0)
                return true;
        }
    }
    return false;
}

class LinuxCapabilityCalls final : public CapabilityCalls
{
public:
    int DropBoundingSet() override
    {
        cap_t own = cap_get_proc();
        if (!own)
            return -1;
        cap_flag_value_t maySetBounding = CAP_CLEAR;
        cap_get_flag(own, CAP_SETPCAP, CAP_EFFECTIVE, &maySetBounding);
        cap_free(own);
        if (maySetBounding != CAP_SET)
            return 0;
        const int last = int(cap_max_bits()) - 1;
        for (int cap = 0; cap <= last; ++cap) {
            if (cap_drop_bound(cap_value_t(cap)) != 0)
                return -1;
        }
        return 0;
    }

    int ClearCallingThread() override
    {
        cap_t empty = cap_init();
        if (!empty)
            return -1;
        const int result = cap_set_proc(empty);
        const int savedErrno = errno;
        cap_free(empty);
        errno = savedErrno;
        if (result != 0)
            return -1;
        // Clearing the permitted set empties the ambient set too; this only makes sure.
        if (CAP_AMBIENT_SUPPORTED() && cap_reset_ambient() != 0)
            return -1;
        return 0;
    }

    std::vector<pid_t> OtherThreadsWithCapabilities() override
    {
        std::vector<pid_t> threads;
        const pid_t self = pid_t(::syscall(SYS_gettid));
        const QDir tasks(QStringLiteral("/proc/self/task"));
        for (const QString &entry : tasks.entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
            bool isNumber = false;
            const pid_t tid = pid_t(entry.toInt(&isNumber));
            if (isNumber && tid != self && HoldsCapabilities(tasks.filePath(entry) + QStringLiteral("/status")))
                threads.push_back(tid);
        }
        return threads;
    }

    int ClearThread(pid_t tid) override
    {
        if (!InstallClearHandler()) {
            errno = ENOSYS;
            return -1;
        }
        while (::sem_trywait(&g_threadDone) == 0) {
        } // replies of threads that answered too late
        if (::syscall(SYS_tgkill, ::getpid(), tid, ClearSignal()) != 0)
            return errno == ESRCH ? 0 : -1;
        timespec deadline{};
        ::clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += kThreadReplySeconds;
        while (::sem_timedwait(&g_threadDone, &deadline) != 0) {
            if (errno != EINTR) {
                if (errno == ETIMEDOUT)
                    errno = EAGAIN; // the thread blocks the signal or is stuck
                return -1;
            }
        }
        const int threadErrno = g_threadErrno.load();
        if (threadErrno != 0) {
            errno = threadErrno;
            return -1;
        }
        return 0;
    }
};

void NoteFailure(QString *failure, const QString &step)
{
    const QString text = step + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(errno));
    if (failure && failure->isEmpty())
        *failure = text;
}

} // namespace

CapabilityCalls &SystemCapabilityCalls()
{
    static LinuxCapabilityCalls calls;
    return calls;
}

bool DropAllCapabilities(QString *failure, CapabilityCalls &calls)
{
    if (failure)
        failure->clear();
    bool ok = true;

    // Threads that still hold capabilities may start new ones that inherit them,
    // so look again until a pass finds none.
    std::vector<pid_t> remaining = calls.OtherThreadsWithCapabilities();
    for (int pass = 0; pass < kThreadPasses && !remaining.empty(); ++pass) {
        for (const pid_t tid : remaining) {
            if (calls.ClearThread(tid) != 0) {
                NoteFailure(failure, QStringLiteral("thread %1").arg(tid));
                ok = false;
            }
        }
        remaining = calls.OtherThreadsWithCapabilities();
    }
    if (!remaining.empty()) {
        if (failure && failure->isEmpty())
            *failure = QStringLiteral("%1 other thread(s) kept capabilities").arg(remaining.size());
        ok = false;
    }

    if (calls.DropBoundingSet() != 0) {
        NoteFailure(failure, QStringLiteral("bounding set"));
        ok = false;
    }
    if (calls.ClearCallingThread() != 0) {
        NoteFailure(failure, QStringLiteral("capability sets"));
        ok = false;
    }
    return ok;
}
