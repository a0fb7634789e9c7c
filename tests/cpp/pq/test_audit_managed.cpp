#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <thread>

#include "test_audit_support.hpp"
#include "pq/audit_sink.hpp"
#include "pq/managed_audit_chain.hpp"

namespace ostrel_pq {
namespace {

using namespace std::chrono_literals;
using testing::error_text;
using testing::read_text;
using testing::sample_entry;
using testing::shared_keypair;
using testing::split_lines;
using testing::TempDir;
using testing::verifier_for;

// Polls `cond` until it holds or the deadline passes.
template <class F>
bool eventually(F cond, std::chrono::seconds deadline = 30s) {
    const auto until = std::chrono::steady_clock::now() + deadline;
    while (std::chrono::steady_clock::now() < until) {
        if (cond()) return true;
        std::this_thread::sleep_for(5ms);
    }
    return cond();
}

// A sink that keeps what it is given and fails while told to.
class ScriptedSink final : public AuditSink {
public:
    std::expected<void, PqError> append_segment(std::span<const SignedAuditEntry> entries) override {
        std::lock_guard lock(mu_);
        calls_ += 1;
        if (fail_) return std::unexpected(PqError::serialization("scripted sink failure"));
        stored_.insert(stored_.end(), entries.begin(), entries.end());
        return {};
    }
    void set_failing(bool f) {
        std::lock_guard lock(mu_);
        fail_ = f;
    }
    std::vector<SignedAuditEntry> stored() {
        std::lock_guard lock(mu_);
        return stored_;
    }
    int calls() {
        std::lock_guard lock(mu_);
        return calls_;
    }

private:
    std::mutex mu_;
    bool fail_ = false;
    int calls_ = 0;
    std::vector<SignedAuditEntry> stored_;
};

Signer hybrid_signer() { return Signer::from_keypair(shared_keypair(), true); }

std::size_t line_count(const std::string& path) {
    std::size_t n = 0;
    for (char c : read_text(path))
        if (c == '\n') ++n;
    return n;
}

// The file alone verifies as a prefix, and the file followed by the tail as
// the whole chain, both as one stream and as two segments.
void expect_file_and_tail_verify(const std::string& path, const ManagedAuditChain& chain) {
    const std::string file = read_text(path);
    auto prefix = parse_jsonl(file);
    ASSERT_TRUE(prefix) << prefix.error().display();
    EXPECT_EQ(error_text(verify_chain(*prefix, verifier_for(true))), "ok");
    const std::string tail = *chain.export_tail_jsonl();
    auto whole = parse_jsonl(file + tail);
    ASSERT_TRUE(whole);
    EXPECT_EQ(whole->size(), chain.len());
    EXPECT_EQ(error_text(verify_chain(*whole, verifier_for(true))), "ok");
    std::vector<std::vector<SignedAuditEntry>> segments{*prefix, *parse_jsonl(tail)};
    EXPECT_EQ(error_text(verify_segments(segments, verifier_for(true))), "ok");
}

// ---- without a worker ------------------------------------------------------------

TEST(ManagedAuditChain, WithoutTriggerNothingMovesUntilFlushOrDrain) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    ManagedConfig cfg;
    cfg.min_retained = 5;
    ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path), cfg);
    EXPECT_FALSE(chain.has_worker());
    EXPECT_EQ(chain.drain().value(), 0u);  // empty chain
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    EXPECT_EQ(chain.flush().value(), 0u);  // fewer than min_retained
    EXPECT_FALSE(std::filesystem::exists(path));

    for (int i = 4; i < 8; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    EXPECT_EQ(chain.flush().value(), 3u);
    EXPECT_EQ(chain.resident_entries(), 5u);
    EXPECT_EQ(chain.base_index(), 3u);
    expect_file_and_tail_verify(path, chain);

    EXPECT_EQ(chain.drain().value(), 5u);
    EXPECT_EQ(chain.resident_entries(), 0u);
    EXPECT_EQ(line_count(path), 8u);
    const ManagedStats s = chain.stats();
    EXPECT_EQ(s.entries_appended, 8u);
    EXPECT_EQ(s.entries_evicted, 8u);
    EXPECT_EQ(s.last_flush_index, 8u);
    EXPECT_EQ(s.resident_bytes, 0u);
    EXPECT_TRUE(s.sink_healthy);
    expect_file_and_tail_verify(path, chain);
}

