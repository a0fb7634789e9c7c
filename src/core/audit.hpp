// AuditEntry: the record of one gate decision, and its compact JSON form.
//
// The JSON form is the exact byte string the signed audit chain signs, so it
// is fixed: one object with the twelve keys
//
//   id, evaluation_id, timestamp, principal_id, action_name, resource,
//   verdict, verdict_detail, decided_by, session_id, ip, context_snapshot
//
// in this order, no whitespace, absent optional members written as null
// (never omitted), UUIDs as 36 lower-case hyphenated characters, the
// timestamp as RFC 3339 UTC text ending in "Z" with no fraction or exactly
// 3, 6 or 9 digits (the shortest exact one), strings escaped only where JSON
// requires it (quotation mark, backslash, control characters) and otherwise
// written as UTF-8. There is no reader: entries are only ever serialised.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "util/json.hpp"
#include "util/time.hpp"
#include "util/uuid.hpp"

namespace ostrel_core {

struct AuditEntry {
    ostrel_util::Uuid id;
    ostrel_util::Uuid evaluation_id;
    ostrel_util::Timestamp timestamp;
    std::string principal_id;
    std::string action_name;
    std::optional<std::string> resource;
    // "permit", "refuse" or "invalidate"; the Python constructor enforces it.
    std::string verdict;
    std::string verdict_detail;
    std::optional<std::string> decided_by;
    ostrel_util::Uuid session_id;
    std::optional<std::string> ip;
    // Reserved for a copy of the evaluated context. Entries made by this
    // system leave it empty; shared so that copying an entry stays cheap.
    std::shared_ptr<const nlohmann::json> context_snapshot;

    // An entry with a fresh random id, evaluation id and session id, the
    // current UTC time and every optional member absent.
    static AuditEntry make(std::string principal_id, std::string action_name, std::string verdict,
                           std::string verdict_detail);

    // Appends the compact JSON form to `w`.
    void write_json(ostrel_util::JsonWriter& w) const;
    // The compact JSON form. Cannot fail: the writer replaces invalid UTF-8
    // by U+FFFD, so every entry has a JSON form.
    std::string to_json() const;
};

}  // namespace ostrel_core
