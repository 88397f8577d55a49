#include "mqttpassword.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The first line of the file, without its end.
std::optional<std::string> FirstLine(int fd, const std::string &file, std::string &error)
{
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            error = "cannot read " + file + ": " + std::strerror(errno);
            return std::nullopt;
        }
        if (got == 0 || text.size() > 4096)
            break;
        text.append(buffer, std::size_t(got));
    }
    text = text.substr(0, text.find('\n'));
    if (!text.empty() && text.back() == '\r')
        text.pop_back();
    return text;
}

} // namespace

std::optional<std::string> ReadMqttPassword(const std::string &file, std::string &error)
{
    error.clear();
    std::string path = file;
    const bool credential = path.empty();
    if (credential) {
        const char *directory = std::getenv("CREDENTIALS_DIRECTORY");
        if (!directory || !*directory)
            return std::nullopt;
        path = std::string(directory) + "/" + kMqttPasswordCredential;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        if (credential && errno == ENOENT)
            return std::nullopt;
        error = "cannot open " + path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    struct stat status{};
    std::optional<std::string> password;
    if (::fstat(fd, &status) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno);
    } else if (!S_ISREG(status.st_mode)) {
        error = path + " is not a file";
    } else if (!credential && (status.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", unsigned(status.st_mode & 07777));
        error = path + " can be read by others (mode " + mode + "): it must be open to its owner alone (chmod 600 "
            + path + ")";
    } else {
        password = FirstLine(fd, path, error);
    }
    ::close(fd);
    return password;
}