TEST(ManagedAuditChain, FreshStatsAndMirroredChainValues) {
    ManagedAuditChain chain(hybrid_signer(), std::make_shared<ScriptedSink>(), ManagedConfig{});
    const ManagedStats s = chain.stats();
    EXPECT_EQ(s.entries_appended, 0u);
    EXPECT_EQ(s.entries_evicted, 0u);
    EXPECT_EQ(s.resident_entries, 0u);
    EXPECT_EQ(s.resident_bytes, 0u);
    EXPECT_EQ(s.sink_failures, 0u);
    EXPECT_EQ(s.last_flush_index, 0u);
    EXPECT_TRUE(s.sink_healthy);
    EXPECT_TRUE(chain.is_empty());
    EXPECT_EQ(chain.head_hash(), "genesis");
    EXPECT_EQ(chain.anchor_hash(), "genesis");
    EXPECT_TRUE(chain.is_hybrid());
    auto e = chain.append(sample_entry(1));
    ASSERT_TRUE(e);
    EXPECT_EQ(chain.head_hash(), e->entry_hash);
    EXPECT_EQ(chain.resident_bytes(), e->resident_estimate());
    EXPECT_EQ(chain.len(), 1u);
}

// ---- the worker ----------------------------------------------------------------------

TEST(ManagedAuditChain, SizeTriggerWakesTheWorkerOnTheAppendThatExceedsIt) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    ManagedConfig cfg;
    cfg.max_entries = 10;
    cfg.min_retained = 5;
    cfg.flush_interval = std::chrono::hours(1);  // the timer never fires here
    ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path), cfg);
    EXPECT_TRUE(chain.has_worker());
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    EXPECT_EQ(chain.stats().entries_evicted, 0u);
    EXPECT_FALSE(std::filesystem::exists(path));

    ASSERT_TRUE(chain.append(sample_entry(10)));
    ASSERT_TRUE(eventually([&] { return chain.stats().entries_evicted == 6; }));
    const ManagedStats s = chain.stats();
    EXPECT_EQ(s.resident_entries, 5u);
    EXPECT_EQ(s.last_flush_index, 6u);
    EXPECT_EQ(s.entries_appended, 11u);
    EXPECT_EQ(line_count(path), 6u);
    expect_file_and_tail_verify(path, chain);
}

TEST(ManagedAuditChain, WorkerWakesOnItsPeriodWithoutInterval) {
    ScriptedSink* raw = nullptr;
    auto sink = std::make_shared<ScriptedSink>();
    raw = sink.get();
    ManagedConfig cfg;
    cfg.max_bytes = std::uint64_t{1} << 40;  // a trigger that never fires
    cfg.min_retained = 3;
    ManagedAuditChain chain(hybrid_signer(), sink, cfg);
    for (int i = 0; i < 10; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    ASSERT_TRUE(eventually([&] { return chain.stats().entries_evicted == 7; }));
    EXPECT_EQ(chain.resident_entries(), 3u);
    EXPECT_EQ(raw->stored().size(), 7u);
}

TEST(ManagedAuditChain, ZeroIntervalRunsCyclesBackToBack) {
    auto sink = std::make_shared<ScriptedSink>();
    ManagedConfig cfg;
    cfg.flush_interval = 0ns;
    cfg.min_retained = 0;
    ManagedAuditChain chain(hybrid_signer(), sink, cfg);
    for (int i = 0; i < 6; ++i) {
        ASSERT_TRUE(chain.append(sample_entry(i)));
        ASSERT_TRUE(eventually([&] { return chain.stats().entries_evicted == static_cast<std::uint64_t>(i + 1); }));
    }
    const auto stored = sink->stored();
    ASSERT_EQ(stored.size(), 6u);
    for (std::size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i].index, i);
}

TEST(ManagedAuditChain, DroppingStopsTheWorkerAfterWritingEverything) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    std::string head;
    {
        ManagedConfig cfg;
        cfg.max_entries = 1000;
        cfg.flush_interval = std::chrono::hours(1);
        ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path), cfg);
        for (int i = 0; i < 5; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
        head = chain.head_hash();
    }
    auto entries = parse_jsonl(read_text(path));
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 5u);
    EXPECT_EQ(entries->back().entry_hash, head);
    EXPECT_EQ(error_text(verify_chain(*entries, verifier_for(true))), "ok");
}

