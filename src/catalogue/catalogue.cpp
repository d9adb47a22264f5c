#include "catalogue/catalogue.hpp"

#include <array>
#include <bit>
#include <functional>
#include <map>

#include "common/graphql_name.hpp"
#include "common/unicode.hpp"

namespace quorvel {
namespace {

// The member names the catalogue walk looks at. One pass over an object's
// members files each under its name, the last of repeated names winning,
// so the precedence rules below never scan the object again.
enum Key : std::uint8_t {
    server, server_id, serverId, server_name, serverDescription, server_description, tools, name, tool, tool_name,
    toolName, description, readOnly, read_only, readOnlyHint, annotations, key_count
};

constexpr std::array<std::string_view, key_count> key_names = {
    "server", "server_id", "serverId", "server_name", "serverDescription", "server_description", "tools", "name",
    "tool", "tool_name", "toolName", "description", "readOnly", "read_only", "readOnlyHint", "annotations"};

struct KnownMembers {
    std::array<json::Ref, key_count> values{};

    explicit KnownMembers(json::Ref object) {
        object.for_each_member([&](std::string_view key, json::Ref value) {
            for (std::size_t k = 0; k < key_count; ++k) {
                if (key_names[k] == key) {
                    values[k] = value;
                    return;
                }
            }
        });
    }
    json::Ref operator[](Key key) const { return values[key]; }
};

std::optional<std::string_view> non_blank(json::Ref value) {
    if (!value || !value.is_string()) return std::nullopt;
    std::string_view trimmed = unicode::trim(value.string());
    if (trimmed.empty()) return std::nullopt;
    return trimmed;
}

// The first of `keys` whose value is a non-blank string (or an object whose
// "value" member is one), trimmed.
std::optional<std::string_view> string_field(const KnownMembers& members, std::initializer_list<Key> keys) {
    for (Key key : keys) {
        json::Ref value = members[key];
        if (!value) continue;
        if (auto text = non_blank(value)) return text;
        if (value.is_object()) {
            if (auto text = non_blank(value.find("value"))) return text;
        }
    }
    return std::nullopt;
}

// readOnly, read_only, readOnlyHint, then annotations.readOnlyHint: the
// first that is a JSON boolean decides; a tool is read-only by default.
bool read_only_flag(const KnownMembers& members) {
    for (Key key : {readOnly, read_only, readOnlyHint}) {
        if (json::Ref flag = members[key]; flag && flag.is_boolean()) return flag.boolean();
    }
    if (json::Ref notes = members[annotations]; notes && notes.is_object()) {
        if (json::Ref hint = notes.find("readOnlyHint"); hint && hint.is_boolean()) return hint.boolean();
    }
    return true;
}

// First pass: records whose texts still view the catalogue document.
class CatalogueWalk {
public:
    std::vector<ToolMetadata> tools;
    std::size_t text_bytes = 0;  // an upper bound of what the records need copied

    void collect_tool_metadata(json::Ref value, std::optional<std::string_view> server_id,
                 std::optional<std::string_view> server_description) {
        if (value.is_array()) {
            value.for_each_element(
                [&](json::Ref element) { collect_tool_metadata(element, server_id, server_description); });
            return;
        }
        if (!value.is_object()) return;
        KnownMembers members(value);
        auto own_server = string_field(members, {server, Key::server_id, serverId, server_name});
        if (own_server) server_id = own_server;
        auto own_description = string_field(members, {serverDescription, Key::server_description});
        if (own_description) server_description = own_description;

        if (json::Ref listed = members[Key::tools]; listed && listed.is_array()) {
            listed.for_each_element(
                [&](json::Ref entry) { collect_tool_metadata(entry, server_id, server_description); });
            return;
        }
        if (!server_id) return;
        auto name_of_tool = string_field(members, {name, tool, Key::tool_name, toolName});
        if (!name_of_tool) return;
        ToolMetadata record;
        record.server_id = *server_id;
        record.tool_name = *name_of_tool;
        record.description = string_field(members, {description}).value_or("");
        record.server_description = server_description;
        record.read_only = read_only_flag(members);
        text_bytes += record.server_id.size() * 2 + record.tool_name.size() * 2 + record.description.size() + 3 +
                      (server_description ? server_description->size() : 0);
        tools.push_back(record);
    }
};

// Second pass: copies the texts into one pool and builds field names there.
// A server's id and description are shared by its tools, so a text that is
// the same view as the previous record's is copied once.
class TextPool {
public:
    explicit TextPool(std::string& text) : text_(text) {}

