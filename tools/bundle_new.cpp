// `korvex-bundle new DIR`: a minimal working bundle in a new directory.
#include "tools/bundle_tool.h"
#include "tools/template_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/file_io.h"

namespace {

// Creates the directories on the way to `rel` below `root`.
bool make_parents(const std::string &root, const std::string &rel)
{
    for (size_t pos = rel.find('/'); pos != std::string::npos; pos = rel.find('/', pos + 1)) {
        std::string dir = root + "/" + rel.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

bool write_new_file(const std::string &path, const unsigned char *data, size_t size)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    bool ok = done == size && fsync(fd) == 0;
    int saved = errno;
    if (close(fd) != 0 && ok)
        return false;
    errno = saved;
    return ok;
}

// rename(2) that fails with EEXIST instead of replacing (an empty directory
// would be replaced otherwise). Called directly: not every C library wraps it.
int rename_noreplace(const char *from, const char *to)
{
    const unsigned kNoReplace = 1;  // RENAME_NOREPLACE
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, kNoReplace));
}

}  // namespace

int cmd_new(int argc, char **argv)
{
    if (argc != 1 || argv[0][0] == '\0') {
        fputs("usage: korvex-bundle new <directory>\n", stderr);
        return 2;
    }
    std::string dir = argv[0];
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    struct stat st;
    if (lstat(dir.c_str(), &st) == 0) {
        fprintf(stderr, "korvex-bundle: %s exists; new writes only into a directory it creates\n", dir.c_str());
        return 1;
    }

    // Everything goes into a hidden directory beside the target, which is
    // renamed into place only when complete and only if the name is still
    // free: no half-written bundle, nothing overwritten.
    std::string parent = ".";
    size_t slash = dir.rfind('/');
    if (slash != std::string::npos)
        parent = slash == 0 ? "/" : dir.substr(0, slash);
    std::string tmpl = parent + "/.korvex-new-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) {
        fprintf(stderr, "korvex-bundle: cannot create a directory in %s: %s\n", parent.c_str(), strerror(errno));
        return 1;
    }
    std::string work = buf.data();
    chmod(work.c_str(), 0755);
    for (const TemplateFile *f = kTemplateFiles; f->name; ++f) {
        std::string path = work + "/" + f->name;
        if (!make_parents(work, f->name) || !write_new_file(path, f->data, f->size)) {
            fprintf(stderr, "korvex-bundle: cannot write %s/%s: %s\n", dir.c_str(), f->name, strerror(errno));
            tree_remove(work.c_str());
            return 1;
        }
    }
    if (rename_noreplace(work.c_str(), dir.c_str()) != 0) {
        int err = errno;
        tree_remove(work.c_str());
        if (err == EEXIST)
            fprintf(stderr, "korvex-bundle: %s exists; new writes only into a directory it creates\n", dir.c_str());
        else
            fprintf(stderr, "korvex-bundle: cannot create %s: %s\n", dir.c_str(), strerror(err));
        return 1;
    }
    printf("new bundle in %s:", dir.c_str());
    for (const TemplateFile *f = kTemplateFiles; f->name; ++f)
        printf(" %s", f->name);
    printf("\n");
    return 0;
}