// Dropping a chain without any trigger writes what was never drained.
TEST(ManagedAuditChain, DroppingWithoutWorkerStillFlushesEverything) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    {
        ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path), ManagedConfig{});
        ASSERT_FALSE(chain.has_worker());
        for (int i = 0; i < 4; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
        ASSERT_EQ(chain.flush().value(), 0u);
    }
    auto entries = parse_jsonl(read_text(path));
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 4u);
    EXPECT_EQ(error_text(verify_chain(*entries, verifier_for(true))), "ok");

    // With a failing sink the drop still returns; the sink was asked once.
    auto sink = std::make_shared<ScriptedSink>();
    sink->set_failing(true);
    {
        ManagedAuditChain chain(hybrid_signer(), sink, ManagedConfig{});
        ASSERT_TRUE(chain.append(sample_entry(0)));
    }
    EXPECT_EQ(sink->calls(), 1);
}

TEST(ManagedAuditChain, AppendsFromThreadsWhileTheWorkerEvicts) {
    auto sink = std::make_shared<ScriptedSink>();
    ManagedConfig cfg;
    cfg.max_entries = 4;
    cfg.min_retained = 2;
    cfg.flush_interval = 1ms;
    auto chain = std::make_unique<ManagedAuditChain>(hybrid_signer(), sink, cfg);
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&chain, t] {
            for (int i = 0; i < 8; ++i) ASSERT_TRUE(chain->append(sample_entry(t * 100 + i)));
        });
    }
    for (auto& th : threads) th.join();
    chain.reset();  // final forced flush
    const auto stored = sink->stored();
    ASSERT_EQ(stored.size(), 24u);
    EXPECT_EQ(error_text(verify_chain(stored, verifier_for(true))), "ok");
}

// ---- sink failures, recovery and backpressure ----------------------------------

TEST(ManagedAuditChain, UnwritablePathFailsWithoutLosingAndRecovers) {
    TempDir dir;
    const std::string missing_dir = dir.file("later");
    const std::string path = missing_dir + "/audit.jsonl";
    ManagedConfig cfg;
    cfg.min_retained = 1;
    ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path), cfg);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));

    auto r = chain.flush();
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "serialization error: audit sink open: No such file or directory");
    ManagedStats s = chain.stats();
    EXPECT_FALSE(s.sink_healthy);
    EXPECT_EQ(s.sink_failures, 1u);
    EXPECT_EQ(s.entries_evicted, 0u);
    EXPECT_EQ(s.resident_entries, 4u);

    std::filesystem::create_directory(missing_dir);
    EXPECT_EQ(chain.flush().value(), 3u);
    s = chain.stats();
    EXPECT_TRUE(s.sink_healthy);
    EXPECT_EQ(s.sink_failures, 1u);
    EXPECT_EQ(s.last_flush_index, 3u);
    expect_file_and_tail_verify(path, chain);
}

TEST(ManagedAuditChain, BufferModeRefusesAtTheCeiling) {
    for (bool failing : {true, false}) {
        auto sink = std::make_shared<ScriptedSink>();
        sink->set_failing(failing);
        ManagedConfig cfg;
        cfg.buffer_ceiling = 3;
        ManagedAuditChain chain(hybrid_signer(), sink, cfg);
        for (int i = 0; i < 3; ++i) ASSERT_TRUE(chain.append(sample_entry(i))) << failing;
        if (failing) {
            EXPECT_FALSE(chain.drain());
        }
        auto r = chain.append(sample_entry(3));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(),
                  "serialization error: audit buffer ceiling 3 reached (sink not draining); append rejected");
        EXPECT_EQ(chain.len(), 3u);
        // Draining makes room again once the sink works.
        sink->set_failing(false);
        EXPECT_EQ(chain.drain().value(), 3u);
        EXPECT_TRUE(chain.append(sample_entry(4)));
    }
}

