// Durable destinations for evicted audit entries.
//
// `AuditSink` receives consecutive runs of entries, oldest first, and reports
// success only once the run is on stable storage. `FileAuditSink` appends the
// runs as JSON Lines to one file, opening and closing it for every run.
//
// The file always ends at a line boundary: a run whose write or fsync fails
// is cut off again (the file is truncated back to its length before the
// attempt), so the retried run never follows an incomplete line and the
// file keeps parsing and verifying. A file left with an incomplete last line
// by a process that died mid-write is repaired the same way before this sink
// first appends to it. When the sink creates the file, it also fsyncs the
// directory, so that the new file's name is as durable as its contents.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <expected>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "pq/audit.hpp"
#include "pq/error.hpp"

namespace ostrel_pq {

class AuditSink {
public:
    virtual ~AuditSink() = default;
    // Stores `entries` durably, or fails without having stored them.
    virtual std::expected<void, PqError> append_segment(std::span<const SignedAuditEntry> entries) = 0;
};

// The system calls FileAuditSink makes to put bytes on disk. Tests replace
// them to inject failures part-way through a run; by default they are the
// plain POSIX calls.
struct FileSinkIo {
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
};

class FileAuditSink final : public AuditSink {
public:
    // Nothing is opened or created until the first non-empty run.
    explicit FileAuditSink(std::string path, FileSinkIo io = {});

    // An empty run succeeds without touching the file. Errors, all
    // Serialization: "audit sink open: {}", "audit sink write: {}",
    // "audit sink fsync: {}" with the operating system's error text.
    std::expected<void, PqError> append_segment(std::span<const SignedAuditEntry> entries) override;

    const std::string& path() const noexcept { return path_; }

private:
    std::expected<void, PqError> append_locked(const std::string& bytes);

    const std::string path_;
    FileSinkIo io_;
    std::mutex mu_;  // one run at a time
    // Whether this sink has made the file's directory entry durable (fsynced
    // the directory) since it created the file or first found it.
    bool directory_synced_ = false;
    // Whether the file's tail has been checked for an incomplete last line.
    bool tail_checked_ = false;
};

}  // namespace ostrel_pq
