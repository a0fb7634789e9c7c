#include "pq/audit_sink.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

namespace ostrel_pq {

namespace {

std::string os_error(int err) { return std::strerror(err); }

class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }

private:
    int fd_;
};

// Opens `path` for appending; creates it (mode 0666 before the umask) when
// missing and says whether it did.
int open_for_append(const std::string& path, bool& created) {
    created = false;
    for (;;) {
        int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
        if (fd >= 0 || errno != ENOENT) {
            if (fd < 0 && errno == EINTR) continue;
            return fd;
        }
        fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            created = true;
            return fd;
        }
        if (errno != EEXIST && errno != EINTR) return -1;
        // Someone else created it meanwhile: open theirs.
    }
}

// The length of the file up to and including its last line feed.
std::expected<off_t, int> complete_lines_length(int fd, off_t size) {
    char buf[4096];
    off_t end = size;
    while (end > 0) {
        const off_t start = end > static_cast<off_t>(sizeof buf) ? end - static_cast<off_t>(sizeof buf) : 0;
        const auto want = static_cast<std::size_t>(end - start);
        std::size_t got = 0;
        while (got < want) {
            const ssize_t n = ::pread(fd, buf + got, want - got, start + static_cast<off_t>(got));
            if (n < 0) {
                if (errno == EINTR) continue;
                return std::unexpected(errno);
            }
            if (n == 0) return std::unexpected(EIO);
            got += static_cast<std::size_t>(n);
        }
        for (std::size_t i = want; i > 0; --i) {
            if (buf[i - 1] == '\n') return start + static_cast<off_t>(i);
        }
        end = start;
    }
    return 0;
}

int fsync_directory_of(const std::string& path, const std::function<int(int)>& do_fsync) {
    std::filesystem::path dir = std::filesystem::path(path).parent_path();
    if (dir.empty()) dir = ".";
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int err = 0;
    while (do_fsync(fd) != 0) {
        if (errno == EINTR) continue;
        err = errno;
        break;
    }
    ::close(fd);
    return err;
}

}  // namespace

FileAuditSink::FileAuditSink(std::string path, FileSinkIo io) : path_(std::move(path)), io_(std::move(io)) {
    if (!io_.write) io_.write = [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); };
    if (!io_.fsync) io_.fsync = [](int fd) { return ::fsync(fd); };
}

std::expected<void, PqError> FileAuditSink::append_segment(std::span<const SignedAuditEntry> entries) {
    if (entries.empty()) return {};
    auto bytes = export_jsonl(entries);
    if (!bytes) return std::unexpected(bytes.error());
    std::lock_guard lock(mu_);
    return append_locked(*bytes);
}

std::expected<void, PqError> FileAuditSink::append_locked(const std::string& bytes) {
    bool created = false;
    const int raw = open_for_append(path_, created);
    if (raw < 0) return std::unexpected(PqError::serialization("audit sink open: " + os_error(errno)));
    Fd fd(raw);
    if (created) directory_synced_ = false;

    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::unexpected(PqError::serialization("audit sink open: " + os_error(errno)));
    off_t good_length = st.st_size;

    // Cuts the file back to `good_length` after a failed attempt. The cut is
    // synced with the plain call: the injected one may be the one failing.
    auto roll_back = [&]() {
        while (::ftruncate(fd.get(), good_length) != 0) {
            if (errno != EINTR) {
                tail_checked_ = false;  // check again before the next run
                return;
            }
        }
        ::fsync(fd.get());
    };

    // A previous writer that died mid-write may have left an incomplete last
    // line; nothing can verify it, and appending after it would corrupt the
    // next line too.
    if (!tail_checked_ && good_length > 0) {
        const int rd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (rd < 0) return std::unexpected(PqError::serialization("audit sink open: " + os_error(errno)));
        Fd reader(rd);
        auto complete = complete_lines_length(reader.get(), good_length);
        if (!complete) return std::unexpected(PqError::serialization("audit sink write: " + os_error(complete.error())));
        if (*complete != good_length) {
            if (::ftruncate(fd.get(), *complete) != 0)
                return std::unexpected(PqError::serialization("audit sink write: " + os_error(errno)));
            good_length = *complete;
        }
    }
    tail_checked_ = true;

    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = io_.write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            const int err = errno;
            roll_back();
            return std::unexpected(PqError::serialization("audit sink write: " + os_error(err)));
        }
        if (n == 0) {
            roll_back();
            return std::unexpected(PqError::serialization("audit sink write: " + os_error(EIO)));
        }
        done += static_cast<std::size_t>(n);
    }

    for (;;) {
        if (io_.fsync(fd.get()) == 0) break;
        if (errno == EINTR) continue;
        const int err = errno;
        roll_back();
        return std::unexpected(PqError::serialization("audit sink fsync: " + os_error(err)));
    }

    // A file's contents are durable only together with its name.
    if (!directory_synced_) {
        if (const int err = fsync_directory_of(path_, io_.fsync); err != 0) {
            roll_back();
            return std::unexpected(PqError::serialization("audit sink fsync: " + os_error(err)));
        }
        directory_synced_ = true;
    }
    return {};
}

}  // namespace ostrel_pq
