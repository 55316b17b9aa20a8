#include "watchdog/stage.h"

#include "watchdog/fs_util.h"
#include "watchdog/helper_process.h"
#include "watchdog/stdout_print.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

// The watchdog's own files, never taken from an archive.
const char *const kReservedTopNames[] = {kBootchkFile, ".bootchk.new", kBootCountFile, ".bootcount.new"};

// Links followed while checking one link, before it counts as a loop.
constexpr int kMaxLinkHops = 40;

using Parts = std::vector<std::string>;

Parts split_path(const std::string &path)
{
    Parts parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

std::string join_parts(const Parts &parts)
{
    std::string path = ".";
    for (const std::string &p : parts)
        path += "/" + p;
    return path;
}

// A descriptor closed on every way out.
struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            close(fd);
    }
};

int open_dir_at(int dirfd, const char *name)
{
    return openat(dirfd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The names in a directory, "." and ".." left out.
bool list_dir(int dirfd, std::vector<std::string> *names)
{
    int dup_fd = dup(dirfd);
    if (dup_fd < 0)
        return false;
    DIR *dir = fdopendir(dup_fd);
    if (!dir) {
        close(dup_fd);
        return false;
    }
    while (struct dirent *e = readdir(dir)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names->push_back(e->d_name);
    }
    closedir(dir);
    return true;
}

// Lists the member names of the archive into a temporary file and checks
// each one: nothing absolute, no ".." component.
bool names_ok(int package_fd)
{
    FILE *listing = tmpfile();
    if (!listing) {
        stdout_printf("upgrade archive: cannot list it: %s\n", strerror(errno));
        return false;
    }
    const char *const argv[] = {"tar", "-tzf", "-", nullptr};
    bool ok = helper_ok(helper_run(argv, package_fd, fileno(listing)));
    if (!ok)
        stdout_printf("upgrade archive: tar cannot list it\n");
    rewind(listing);
    char line[8192];
    while (ok && fgets(line, sizeof line, listing)) {
        line[strcspn(line, "\n")] = '\0';
        bool dotdot = false;
        for (const std::string &p : split_path(line))
            dotdot = dotdot || p == "..";
        if (line[0] == '/' || dotdot) {
            stdout_printf("upgrade archive: refused, member %s is absolute or has a .. in its name\n", line);
            ok = false;
        }
    }
    fclose(listing);
    return ok;
}

// True when the link text `target`, found in directory `dir` of the tree
// open at `rootfd`, resolves inside the tree, following the tree's own
// links on the way as the kernel would.
bool link_stays_inside(int rootfd, Parts dir, const std::string &target)
{
    if (target.empty() || target[0] == '/')
        return false;
    Parts parts = split_path(target);
    std::deque<std::string> pending(parts.begin(), parts.end());
    int hops = 0;
    while (!pending.empty()) {
        std::string part = pending.front();
        pending.pop_front();
        if (part == ".")
            continue;
        if (part == "..") {
            if (dir.empty())
                return false;
            dir.pop_back();
            continue;
        }
        dir.push_back(part);
        struct stat st;
        std::string rel = join_parts(dir);
        if (fstatat(rootfd, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode))
            continue;
        if (++hops > kMaxLinkHops)
            return false;
        char text[4096];
        ssize_t n = readlinkat(rootfd, rel.c_str(), text, sizeof text - 1);
        if (n <= 0)
            return false;
        text[n] = '\0';
        if (text[0] == '/')
            return false;
        dir.pop_back();  // the link's text is relative to the link's directory
        Parts more = split_path(text);
        pending.insert(pending.begin(), more.begin(), more.end());
    }
    return true;
}

// What the check of a staged tree collects.
struct TreeCheck {
    int rootfd;  // the staging directory
    int datafd;  // the data directory, or -1 when it cannot be opened
    std::map<std::pair<dev_t, ino_t>, nlink_t> seen;  // hard-linked files: links found
    std::map<std::pair<dev_t, ino_t>, nlink_t> links; // ... and links they have
};

// True when `data` holds a real directory at `rel`.
bool data_has_dir(const TreeCheck &c, const std::string &rel)
{
    struct stat st;
    return c.datafd >= 0 && fstatat(c.datafd, rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

bool check_dir(TreeCheck &c, int dirfd, const Parts &dir)
{
    std::vector<std::string> names;
    if (!list_dir(dirfd, &names)) {
        stdout_printf("upgrade archive: cannot read %s\n", join_parts(dir).c_str());
        return false;
    }
    for (const std::string &name : names) {
        Parts here = dir;
        here.push_back(name);
        std::string rel = join_parts(here);
        struct stat st;
        if (fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            stdout_printf("upgrade archive: cannot check %s\n", rel.c_str());
            return false;
        }
        if (!S_ISDIR(st.st_mode) && data_has_dir(c, rel)) {
            stdout_printf("upgrade archive: refused, %s would replace a directory\n", rel.c_str());
            return false;
        }
        if (S_ISDIR(st.st_mode)) {
            Fd sub(open_dir_at(dirfd, name.c_str()));
            if (sub.fd < 0 || !check_dir(c, sub.fd, here))
                return false;
        } else if (S_ISLNK(st.st_mode)) {
            char text[4096];
            ssize_t n = readlinkat(dirfd, name.c_str(), text, sizeof text - 1);
            text[n > 0 ? n : 0] = '\0';
            if (n <= 0 || !link_stays_inside(c.rootfd, dir, text)) {
                stdout_printf("upgrade archive: refused, link %s -> %s leads out of the archive\n", rel.c_str(),
                              text);
                return false;
            }
        } else if (S_ISREG(st.st_mode)) {
            if (st.st_nlink > 1) {
                auto key = std::make_pair(st.st_dev, st.st_ino);
                ++c.seen[key];
                c.links[key] = st.st_nlink;
            }
        } else {
            stdout_printf("upgrade archive: refused, %s is not a file, directory or link\n", rel.c_str());
            return false;
        }
    }
    return true;
}

bool tree_ok(const char *stage, const char *data)
{
    Fd root(open(stage, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (root.fd < 0) {
        stdout_printf("upgrade archive: cannot open %s\n", stage);
        return false;
    }
    for (const char *name : kReservedTopNames) {
        struct stat st;
        if (fstatat(root.fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0) {
            stdout_printf("upgrade archive: ignoring its %s\n", name);
            std::string path = std::string(stage) + "/" + name;
            tree_remove(path.c_str());
        }
    }
    Fd datafd(open(data, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    TreeCheck c = {root.fd, datafd.fd, {}, {}};
    if (!check_dir(c, root.fd, Parts()))
        return false;
    // A file extracted as a hard link to something outside the tree has
    // more links than the tree holds.
    for (const auto &entry : c.seen) {
        if (entry.second != c.links[entry.first]) {
            stdout_printf("upgrade archive: refused, it holds a hard link to a file outside it\n");
            return false;
        }
    }
    return true;
}

int merge_dir(int sfd, int dfd, const std::string &where)
{
    std::vector<std::string> names;
    if (!list_dir(sfd, &names)) {
        stdout_printf("upgrade: cannot read staged %s\n", where.c_str());
        return -1;
    }
    for (const std::string &name : names) {
        const char *n = name.c_str();
        std::string rel = where + "/" + name;
        struct stat sst;
        struct stat dst;
        if (fstatat(sfd, n, &sst, AT_SYMLINK_NOFOLLOW) != 0)
            return -1;
        bool dest_exists = fstatat(dfd, n, &dst, AT_SYMLINK_NOFOLLOW) == 0;
        if (S_ISDIR(sst.st_mode) && dest_exists && S_ISDIR(dst.st_mode)) {
            Fd sub_s(open_dir_at(sfd, n));
            Fd sub_d(open_dir_at(dfd, n));
            if (sub_s.fd < 0 || sub_d.fd < 0 || merge_dir(sub_s.fd, sub_d.fd, rel) != 0)
                return -1;
            unlinkat(sfd, n, AT_REMOVEDIR);
            continue;
        }
        // A link or file where a directory is staged goes first; rename()
        // replaces files and links itself, the link's target is never touched.
        if (S_ISDIR(sst.st_mode) && dest_exists && unlinkat(dfd, n, 0) != 0) {
            stdout_printf("upgrade: cannot replace %s: %s\n", rel.c_str(), strerror(errno));
            return -1;
        }
        if (renameat(sfd, n, dfd, n) != 0) {
            stdout_printf("upgrade: cannot move %s into place: %s\n", rel.c_str(), strerror(errno));
            return -1;
        }
    }
    return 0;
}

}  // namespace

void stage_path(const WatchdogDirs &dirs, char *buf, size_t size)
{
    std::string data = dirs.data;
    while (data.size() > 1 && data.back() == '/')
        data.pop_back();
    snprintf(buf, size, "%s.stage", data.c_str());
}

int stage_unpack(int package_fd, const char *stage, const char *data)
{
    if (tree_remove(stage) != 0 || mkdir(stage, 0755) != 0) {
        stdout_printf("upgrade: cannot make a fresh %s: %s\n", stage, strerror(errno));
        return -1;
    }
    bool ok = names_ok(package_fd);
    if (ok && lseek(package_fd, 0, SEEK_SET) != 0)
        ok = false;
    if (ok) {
        const char *const argv[] = {"tar", "-zxf", "-", "-C", stage, nullptr};
        ok = helper_ok(helper_run(argv, package_fd, -1));
        if (!ok)
            stdout_printf("upgrade archive: tar failed to unpack it\n");
    }
    ok = ok && tree_ok(stage, data);
    if (!ok) {
        tree_remove(stage);
        return -1;
    }
    return 0;
}

int stage_merge(const char *stage, const char *data)
{
    Fd sfd(open(stage, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    Fd dfd(open(data, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (sfd.fd < 0 || dfd.fd < 0) {
        stdout_printf("upgrade: cannot open %s or %s\n", stage, data);
        return -1;
    }
    return merge_dir(sfd.fd, dfd.fd, ".");
}