TEST(ManagedAuditChain, RejectModeRefusesOnlyWhileUnhealthyAndOverThreshold) {
    auto sink = std::make_shared<ScriptedSink>();
    ManagedConfig cfg;
    cfg.on_sink_failure = SinkFailureMode::Reject;
    cfg.max_entries = 3;
    cfg.min_retained = 0;
    cfg.buffer_ceiling = 1;  // not used in Reject mode
    cfg.flush_interval = std::chrono::hours(1);
    ManagedAuditChain chain(hybrid_signer(), sink, cfg);

    // Healthy: never refused, whatever the resident count.
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    ASSERT_TRUE(eventually([&] { return chain.stats().entries_evicted >= 4; }));
    EXPECT_TRUE(chain.drain());
    EXPECT_EQ(chain.stats().entries_evicted, 6u);

    sink->set_failing(true);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(chain.append(sample_entry(10 + i)));  // the 4th exceeds 3: worker fails
    ASSERT_TRUE(eventually([&] { return !chain.stats().sink_healthy; }));
    EXPECT_GE(chain.stats().sink_failures, 1u);
    auto r = chain.append(sample_entry(20));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(),
              "serialization error: audit sink unavailable and buffer over threshold; append rejected (backpressure)");
    EXPECT_EQ(chain.len(), 10u);
    EXPECT_EQ(chain.resident_entries(), 4u);

    sink->set_failing(false);
    EXPECT_EQ(chain.drain().value(), 4u);
    EXPECT_TRUE(chain.stats().sink_healthy);
    EXPECT_TRUE(chain.append(sample_entry(21)));
    chain.drain();
    EXPECT_EQ(error_text(verify_chain(sink->stored(), verifier_for(true))), "ok");
}

// ---- file sink -----------------------------------------------------------------------

struct InjectedIo {
    std::atomic<int> fail_write_after_bytes{-1};  // >= 0: write that many bytes, then fail
    std::atomic<bool> fail_fsync{false};
    std::atomic<bool> fail_directory_fsync{false};
    std::atomic<int> directory_fsyncs{0};

    FileSinkIo io() {
        FileSinkIo io;
        io.write = [this](int fd, const void* data, std::size_t size) -> ssize_t {
            const int budget = fail_write_after_bytes.exchange(-1);
            if (budget < 0) return ::write(fd, data, size);
            if (budget > 0) {
                // A part of the run reaches the file, then the device fails.
                fail_write_after_bytes.store(0);
                return ::write(fd, data, std::min<std::size_t>(size, static_cast<std::size_t>(budget)));
            }
            errno = EIO;
            return -1;
        };
        io.fsync = [this](int fd) -> int {
            struct stat st {};
            ::fstat(fd, &st);
            if (S_ISDIR(st.st_mode)) {
                directory_fsyncs += 1;
                if (fail_directory_fsync.load()) {
                    errno = EIO;
                    return -1;
                }
            } else if (fail_fsync.load()) {
                errno = EIO;
                return -1;
            }
            return ::fsync(fd);
        };
        return io;
    }
};

TEST(FileAuditSink, FailedWriteOrFsyncLeavesTheFileAtALineBoundary) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    InjectedIo inj;
    ManagedConfig cfg;
    cfg.min_retained = 0;
    ManagedAuditChain chain(hybrid_signer(), std::make_shared<FileAuditSink>(path, inj.io()), cfg);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
    ASSERT_EQ(chain.flush().value(), 3u);
    const std::string before = read_text(path);

    struct Case {
        const char* name;
        std::function<void()> arm;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"write fails part-way", [&] { inj.fail_write_after_bytes = 5000; },
         "serialization error: audit sink write: Input/output error"},
        {"write fails at once", [&] { inj.fail_write_after_bytes = 0; },
         "serialization error: audit sink write: Input/output error"},
        {"fsync fails", [&] { inj.fail_fsync = true; }, "serialization error: audit sink fsync: Input/output error"},
    };
    for (const auto& c : cases) {
        for (int i = 0; i < 2; ++i) ASSERT_TRUE(chain.append(sample_entry(i)));
        c.arm();
        auto r = chain.flush();
        ASSERT_FALSE(r) << c.name;
        EXPECT_EQ(r.error().display(), c.message) << c.name;
        inj.fail_fsync = false;
        const std::string after = read_text(path);
        ASSERT_FALSE(after.empty());
        EXPECT_EQ(after.back(), '\n') << c.name;
        auto parsed = parse_jsonl(after);
        ASSERT_TRUE(parsed) << c.name << ": " << parsed.error().display();
        EXPECT_EQ(error_text(verify_chain(*parsed, verifier_for(true))), "ok") << c.name;
        // The retry writes the same entries once, right after the good lines.
        ASSERT_TRUE(chain.flush()) << c.name;
        EXPECT_EQ(chain.resident_entries(), 0u);
        expect_file_and_tail_verify(path, chain);
    }
    EXPECT_EQ(read_text(path).substr(0, before.size()), before);
    EXPECT_EQ(line_count(path), chain.len());
}

