/* A simulated network share: a FUSE pass-through to a backing folder that
   waits a fixed time in every call, as a request to a file server does.
   Calls from several threads wait in parallel (the multi-threaded loop), as
   a share answers concurrent requests. The kernel caches neither entries nor
   attributes, so every status is a round trip.

   share BACKING MOUNTPOINT MICROSECONDS [fuse options]
   Runs in the foreground until the mount is unmounted (fusermount3 -u). */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

static int g_root = -1;     /* the backing folder */
static long g_delay_ns = 0; /* per call */

static void trip(void) {
    struct timespec t = {g_delay_ns / 1000000000L, g_delay_ns % 1000000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

/* FUSE paths begin with '/'; the backing folder takes them relative. */
static const char *rel(const char *path) { return path[1] ? path + 1 : "."; }
#define R(x) ((x) < 0 ? -errno : 0)

static void *sh_init(struct fuse_conn_info *conn, struct fuse_config *cfg) {
    (void)conn;
    cfg->use_ino = 1;
    cfg->entry_timeout = 0;
    cfg->attr_timeout = 0;
    cfg->negative_timeout = 0;
    return NULL;
}
static int sh_getattr(const char *p, struct stat *st, struct fuse_file_info *fi) {
    trip();
    if (fi) return R(fstat((int)fi->fh, st));
    return R(fstatat(g_root, rel(p), st, AT_SYMLINK_NOFOLLOW));
}
static int sh_readlink(const char *p, char *buf, size_t size) {
    trip();
    ssize_t n = readlinkat(g_root, rel(p), buf, size - 1);
    if (n < 0) return -errno;
    buf[n] = 0;
    return 0;
}
static int sh_mknod(const char *p, mode_t mode, dev_t dev) {
    trip();
    return R(mknodat(g_root, rel(p), mode, dev));
}
static int sh_mkdir(const char *p, mode_t mode) { trip(); return R(mkdirat(g_root, rel(p), mode)); }
static int sh_unlink(const char *p) { trip(); return R(unlinkat(g_root, rel(p), 0)); }
static int sh_rmdir(const char *p) { trip(); return R(unlinkat(g_root, rel(p), AT_REMOVEDIR)); }
static int sh_symlink(const char *to, const char *p) { trip(); return R(symlinkat(to, g_root, rel(p))); }
static int sh_rename(const char *from, const char *to, unsigned int flags) {
    trip();
    return R(renameat2(g_root, rel(from), g_root, rel(to), flags));
}
static int sh_link(const char *from, const char *to) {
    trip();
    return R(linkat(g_root, rel(from), g_root, rel(to), 0));
}
static int sh_chmod(const char *p, mode_t mode, struct fuse_file_info *fi) {
    trip();
    if (fi) return R(fchmod((int)fi->fh, mode));
    return R(fchmodat(g_root, rel(p), mode, 0));
}
static int sh_chown(const char *p, uid_t uid, gid_t gid, struct fuse_file_info *fi) {
    trip();
    if (fi) return R(fchown((int)fi->fh, uid, gid));
    return R(fchownat(g_root, rel(p), uid, gid, AT_SYMLINK_NOFOLLOW));
}
static int sh_truncate(const char *p, off_t size, struct fuse_file_info *fi) {
    trip();
    if (fi) return R(ftruncate((int)fi->fh, size));
    int fd = openat(g_root, rel(p), O_WRONLY);
    if (fd < 0) return -errno;
    int r = R(ftruncate(fd, size));
    close(fd);
    return r;
}
static int sh_utimens(const char *p, const struct timespec tv[2], struct fuse_file_info *fi) {
    trip();
    if (fi) return R(futimens((int)fi->fh, tv));
    return R(utimensat(g_root, rel(p), tv, AT_SYMLINK_NOFOLLOW));
}
static int sh_open(const char *p, struct fuse_file_info *fi) {
    trip();
    int fd = openat(g_root, rel(p), fi->flags & ~O_NOFOLLOW);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}
static int sh_create(const char *p, mode_t mode, struct fuse_file_info *fi) {
    trip();
    int fd = openat(g_root, rel(p), fi->flags, mode);
    if (fd < 0) return -errno;
    fi->fh = (uint64_t)fd;
    return 0;
}
static int sh_read(const char *p, char *buf, size_t size, off_t off, struct fuse_file_info *fi) {
    (void)p;
    trip();
    ssize_t n = pread((int)fi->fh, buf, size, off);
    return n < 0 ? -errno : (int)n;
}
static int sh_write(const char *p, const char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi) {
    (void)p;
    trip();
    ssize_t n = pwrite((int)fi->fh, buf, size, off);
    return n < 0 ? -errno : (int)n;
}
static int sh_statfs(const char *p, struct statvfs *st) {
    (void)p;
    trip();
    return R(fstatvfs(g_root, st));
}
static int sh_release(const char *p, struct fuse_file_info *fi) {
    (void)p;
    trip();
    close((int)fi->fh);
    return 0;
}
static int sh_fsync(const char *p, int data, struct fuse_file_info *fi) {
    (void)p;
    trip();
    return R(data ? fdatasync((int)fi->fh) : fsync((int)fi->fh));
}
static int sh_opendir(const char *p, struct fuse_file_info *fi) {
    trip();
    int fd = openat(g_root, rel(p), O_RDONLY | O_DIRECTORY);
    if (fd < 0) return -errno;
    DIR *d = fdopendir(fd);
    if (!d) {
        int e = errno;
        close(fd);
        return -e;
    }
    fi->fh = (uint64_t)(uintptr_t)d;
    return 0;
}
static int sh_readdir(const char *p, void *buf, fuse_fill_dir_t fill, off_t off,
                      struct fuse_file_info *fi, enum fuse_readdir_flags flags) {
    (void)p, (void)flags;
    trip();
    DIR *d = (DIR *)(uintptr_t)fi->fh;
    if (off == 0) rewinddir(d);
    else seekdir(d, off);
    struct dirent *e;
    while ((e = readdir(d)) != NULL) {
        struct stat st = {0};
        st.st_ino = e->d_ino;
        st.st_mode = (mode_t)DTTOIF(e->d_type);
        if (fill(buf, e->d_name, &st, telldir(d), 0)) break;
    }
    return 0;
}
static int sh_releasedir(const char *p, struct fuse_file_info *fi) {
    (void)p;
    trip();
    closedir((DIR *)(uintptr_t)fi->fh);
    return 0;
}
static int sh_access(const char *p, int mask) { trip(); return R(faccessat(g_root, rel(p), mask, 0)); }

/* Attributes go through /proc/self/fd of an O_PATH handle: the backing
   folder is reached only relative to its handle. */
static int at_path(const char *p, char *out, int *fd) {
    *fd = openat(g_root, rel(p), O_PATH | O_NOFOLLOW);
    if (*fd < 0) return -errno;
    snprintf(out, PATH_MAX, "/proc/self/fd/%d", *fd);
    return 0;
}
static int sh_setxattr(const char *p, const char *name, const char *value, size_t size, int flags) {
    trip();
    char path[PATH_MAX];
    int fd, r = at_path(p, path, &fd);
    if (r) return r;
    r = R(lsetxattr(path, name, value, size, flags));
    close(fd);
    return r;
}
static int sh_getxattr(const char *p, const char *name, char *value, size_t size) {
    trip();
    char path[PATH_MAX];
    int fd, r = at_path(p, path, &fd);
    if (r) return r;
    ssize_t n = lgetxattr(path, name, value, size);
    r = n < 0 ? -errno : (int)n;
    close(fd);
    return r;
}
static int sh_listxattr(const char *p, char *list, size_t size) {
    trip();
    char path[PATH_MAX];
    int fd, r = at_path(p, path, &fd);
    if (r) return r;
    ssize_t n = llistxattr(path, list, size);
    r = n < 0 ? -errno : (int)n;
    close(fd);
    return r;
}
static int sh_removexattr(const char *p, const char *name) {
    trip();
    char path[PATH_MAX];
    int fd, r = at_path(p, path, &fd);
    if (r) return r;
    r = R(lremovexattr(path, name));
    close(fd);
    return r;
}

static const struct fuse_operations ops = {
    .getattr = sh_getattr, .readlink = sh_readlink, .mknod = sh_mknod, .mkdir = sh_mkdir,
    .unlink = sh_unlink, .rmdir = sh_rmdir, .symlink = sh_symlink, .rename = sh_rename,
    .link = sh_link, .chmod = sh_chmod, .chown = sh_chown, .truncate = sh_truncate,
    .open = sh_open, .read = sh_read, .write = sh_write, .statfs = sh_statfs,
    .release = sh_release, .fsync = sh_fsync, .setxattr = sh_setxattr, .getxattr = sh_getxattr,
    .listxattr = sh_listxattr, .removexattr = sh_removexattr, .opendir = sh_opendir,
    .readdir = sh_readdir, .releasedir = sh_releasedir, .init = sh_init, .access = sh_access,
    .create = sh_create, .utimens = sh_utimens,
};

int main(int argc, char **argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: share BACKING MOUNTPOINT MICROSECONDS [fuse options]\n");
        return 2;
    }
    g_root = open(argv[1], O_RDONLY | O_DIRECTORY);
    if (g_root < 0) {
        perror(argv[1]);
        return 1;
    }
    g_delay_ns = atol(argv[3]) * 1000L;
    /* fuse_main's arguments: program, mount point, foreground, then the rest. */
    char *args[64];
    int n = 0;
    args[n++] = argv[0];
    args[n++] = argv[2];
    args[n++] = "-f";
    args[n++] = "-o";
    args[n++] = "default_permissions,allow_other,max_threads=32";
    for (int i = 4; i < argc && n < 63; i++) args[n++] = argv[i];
    args[n] = NULL;
    umask(0);
    return fuse_main(n, args, &ops, NULL);
}
