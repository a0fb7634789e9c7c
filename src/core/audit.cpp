#include "core/audit.hpp"

#include <nlohmann/json.hpp>

namespace ostrel_core {

AuditEntry AuditEntry::make(std::string principal_id, std::string action_name, std::string verdict,
                            std::string verdict_detail) {
    AuditEntry e;
    e.id = ostrel_util::Uuid::new_v4();
    e.evaluation_id = ostrel_util::Uuid::new_v4();
    e.timestamp = ostrel_util::now();
    e.principal_id = std::move(principal_id);
    e.action_name = std::move(action_name);
    e.verdict = std::move(verdict);
    e.verdict_detail = std::move(verdict_detail);
    e.session_id = ostrel_util::Uuid::new_v4();
    return e;
}

void AuditEntry::write_json(ostrel_util::JsonWriter& w) const {
    w.begin_object();
    w.field("id", id);
    w.field("evaluation_id", evaluation_id);
    w.field("timestamp", timestamp);
    w.field("principal_id", principal_id);
    w.field("action_name", action_name);
    w.opt_field("resource", resource);
    w.field("verdict", verdict);
    w.field("verdict_detail", verdict_detail);
    w.opt_field("decided_by", decided_by);
    w.field("session_id", session_id);
    w.opt_field("ip", ip);
    w.key("context_snapshot");
    if (context_snapshot)
        w.json(*context_snapshot);
    else
        w.null();
    w.end_object();
}

std::string AuditEntry::to_json() const {
    ostrel_util::JsonWriter w(256 + principal_id.size() + action_name.size() + verdict_detail.size() +
                              (resource ? resource->size() : 0) + (decided_by ? decided_by->size() : 0));
    write_json(w);
    return w.take();
}

}  // namespace ostrel_core
