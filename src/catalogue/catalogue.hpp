// Reading catalogue JSON into tool records, the index from field names to
// tools, and the views that the engine answers from the records alone.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "json/json.hpp"

namespace quorvel {

// One tool. Its texts are views of the owning ToolCatalogue's text pool.
struct ToolMetadata {
    std::string_view server_id;
    std::string_view tool_name;
    std::string_view description;
    std::string_view field_name;
    std::optional<std::string_view> server_description;
    bool read_only = true;
};

// Field name -> the first tool bound to it, in an open-addressing table, so
// a lookup costs the same whatever the size of the catalogue.
class FieldIndex {
public:
    FieldIndex() = default;
    explicit FieldIndex(const std::vector<ToolMetadata>& tools);
    const ToolMetadata* find(std::string_view field_name) const;

private:
    static constexpr std::uint32_t empty_slot = UINT32_MAX;
    std::vector<std::uint32_t> slots_;  // tool positions; size a power of two
    const ToolMetadata* tools_ = nullptr;  // the records' storage, which a move leaves in place
};

// Every tool of a catalogue, in catalogue order, with the text its records
// view. Move-only, since the records and the index point into it.
class ToolCatalogue {
public:
    ToolCatalogue() = default;
    ToolCatalogue(ToolCatalogue&&) = default;
    ToolCatalogue& operator=(ToolCatalogue&&) = default;
    ToolCatalogue(const ToolCatalogue&) = delete;
    ToolCatalogue& operator=(const ToolCatalogue&) = delete;

    // Walks a read catalogue depth first. Never fails: whatever it cannot
    // use is skipped.
    static ToolCatalogue from_json(json::Ref catalogue);

    const std::vector<ToolMetadata>& tools() const { return tools_; }
    std::size_t size() const { return tools_.size(); }
    const ToolMetadata* find(std::string_view field_name) const { return index_.find(field_name); }

private:
    std::unique_ptr<std::string> text_;  // held by pointer so moves keep the views valid
    std::vector<ToolMetadata> tools_;
    FieldIndex index_;
};

// The tools of a catalogue text, or "invalid catalogue JSON: ..." when it is
// not JSON.
Result<ToolCatalogue> read_catalogue(std::string_view text);

// Views (never fail), written as compact JSON text.
std::string server_summaries(const std::vector<ToolMetadata>& tools);
std::string search_hits(const std::vector<ToolMetadata>& tools);
std::string describe(const ToolCatalogue& catalogue);

// The text of the `servers` and `search` views, written on first use and
// then shared by every request (and every alias within one).
class CatalogueViews {
public:
    const std::string& servers(const ToolCatalogue& catalogue);
    const std::string& search(const ToolCatalogue& catalogue);

private:
    std::once_flag servers_once_;
    std::once_flag search_once_;
    std::string servers_;
    std::string search_;
};

}  // namespace quorvel
