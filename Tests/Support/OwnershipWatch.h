#pragma once
// Watches a folder tree as a local user racing the Host would: a child
// process looks at every name the moment inotify reports it created, moved
// in or changed, and records each regular file that belongs to root and
// each item that carries a set-user-ID or set-group-ID bit. Folders made below are
// watched too (and what they already hold is looked at when they are).
// A folder of root's is not recorded. Where the Host itself runs as root,
// every file it makes is root's: setIdLines() keeps what matters then.
//
// Racing the Host, the child sees a moment only when the scheduler lets
// it. lookNow() looks at the whole tree at once from the caller's thread:
// called from a step hook of the Host's own, it sees every moment between
// the steps, every time.

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <set>
#include <tuple>
#include <string>
#include <vector>

namespace platform::testing {

class OwnershipWatch {
public:
    explicit OwnershipWatch(const std::filesystem::path& top) {
        int ready[2], stop[2];
        if (::pipe2(ready, O_CLOEXEC) != 0 || ::pipe2(stop, O_CLOEXEC) != 0 || ::pipe2(report_, O_CLOEXEC) != 0)
            return;
        child_ = ::fork();
        if (child_ == 0) {
            ::close(ready[0]);
            ::close(stop[1]);
            ::close(report_[0]);
            watch(top.c_str(), ready[1], stop[0], report_[1]);
            ::_exit(0);
        }
        ::close(ready[1]);
        ::close(stop[0]);
        ::close(report_[1]);
        stop_ = stop[1];
        char byte = 0;
        started_ = child_ > 0 && ::read(ready[0], &byte, 1) == 1;
        ::close(ready[0]);
        // What is there already is the user's own doing.
        top_ = top;
        scan([&](const std::filesystem::path&, const struct stat& info) { before_.insert(identity(info)); });
    }
    ~OwnershipWatch() { finish(); }

    // The lines of an OwnershipWatch ("path mode uid") whose item has a
    // set-user-ID or set-group-ID bit.
    static std::vector<std::string> setIdLines(const std::vector<std::string>& lines) {
        std::vector<std::string> setId;
        for (const auto& line : lines) {
            const size_t uidAt = line.rfind(' ');
            const size_t modeAt = uidAt == std::string::npos || uidAt == 0 ? std::string::npos : line.rfind(' ', uidAt - 1);
            if (modeAt == std::string::npos || (std::stoul(line.substr(modeAt + 1, uidAt - modeAt - 1)) & (S_ISUID | S_ISGID)))
                setId.push_back(line);
        }
        return setId;
    }

    bool started() const { return started_; }

    // Looks at every item below the top now, with the calling thread's
    // rights, and records what finish() would.
    void lookNow() {
        std::lock_guard lock(looking_);
        scan([&](const std::filesystem::path& path, const struct stat& info) {
            ++lookedNow_;
            if (!recorded(info) || before_.contains(identity(info))) return;
            lines_.push_back(path.string() + " " + std::to_string(info.st_mode & 07777) + " " +
                             std::to_string(info.st_uid));
        });
    }

