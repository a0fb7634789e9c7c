// Structured logging facade.
//
// An event has a level, a target naming the emitting module (for example
// "ostrel_core::gate"), a message and named fields. Nothing is installed by
// default: with no sink, `OSTREL_LOG` costs one relaxed atomic load and
// evaluates none of its field expressions. The host installs one
// process-wide sink with `set_sink`; tests install a `CapturingSink`.
//
//   OSTREL_LOG(Level::Warn, "ostrel_core::gate", "action refused",
//              {"evaluator", name}, {"reason", reason.to_string()});
#pragma once

#include <atomic>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace ostrel_util::log {

enum class Level : std::uint8_t { Trace, Debug, Info, Warn, Error };

// "TRACE", "DEBUG", "INFO", "WARN", "ERROR".
std::string_view level_name(Level level) noexcept;

// A field value as passed at the call site. Strings are borrowed for the
// duration of the call (temporaries built in the macro's argument list live
// long enough).
using FieldValue = std::variant<std::string_view, std::int64_t, std::uint64_t, double, bool>;

struct Field {
    std::string_view name;
    FieldValue value;

    Field(std::string_view n, std::string_view v) : name(n), value(v) {}
    Field(std::string_view n, const std::string& v) : name(n), value(std::string_view(v)) {}
    Field(std::string_view n, const char* v) : name(n), value(std::string_view(v)) {}
    Field(std::string_view n, bool v) : name(n), value(v) {}
    Field(std::string_view n, double v) : name(n), value(v) {}
    Field(std::string_view n, float v) : name(n), value(static_cast<double>(v)) {}
    Field(std::string_view n, int v) : name(n), value(static_cast<std::int64_t>(v)) {}
    Field(std::string_view n, long v) : name(n), value(static_cast<std::int64_t>(v)) {}
    Field(std::string_view n, long long v) : name(n), value(static_cast<std::int64_t>(v)) {}
    Field(std::string_view n, unsigned v) : name(n), value(static_cast<std::uint64_t>(v)) {}
    Field(std::string_view n, unsigned long v) : name(n), value(static_cast<std::uint64_t>(v)) {}
    Field(std::string_view n, unsigned long long v) : name(n), value(static_cast<std::uint64_t>(v)) {}
};

// A field value rendered as text: strings as themselves, integers in
// decimal, doubles in shortest round-trip form, booleans as true/false.
std::string field_text(const FieldValue& value);

// One event as a sink sees it (borrowed views, valid during `Sink::log`).
struct Event {
    Level level;
    std::string_view target;
    std::string_view message;
    std::span<const Field> fields;
};

class Sink {
public:
    virtual ~Sink() = default;
    // Called from any thread, possibly concurrently.
    virtual void log(const Event& event) = 0;
};

namespace detail {
extern std::atomic<bool> g_sink_installed;
void dispatch(Level level, std::string_view target, std::string_view message,
              std::initializer_list<Field> fields);
}  // namespace detail

// Installs (or with nullptr removes) the process-wide sink; returns the
// previous one. Events already being delivered finish on the old sink.
std::shared_ptr<Sink> set_sink(std::shared_ptr<Sink> sink);

inline bool enabled() noexcept { return detail::g_sink_installed.load(std::memory_order_relaxed); }

inline void emit(Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields = {}) {
    if (enabled()) detail::dispatch(level, target, message, fields);
}

// An owned copy of an event, fields rendered as text.
struct CapturedEvent {
    Level level;
    std::string target;
    std::string message;
    std::vector<std::pair<std::string, std::string>> fields;

    // The text of the named field, or nullopt.
    std::optional<std::string> field(std::string_view name) const;
    bool has_field(std::string_view name) const { return field(name).has_value(); }
};

// Keeps every event it receives (for tests and diagnostics).
class CapturingSink final : public Sink {
public:
    void log(const Event& event) override;
    std::vector<CapturedEvent> events() const;
    // Events with this message (and target, when given), in arrival order.
    std::vector<CapturedEvent> find(std::string_view message, std::string_view target = {}) const;
    std::size_t count(std::string_view message) const { return find(message).size(); }
    void clear();

private:
    mutable std::mutex mu_;
    std::vector<CapturedEvent> events_;
};

// Writes one line per event at or above `min_level` to standard error:
// "LEVEL target: message field=value ...".
class StderrSink final : public Sink {
public:
    explicit StderrSink(Level min_level = Level::Info) : min_level_(min_level) {}
    void log(const Event& event) override;

private:
    Level min_level_;
    std::mutex mu_;
};

// Installs a sink for the lifetime of the guard, restoring the previous one.
class ScopedSink {
public:
    explicit ScopedSink(std::shared_ptr<Sink> sink) : previous_(set_sink(std::move(sink))) {}
    ~ScopedSink() { set_sink(std::move(previous_)); }
    ScopedSink(const ScopedSink&) = delete;
    ScopedSink& operator=(const ScopedSink&) = delete;

private:
    std::shared_ptr<Sink> previous_;
};

}  // namespace ostrel_util::log

// Emits an event when a sink is installed; field expressions are evaluated
// only then. Fields are brace pairs: {"name", value}.
#define OSTREL_LOG(level, target, message, ...)                                              \
    do {                                                                                     \
        if (::ostrel_util::log::enabled())                                                   \
            ::ostrel_util::log::detail::dispatch((level), (target), (message), {__VA_ARGS__}); \
    } while (0)