    std::string_view copy(std::string_view text, std::string_view& last_source, std::string_view& last_copy) {
        if (text.data() == last_source.data() && text.size() == last_source.size()) return last_copy;
        last_source = text;
        last_copy = append(text);
        return last_copy;
    }
    std::string_view append(std::string_view text) {
        std::size_t start = text_.size();
        text_.append(text);
        return view_from(start);
    }
    std::string_view field_name(std::string_view server, std::string_view tool) {
        std::size_t start = text_.size();
        append_graphql_name(server, text_);
        text_.push_back('_');
        append_graphql_name(tool, text_);
        return view_from(start);
    }

private:
    // Valid for good: the pool was reserved for every byte up front.
    std::string_view view_from(std::size_t start) const { return {text_.data() + start, text_.size() - start}; }
    std::string& text_;
};

std::uint64_t hash_of(std::string_view text) { return std::hash<std::string_view>{}(text); }

}  // namespace

// ---- FieldIndex --------------------------------------------------------------

FieldIndex::FieldIndex(const std::vector<ToolMetadata>& tools) : tools_(tools.data()) {
    slots_.assign(std::bit_ceil(tools.size() * 2 + 1), empty_slot);
    const std::size_t mask = slots_.size() - 1;
    for (std::uint32_t position = 0; position < tools.size(); ++position) {
        std::string_view name = tools[position].field_name;
        for (std::size_t slot = hash_of(name) & mask;; slot = (slot + 1) & mask) {
            if (slots_[slot] == empty_slot) {
                slots_[slot] = position;
                break;
            }
            // The first tool bound to a name keeps it.
            if (tools[slots_[slot]].field_name == name) break;
        }
    }
}

const ToolMetadata* FieldIndex::find(std::string_view field_name) const {
    if (slots_.empty()) return nullptr;
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t slot = hash_of(field_name) & mask; slots_[slot] != empty_slot; slot = (slot + 1) & mask) {
        const ToolMetadata& tool = tools_[slots_[slot]];
        if (tool.field_name == field_name) return &tool;
    }
    return nullptr;
}

// ---- ToolCatalogue -----------------------------------------------------------

ToolCatalogue ToolCatalogue::from_json(json::Ref catalogue) {
    CatalogueWalk walk;
    walk.collect_tool_metadata(catalogue, std::nullopt, std::nullopt);

    ToolCatalogue result;
    result.text_ = std::make_unique<std::string>();
    result.text_->reserve(walk.text_bytes);
    TextPool pool(*result.text_);
    std::string_view server_source, server_copy, description_source, description_copy;
    for (ToolMetadata& tool : walk.tools) {
        std::string_view server_text = tool.server_id;
        tool.field_name = pool.field_name(server_text, tool.tool_name);
        tool.server_id = pool.copy(server_text, server_source, server_copy);
        tool.tool_name = pool.append(tool.tool_name);
        tool.description = pool.append(tool.description);
        if (tool.server_description) {
            tool.server_description = pool.copy(*tool.server_description, description_source, description_copy);
        }
    }
    result.tools_ = std::move(walk.tools);
    result.index_ = FieldIndex(result.tools_);
    return result;
}

Result<ToolCatalogue> read_catalogue(std::string_view text) {
    Result<json::Document> catalogue = json::read(text);
    if (!catalogue) return fail("invalid catalogue JSON: " + catalogue.message());
    return ToolCatalogue::from_json(catalogue.value().root());
}

// ---- views -------------------------------------------------------------------

std::string server_summaries(const std::vector<ToolMetadata>& tools) {
    struct ServerSummary {
        const std::optional<std::string_view>* server_description = nullptr;
        std::uint64_t tool_count = 0;
        std::uint64_t read_only_count = 0;
    };
    std::map<std::string_view, ServerSummary> by_server;
    for (const ToolMetadata& tool : tools) {
        ServerSummary& summary = by_server[tool.server_id];
        ++summary.tool_count;
        if (tool.read_only) ++summary.read_only_count;
        if (summary.server_description == nullptr || !summary.server_description->has_value()) {
            summary.server_description = &tool.server_description;
        }
    }
    std::string text = "[";
    for (const auto& [id, summary] : by_server) {
        if (text.size() > 1) text.push_back(',');
        text += "{\"description\":";
        json::write_string(summary.server_description->value_or(""), text);
        text += ",\"name\":";
        json::write_string(id, text);
        text += ",\"readOnlyCount\":";
        json::write_uint64(summary.read_only_count, text);
        text += ",\"toolCount\":";
        json::write_uint64(summary.tool_count, text);
        text.push_back('}');
    }
    text.push_back(']');
    return text;
}

std::string search_hits(const std::vector<ToolMetadata>& tools) {
    std::string text = "[";
    for (const ToolMetadata& tool : tools) {
        if (text.size() > 1) text.push_back(',');
        text += "{\"description\":";
        json::write_string(tool.description, text);
        text += ",\"field\":";
        json::write_string(tool.field_name, text);
        text += tool.read_only ? ",\"readOnly\":true,\"server\":" : ",\"readOnly\":false,\"server\":";
        json::write_string(tool.server_id, text);
        text += ",\"tool\":";
        json::write_string(tool.tool_name, text);
        text.push_back('}');
    }
    text.push_back(']');
    return text;
}

std::string describe(const ToolCatalogue& catalogue) {
    return "quorvel GraphQL schema engine stub (" + std::to_string(catalogue.size()) + " tool fields)";
}

const std::string& CatalogueViews::servers(const ToolCatalogue& catalogue) {
    std::call_once(servers_once_, [&] { servers_ = server_summaries(catalogue.tools()); });
    return servers_;
}

const std::string& CatalogueViews::search(const ToolCatalogue& catalogue) {
    std::call_once(search_once_, [&] { search_ = search_hits(catalogue.tools()); });
    return search_;
}

}  // namespace quorvel
