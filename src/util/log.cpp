#include "util/log.hpp"

#include <charconv>
#include <cstdio>

namespace ostrel_util::log {
namespace {

// The sink itself; g_sink_installed mirrors whether it is non-null so the
// fast path needs only a relaxed load of a bool.
std::atomic<std::shared_ptr<Sink>>& sink_slot() {
    static std::atomic<std::shared_ptr<Sink>> slot;
    return slot;
}

}  // namespace

namespace detail {
std::atomic<bool> g_sink_installed{false};

void dispatch(Level level, std::string_view target, std::string_view message, std::initializer_list<Field> fields) {
    const std::shared_ptr<Sink> sink = sink_slot().load(std::memory_order_acquire);
    if (!sink) return;
    sink->log(Event{level, target, message, std::span<const Field>(fields.begin(), fields.size())});
}
}  // namespace detail

std::string_view level_name(Level level) noexcept {
    switch (level) {
        case Level::Trace: return "TRACE";
        case Level::Debug: return "DEBUG";
        case Level::Info: return "INFO";
        case Level::Warn: return "WARN";
        case Level::Error: return "ERROR";
    }
    return "?";
}

std::shared_ptr<Sink> set_sink(std::shared_ptr<Sink> sink) {
    const bool installed = sink != nullptr;
    auto previous = sink_slot().exchange(std::move(sink), std::memory_order_acq_rel);
    detail::g_sink_installed.store(installed, std::memory_order_release);
    return previous;
}

std::string field_text(const FieldValue& value) {
    struct Visitor {
        std::string operator()(std::string_view s) const { return std::string(s); }
        std::string operator()(std::int64_t n) const { return std::to_string(n); }
        std::string operator()(std::uint64_t n) const { return std::to_string(n); }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(double d) const {
            char buf[40];
            const auto r = std::to_chars(buf, buf + sizeof buf, d);
            return std::string(buf, r.ptr);
        }
    };
    return std::visit(Visitor{}, value);
}

std::optional<std::string> CapturedEvent::field(std::string_view name) const {
    for (const auto& [k, v] : fields)
        if (k == name) return v;
    return std::nullopt;
}

void CapturingSink::log(const Event& event) {
    CapturedEvent e{event.level, std::string(event.target), std::string(event.message), {}};
    e.fields.reserve(event.fields.size());
    for (const auto& f : event.fields) e.fields.emplace_back(std::string(f.name), field_text(f.value));
    std::lock_guard lock(mu_);
    events_.push_back(std::move(e));
}

std::vector<CapturedEvent> CapturingSink::events() const {
    std::lock_guard lock(mu_);
    return events_;
}

std::vector<CapturedEvent> CapturingSink::find(std::string_view message, std::string_view target) const {
    std::lock_guard lock(mu_);
    std::vector<CapturedEvent> out;
    for (const auto& e : events_)
        if (e.message == message && (target.empty() || e.target == target)) out.push_back(e);
    return out;
}

void CapturingSink::clear() {
    std::lock_guard lock(mu_);
    events_.clear();
}

void StderrSink::log(const Event& event) {
    if (event.level < min_level_) return;
    std::string line(level_name(event.level));
    line += ' ';
    line.append(event.target);
    line += ": ";
    line.append(event.message);
    for (const auto& f : event.fields) {
        line += ' ';
        line.append(f.name);
        line += '=';
        line += field_text(f.value);
    }
    line += '\n';
    std::lock_guard lock(mu_);
    std::fwrite(line.data(), 1, line.size(), stderr);
}

}  // namespace ostrel_util::log
