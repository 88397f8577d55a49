#include "privileges.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/capability.h>

namespace {

class LinuxCapabilityCalls final : public CapabilityCalls
{
public:
    int ThreadCount() override
    {
        DIR *tasks = ::opendir("/proc/self/task");
        if (!tasks)
            return -1;
        int count = 0;
        while (const dirent *entry = ::readdir(tasks))
            count += entry->d_name[0] != '.' ? 1 : 0;
        ::closedir(tasks);
        return count;
    }

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

    int ClearSets() override
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
};

void NoteFailure(std::string *failure, const std::string &text)
{
    if (failure && failure->empty())
        *failure = text;
}

} // namespace

CapabilityCalls &SystemCapabilityCalls()
{
    static LinuxCapabilityCalls calls;
    return calls;
}

bool DropAllCapabilities(std::string *failure, CapabilityCalls &calls)
{
    if (failure)
        failure->clear();
    bool ok = true;
    if (const int threads = calls.ThreadCount(); threads != 1) {
        NoteFailure(failure, threads < 0 ? std::string("threads: cannot be counted")
                                         : std::to_string(threads - 1) + " other thread(s) keep their capabilities");
        ok = false;
    }
    // The bounding set first: emptying it needs CAP_SETPCAP, which the sets still hold.
    if (calls.DropBoundingSet() != 0) {
        NoteFailure(failure, std::string("bounding set: ") + std::strerror(errno));
        ok = false;
    }
    if (calls.ClearSets() != 0) {
        NoteFailure(failure, std::string("capability sets: ") + std::strerror(errno));
        ok = false;
    }
    return ok;
}
