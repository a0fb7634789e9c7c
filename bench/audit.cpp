// Signed audit log: append throughput, bounded memory of a managed chain and
// verification of a 10,000-entry hybrid JSON Lines export.
//
//   BM_AppendHybrid            appends to one shared hybrid chain, 1 and 2 threads
//   BM_ManagedSustained        a managed chain (max_entries) under sustained
//                              appends; counters show resident entries/bytes
//                              and the process RSS early and late in the run
//   BM_VerifyJsonl10k/threads  parse_jsonl + detect_mode + verify_chain of the
//                              export, as the JSONL verify path runs it, with
//                              1 thread and with one per CPU
//   BM_ParseJsonl10k           parsing alone (single thread)
//   BM_HashChain10k            the chain hashes alone (single thread)
#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "core/audit.hpp"
#include "pq/audit.hpp"
#include "pq/audit_sink.hpp"
#include "pq/managed_audit_chain.hpp"

namespace {

using namespace ostrel_pq;

const OstrelKeyPair& keypair() {
    static const OstrelKeyPair kp = *OstrelKeyPair::generate();
    return kp;
}

ostrel_core::AuditEntry bench_entry(std::uint64_t n) {
    auto e = ostrel_core::AuditEntry::make("agent-" + std::to_string(n % 1000), "payments.refund", "permit",
                                           "permitted by policy allow-refunds");
    e.resource = "orders/" + std::to_string(n);
    e.decided_by = "policy";
    e.ip = "10.1.2.3";
    return e;
}

double rss_kib() {
    long pages = 0, resident = 0;
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    if (std::fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(f);
    return static_cast<double>(resident) * static_cast<double>(::sysconf(_SC_PAGESIZE)) / 1024.0;
}

// CPU seconds used by every thread of the process so far.
double process_cpu_s() {
    rusage ru{};
    ::getrusage(RUSAGE_SELF, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// ---- append -----------------------------------------------------------------------

void BM_AppendHybrid(benchmark::State& state) {
    static std::unique_ptr<SignedAuditChain> chain;
    if (state.thread_index() == 0) chain = std::make_unique<SignedAuditChain>(Signer::from_keypair(keypair(), true));
    std::uint64_t n = 0;
    for (auto _ : state) {
        auto r = chain->append(bench_entry(n++));
        if (!r) state.SkipWithError(r.error().display().c_str());
        // Keep memory flat: the window is dropped as it grows.
        if (state.thread_index() == 0 && (n % 512) == 0) chain->prune_before(chain->len());
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendHybrid)->Threads(1)->Threads(2)->UseRealTime()->MinTime(3.0);

// ---- bounded memory -------------------------------------------------------------------

void BM_ManagedSustained(benchmark::State& state) {
    const auto total = static_cast<std::uint64_t>(state.range(0));
    const std::string path =
        (std::filesystem::temp_directory_path() / ("ostrel-bench-audit-" + std::to_string(::getpid()) + ".jsonl"))
            .string();
    for (auto _ : state) {
        std::filesystem::remove(path);
        ManagedConfig cfg;
        cfg.max_entries = 512;
        cfg.min_retained = 128;
        ManagedAuditChain chain(Signer::from_keypair(keypair(), true), std::make_shared<FileAuditSink>(path), cfg);
        std::uint64_t max_resident = 0, max_bytes = 0;
        double rss_quarter = 0;
        for (std::uint64_t i = 0; i < total; ++i) {
            auto r = chain.append(bench_entry(i));
            if (!r) {
                state.SkipWithError(r.error().display().c_str());
                break;
            }
            const auto s = chain.stats();
            max_resident = std::max(max_resident, s.resident_entries);
            max_bytes = std::max(max_bytes, s.resident_bytes);
            if (i == total / 4) rss_quarter = rss_kib();
        }
        const ManagedStats s = chain.stats();
        state.counters["entries_appended"] = static_cast<double>(s.entries_appended);
        state.counters["entries_evicted"] = static_cast<double>(s.entries_evicted);
        state.counters["max_resident_entries"] = static_cast<double>(max_resident);
        state.counters["max_resident_KiB"] = static_cast<double>(max_bytes) / 1024.0;
        state.counters["rss_KiB_at_25pct"] = rss_quarter;
        state.counters["rss_KiB_at_end"] = rss_kib();
    }
    std::filesystem::remove(path);
}
BENCHMARK(BM_ManagedSustained)->Arg(8000)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- verification of a 10,000-entry export -----------------------------------------------

constexpr std::size_t kEntries = 10'000;

// Built once, signing on every CPU.
const std::string& export_10k() {
    static const std::string text = [] {
        SignedAuditChain chain(Signer::from_keypair(keypair(), true));
        std::vector<std::thread> workers;
        const unsigned n = std::max(1u, std::thread::hardware_concurrency());
        std::atomic<std::uint64_t> next{0};
        for (unsigned t = 0; t < n; ++t) {
            workers.emplace_back([&] {
                for (std::uint64_t i; (i = next.fetch_add(1)) < kEntries;) (void)chain.append(bench_entry(i));
            });
        }
        for (auto& w : workers) w.join();
        return *chain.export_jsonl();
    }();
    return text;
}

void BM_VerifyJsonl10k(benchmark::State& state) {
    const std::string& data = export_10k();
    const Parallelism par{static_cast<unsigned>(state.range(0))};
    const Verifier verifier = Verifier::from_bundle(keypair().public_keys(), true);
    double parse_s = 0, verify_s = 0, cpu_s = 0;
    for (auto _ : state) {
        const double c0 = process_cpu_s();
        const auto t0 = std::chrono::steady_clock::now();
        auto entries = parse_jsonl(data, par);
        const auto t1 = std::chrono::steady_clock::now();
        if (!entries) {
            state.SkipWithError(entries.error().display().c_str());
            break;
        }
        auto mode = detect_mode(*entries);
        auto ok = verify_chain(*entries, verifier, par);
        const auto t2 = std::chrono::steady_clock::now();
        if (!mode || !ok) {
            state.SkipWithError("verification failed");
            break;
        }
        cpu_s += process_cpu_s() - c0;
        parse_s += std::chrono::duration<double>(t1 - t0).count();
        verify_s += std::chrono::duration<double>(t2 - t1).count();
    }
    const double n = static_cast<double>(state.iterations());
    state.counters["parse_s"] = parse_s / n;
    state.counters["verify_s"] = verify_s / n;
    // CPU of all threads: on an idle machine the wall time approaches this
    // divided by the threads used; on a loaded one the scheduler decides.
    state.counters["all_threads_cpu_s"] = cpu_s / n;
    state.counters["MB"] = static_cast<double>(data.size()) / 1e6;
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(kEntries));
}
BENCHMARK(BM_VerifyJsonl10k)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->Repetitions(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_ParseJsonl10k(benchmark::State& state) {
    const std::string& data = export_10k();
    for (auto _ : state) {
        auto entries = parse_jsonl(data, Parallelism{1});
        benchmark::DoNotOptimize(entries);
    }
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(data.size()));
}
BENCHMARK(BM_ParseJsonl10k)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_HashChain10k(benchmark::State& state) {
    const auto entries = *parse_jsonl(export_10k());
    for (auto _ : state) {
        for (const auto& e : entries) benchmark::DoNotOptimize(compute_chain_hash(e.index, e.previous_hash, e.signed_payload));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(entries.size()));
}
BENCHMARK(BM_HashChain10k)->Iterations(5)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
