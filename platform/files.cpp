#include "platform/files.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <random>

namespace zolt {

namespace {

// Texts hold their length in an int, so a larger file could never be handled whole.
constexpr std::size_t kLargestFile = INT_MAX;

// Read in pieces: one read of hundreds of megabytes can keep the process's memory map busy
// long enough for the window's thread to stall behind it.
constexpr std::size_t kReadChunk = std::size_t{1} << 20;

std::string describe_error(int error) {
    switch (error) {
        case ENOENT:
            return "文件或文件夹不存在";
        case EACCES:
        case EPERM:
            return "没有访问权限";
        case EISDIR:
            return "这是一个文件夹，不是文件";
        case ENOTDIR:
            return "路径中有一段不是文件夹";
        case ENAMETOOLONG:
            return "文件名太长";
        case EROFS:
            return "所在磁盘只能读取，不能写入";
        case ENOSPC:
            return "磁盘空间不足";
        case EDQUOT:
            return "磁盘配额已用完";
        case EFBIG:
            return "文件太大";
        case ENOMEM:
            return "内存不足";
        case EIO:
            return "读写磁盘出错";
        case ELOOP:
            return "路径中的链接层层相套，无法打开";
        case EMFILE:
        case ENFILE:
            return "同时打开的文件太多";
        case EBUSY:
        case ETXTBSY:
            return "文件正被其他程序使用";
        default:
            return std::string("系统错误：") + std::strerror(error);
    }
}

FileResult failure(int error) { return {false, describe_error(error)}; }
FileResult failure(std::string reason) { return {false, std::move(reason)}; }

class FileDescriptor {
  public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }
    // Closing can report the last write's failure (e.g. on network file systems).
    int close() {
        const int result = ::close(fd_);
        fd_ = -1;
        return result;
    }

  private:
    int fd_;
};

// Linux has no share modes; the nearest thing to "another program holds it for writing" is
// an exclusive lock of either kind, so a file locked that way is not read half-written.
bool locked_by_a_writer(int fd) {
    if (::flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK) return true;
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    if (::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type == F_WRLCK) return true;
    return false;
}

std::string directory_of(const Path& path) {
    const auto slash = path.find_last_of('/');
    if (slash == Path::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

// A hidden name of fixed length, so that a long target name cannot make it too long.
std::string temporary_name_beside(const Path& target) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    static const char digits[] = "0123456789abcdef";
    std::string name = directory_of(target) + "/.zolt-";
    std::uint64_t value = random();
    for (int i = 0; i < 16; ++i, value >>= 4) name += digits[value & 15];
    return name + ".tmp";
}

bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

}  // namespace

FileResult read_whole_file(const Path& path, std::string& bytes) {
    bytes.clear();
    if (path.empty()) return failure("没有给出文件名");
    // Non-blocking open: a named pipe with no writer must not hang the import.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.get() < 0) return failure(errno);
    struct stat info {};
    if (::fstat(fd.get(), &info) != 0) return failure(errno);
    if (S_ISDIR(info.st_mode)) return failure(EISDIR);
    // Devices and pipes may never end; only plain files have a whole to read.
    if (!S_ISREG(info.st_mode)) return failure("这不是普通文件");
    if (static_cast<std::size_t>(info.st_size) > kLargestFile) return failure(EFBIG);
    if (locked_by_a_writer(fd.get())) return failure("文件正被其他程序写入");

    std::string content;
    try {
        // One byte more than the size: the file may grow while it is read.
        content.resize(static_cast<std::size_t>(info.st_size) + 1);
        std::size_t filled = 0;
        for (;;) {
            if (filled == content.size()) {
                if (content.size() > kLargestFile) return failure(EFBIG);
                content.resize(std::min(content.size() * 2, kLargestFile + 1));
            }
            const std::size_t wanted = std::min(content.size() - filled, kReadChunk);
            const ssize_t got = ::read(fd.get(), content.data() + filled, wanted);
            if (got < 0) {
                if (errno == EINTR) continue;
                return failure(errno);
            }
            if (got == 0) break;
            filled += static_cast<std::size_t>(got);
        }
        if (filled > kLargestFile) return failure(EFBIG);
        content.resize(filled);
    } catch (const std::bad_alloc&) {
        return failure(ENOMEM);
    }
    bytes = std::move(content);
    return {true, {}};
}

FileResult write_whole_file(const Path& path, std::string_view bytes) {
    if (path.empty()) return failure("没有给出文件名");
    // Writing through a link keeps the link and replaces the file it names.
    Path target = path;
    struct stat existing {};
    const bool exists = ::lstat(path.c_str(), &existing) == 0;
    if (exists && S_ISLNK(existing.st_mode)) {
        if (char* resolved = ::realpath(path.c_str(), nullptr)) {
            target = resolved;
            std::free(resolved);
            if (::stat(target.c_str(), &existing) != 0) return failure(errno);
        }
    }
    if (exists && S_ISDIR(existing.st_mode)) return failure(EISDIR);
    // Renaming needs only the folder's permission: a file the user made read-only must
    // still refuse to be replaced, as it would refuse to be rewritten.
    if (exists && ::access(target.c_str(), W_OK) != 0 && errno != ENOENT) return failure(errno);

    Path temporary;
    int fd_number = -1;
    for (int attempt = 0; attempt < 16 && fd_number < 0; ++attempt) {
        temporary = temporary_name_beside(target);
        fd_number = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd_number < 0 && errno != EEXIST) return failure(errno);
    }
    if (fd_number < 0) return failure(EEXIST);
    FileDescriptor fd(fd_number);

    auto give_up = [&](int error) {
        ::unlink(temporary.c_str());
        return failure(error);
    };
    // A replaced file keeps the permissions the user gave it.
    if (exists && S_ISREG(existing.st_mode)) ::fchmod(fd.get(), existing.st_mode & 07777);
    if (!write_all(fd.get(), bytes)) return give_up(errno);
    // On disk before the rename, so a crash cannot leave an empty file under the old name.
    if (::fdatasync(fd.get()) != 0 && errno != EINVAL) return give_up(errno);
    if (fd.close() != 0) return give_up(errno);
    if (::rename(temporary.c_str(), target.c_str()) != 0) return give_up(errno);
    return {true, {}};
}

Path program_directory() {
    std::string buffer(PATH_MAX, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (length <= 0 || static_cast<std::size_t>(length) >= buffer.size()) return {};
    buffer.resize(static_cast<std::size_t>(length));
    return directory_of(buffer);
}

}  // namespace zolt