    // Ends the watch: one line per item recorded ("path mode uid"), and
    // the number of names looked at.
    std::vector<std::string> finish() {
        if (child_ <= 0) return lines_;
        ::close(stop_);
        std::string text;
        char buffer[4096];
        for (ssize_t n; (n = ::read(report_[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
        ::close(report_[0]);
        ::waitpid(child_, nullptr, 0);
        child_ = -1;
        for (size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
            const std::string line = text.substr(start, end - start);
            if (line.rfind("looked ", 0) == 0)
                looked_ = std::stoul(line.substr(7));
            else
                lines_.push_back(line);
        }
        return lines_;
    }
    // Names looked at, by the child and by lookNow(): the child's count
    // alone depends on the scheduler.
    size_t looked() const { return looked_ + lookedNow_; }

private:
    static bool recorded(const struct stat& info) {
        const bool setId = (info.st_mode & (S_ISUID | S_ISGID)) != 0 && !S_ISDIR(info.st_mode);
        const bool roots = info.st_uid == 0 && S_ISREG(info.st_mode);
        return setId || roots;
    }
    using Identity = std::tuple<dev_t, ino_t, uid_t, mode_t>;
    static Identity identity(const struct stat& info) {
        return {info.st_dev, info.st_ino, info.st_uid, info.st_mode};
    }
    // Every item below the top, links not followed; what cannot be read
    // is passed over, as a user without the right would.
    template <class Visit>
    void scan(Visit visit) const {
        namespace fs = std::filesystem;
        std::error_code error;
        for (fs::recursive_directory_iterator it(top_, fs::directory_options::skip_permission_denied, error), end;
             !error && it != end; it.increment(error)) {
            struct stat info{};
            if (::lstat(it->path().c_str(), &info) == 0) visit(it->path(), info);
        }
    }

    // In the child: no allocation, only system calls on fixed buffers.
    static void put(int out, const char* text) { (void)!::write(out, text, std::strlen(text)); }
    static void putNumber(int out, unsigned long value) {
        char digits[24];
        int n = 0;
        do digits[n++] = static_cast<char>('0' + value % 10);
        while ((value /= 10) != 0 && n < 23);
        char text[24];
        for (int i = 0; i < n; i++) text[i] = digits[n - 1 - i];
        (void)!::write(out, text, static_cast<size_t>(n));
    }

    struct Watched {
        int wd;
        char path[4096];
    };

    static void look(const char* path, int out, unsigned long& looked, int inotify, Watched* watched, int& count,
                     bool record) {
        struct stat info{};
        if (::lstat(path, &info) != 0) return;
        looked++;
        const bool setId = (info.st_mode & (S_ISUID | S_ISGID)) != 0 && !S_ISDIR(info.st_mode);
        const bool roots = info.st_uid == 0 && S_ISREG(info.st_mode);
        if (record && (setId || roots)) {
            put(out, path);
            put(out, " ");
            putNumber(out, info.st_mode & 07777);
            put(out, " ");
            putNumber(out, info.st_uid);
            put(out, "\n");
        }
        if (S_ISDIR(info.st_mode) && count < 64) add(path, out, looked, inotify, watched, count, record);
    }

    static void add(const char* path, int out, unsigned long& looked, int inotify, Watched* watched, int& count,
                    bool record) {
        const int wd = ::inotify_add_watch(inotify, path,
                                           IN_CREATE | IN_MOVED_TO | IN_ATTRIB | IN_CLOSE_WRITE | IN_ONLYDIR);
        if (wd < 0) return;
        for (int i = 0; i < count; i++)
            if (watched[i].wd == wd) return;
        watched[count].wd = wd;
        std::snprintf(watched[count].path, sizeof watched[count].path, "%s", path);
        count++;
        // What the folder already holds, made before the watch began.
        const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd < 0) return;
        char entries[8192];
        for (long n; (n = ::syscall(SYS_getdents64, fd, entries, sizeof entries)) > 0;) {
            for (long at = 0; at < n;) {
                const auto* entry = reinterpret_cast<const struct dirent64*>(entries + at);
                at += entry->d_reclen;
                if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
                char child[4096];
                // A path too long for the buffer is not one the tests make.
                const int length = std::snprintf(child, sizeof child, "%s/%s", path, entry->d_name);
                if (length < 0 || size_t(length) >= sizeof child) continue;
                look(child, out, looked, inotify, watched, count, record);
            }
        }
        ::close(fd);
    }

    static void watch(const char* top, int ready, int stop, int out) {
        static Watched watched[64];
        int count = 0;
        unsigned long looked = 0;
        const int inotify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
        // What is there already is the user's own doing: only watched.
        add(top, out, looked, inotify, watched, count, false);
        (void)!::write(ready, "r", 1);
        alignas(struct inotify_event) char events[16384];
        for (bool stopping = false;;) {
            pollfd fds[2] = {{inotify, POLLIN, 0}, {stop, POLLIN, 0}};
            ::poll(fds, 2, stopping ? 0 : 1000);
            const ssize_t n = ::read(inotify, events, sizeof events);
            if (n <= 0 && stopping) break;
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const struct inotify_event*>(events + at);
                at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
                if (event->len == 0) continue;
                for (int i = 0; i < count; i++) {
                    if (watched[i].wd != event->wd) continue;
                    char path[4096];
                    std::snprintf(path, sizeof path, "%s/%s", watched[i].path, event->name);
                    look(path, out, looked, inotify, watched, count, true);
                    break;
                }
            }
            if (fds[1].revents != 0) stopping = true;
        }
        put(out, "looked ");
        putNumber(out, looked);
        put(out, "\n");
    }

    pid_t child_ = -1;
    int stop_ = -1;
    int report_[2] = {-1, -1};
    bool started_ = false;
    std::vector<std::string> lines_;
    size_t lookedNow_ = 0;
    size_t looked_ = 0;
    std::filesystem::path top_;
    std::set<Identity> before_;
    std::mutex looking_;
};

}  // namespace platform::testing