TEST(FileAuditSink, NewFileIsMadeDurableByADirectorySync) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    const auto entries = testing::make_chain(4, true);
    const std::span<const SignedAuditEntry> all(entries);
    InjectedIo inj;
    {
        FileAuditSink sink(path, inj.io());
        EXPECT_TRUE(sink.append_segment({}));  // empty run: nothing happens
        EXPECT_FALSE(std::filesystem::exists(path));
        inj.fail_directory_fsync = true;
        auto r = sink.append_segment(all.subspan(0, 1));
        ASSERT_FALSE(r);
        EXPECT_EQ(r.error().display(), "serialization error: audit sink fsync: Input/output error");
        EXPECT_EQ(read_text(path), "");  // the unsynced run was cut off again
        inj.fail_directory_fsync = false;
        ASSERT_TRUE(sink.append_segment(all.subspan(0, 1)));
        EXPECT_EQ(inj.directory_fsyncs.load(), 2);
        ASSERT_TRUE(sink.append_segment(all.subspan(1, 1)));
        EXPECT_EQ(inj.directory_fsyncs.load(), 2);  // once the name is durable, no more
    }
    // A new sink on an existing file syncs the directory once: it cannot know
    // whether the file's creator did.
    FileAuditSink again(path, inj.io());
    ASSERT_TRUE(again.append_segment(all.subspan(2, 2)));
    EXPECT_EQ(inj.directory_fsyncs.load(), 3);
    auto parsed = parse_jsonl(read_text(path));
    ASSERT_TRUE(parsed);
    EXPECT_EQ(*parsed, entries);
}

TEST(FileAuditSink, IncompleteLastLineFromADeadWriterIsCutBeforeAppending) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    const auto entries = testing::make_chain(3, true);
    const auto lines = split_lines(*export_jsonl(entries));
    testing::write_text(path, lines[0] + "\n" + lines[1].substr(0, 777));
    FileAuditSink sink(path);
    ASSERT_TRUE(sink.append_segment(std::span<const SignedAuditEntry>(entries).subspan(1)));
    auto parsed = parse_jsonl(read_text(path));
    ASSERT_TRUE(parsed) << parsed.error().display();
    EXPECT_EQ(*parsed, entries);
    EXPECT_EQ(error_text(verify_chain(*parsed, verifier_for(true))), "ok");
}

TEST(FileAuditSink, CreatesTheFileWithDefaultPermissionsLessUmask) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    testing::ScopedUmask mask(027);
    FileAuditSink sink(path);
    ASSERT_TRUE(sink.append_segment(testing::make_chain(1, false)));
    EXPECT_EQ(testing::file_mode(path), 0640u);
}

// ---- a writer killed mid-stream ------------------------------------------------

TEST(ManagedAuditChainCrash, FileLeftBySigkilledWriterVerifiesAsAPrefix) {
    TempDir dir;
    const std::string path = dir.file("audit.jsonl");
    const OstrelKeyPair& kp = shared_keypair();  // made before the fork
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ManagedConfig cfg;
        cfg.max_entries = 3;
        cfg.min_retained = 1;
        cfg.flush_interval = 0ns;
        ManagedAuditChain chain(Signer::from_keypair(kp, true), std::make_shared<FileAuditSink>(path), cfg);
        for (int i = 0;; ++i) (void)chain.append(sample_entry(i));
    }
    const bool enough = eventually([&] { return line_count(path) >= 12; }, 120s);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(enough);
    EXPECT_TRUE(WIFSIGNALED(status));

    std::string file = read_text(path);
    // The kill may land inside a write: everything up to the last line feed
    // is complete, and a later sink cuts the rest (tested above).
    const std::size_t complete = file.rfind('\n') + 1;
    if (complete != file.size()) {
        FileAuditSink repair(path);
        ASSERT_TRUE(repair.append_segment({}));
    }
    file.resize(complete);
    auto entries = parse_jsonl(file);
    ASSERT_TRUE(entries) << entries.error().display();
    ASSERT_GE(entries->size(), 12u);
    for (std::size_t i = 0; i < entries->size(); ++i) EXPECT_EQ((*entries)[i].index, i);
    EXPECT_EQ(error_text(verify_chain(*entries, verifier_for(true))), "ok");
}

}  // namespace
}  // namespace ostrel_pq
