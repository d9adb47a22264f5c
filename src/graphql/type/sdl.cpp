// The schema as SDL, laid out as graphql-js's printSchema lays it out, so
// that graphql-js and graphql-core read it back to the same schema and
// print it to the same text.
#include <cstdio>
#include <functional>
#include <vector>

#include "graphql/type/schema.hpp"
#include "graphql/type/sdl_text.hpp"

namespace quorvel::graphql {

namespace {

bool is_block_line_break(std::string_view text, std::size_t i) { return text[i] == '\n' || text[i] == '\r'; }

// Whether the text survives a round trip as a block string: no leading or
// trailing blank line, no indentation common to every line, no control
// character below U+0010 besides tab and line breaks.
bool printable_as_block_string(std::string_view text) {
    if (text.empty()) return true;
    bool empty_line = true, has_indent = false, common_indent = true, seen_non_empty = false;
    for (const char c : text) {
        if (c == '\n') {
            if (empty_line && !seen_non_empty) return false;
            seen_non_empty = true;
            empty_line = true;
            has_indent = false;
        } else if (c == ' ' || c == '\t') {
            has_indent = has_indent || empty_line;
        } else if (static_cast<unsigned char>(c) <= 0x0f) {
            return false;
        } else {
            common_indent = common_indent && has_indent;
            empty_line = false;
        }
    }
    if (empty_line) return false;
    return !(common_indent && seen_non_empty);
}

std::size_t code_points(std::string_view text) {
    std::size_t count = 0;
    for (const char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return count;
}

std::string print_block_string(std::string_view value) {
    std::string escaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value.substr(i, 3) == "\"\"\"") {
            escaped += "\\\"\"\"";
            i += 2;
        } else {
            escaped.push_back(value[i]);
        }
    }
    std::vector<std::string_view> lines;
    std::string_view rest = escaped;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        if (!is_block_line_break(rest, i)) continue;
        lines.push_back(rest.substr(0, i));
        const std::size_t skip = rest[i] == '\r' && i + 1 < rest.size() && rest[i + 1] == '\n' ? 2 : 1;
        rest = rest.substr(i + skip);
        i = static_cast<std::size_t>(-1);
    }
    lines.push_back(rest);
    const bool single_line = lines.size() == 1;
    bool force_leading = lines.size() > 1;
    for (std::size_t i = 1; i < lines.size() && force_leading; ++i) {
        force_leading = lines[i].empty() || lines[i][0] == ' ' || lines[i][0] == '\t';
    }
    const bool trailing_triple = std::string_view(escaped).ends_with("\\\"\"\"");
    const bool force_trailing = (value.ends_with('"') && !trailing_triple) || value.ends_with('\\');
    const bool multiple_lines =
        !single_line || code_points(value) > 70 || force_trailing || force_leading || trailing_triple;
    const bool skip_leading = single_line && !value.empty() && (value[0] == ' ' || value[0] == '\t');
    std::string out = "\"\"\"";
    if ((multiple_lines && !skip_leading) || force_leading) out.push_back('\n');
    out += escaped;
    if (multiple_lines || force_trailing) out.push_back('\n');
    out += "\"\"\"";
    return out;
}

void print_arguments(const Schema& schema, Range arguments, std::string_view indentation, std::string& out);

void print_input_value(const Schema& schema, const InputValue& value, std::string& out) {
    out += value.name;
    out += ": ";
    out += schema.type_name(value.type);
    if (value.default_literal) {
        out += " = ";
        out += *value.default_literal;
    }
}

void print_deprecated(const std::optional<std::string_view>& reason, std::string& out) {
    if (!reason) return;
    if (*reason == "No longer supported") {
        out += " @deprecated";
        return;
    }
    out += " @deprecated(reason: ";
    out += print_string_literal(*reason);
    out += ")";
}

void print_arguments(const Schema& schema, Range arguments, std::string_view indentation, std::string& out) {
    if (arguments.count == 0) return;
    const auto& values = schema.input_values();
    bool described = false;
    for (std::uint32_t i = arguments.first; i < arguments.end(); ++i) described = described || !values[i].description.empty();
    if (!described) {
        out.push_back('(');
        for (std::uint32_t i = arguments.first; i < arguments.end(); ++i) {
            if (i != arguments.first) out += ", ";
            print_input_value(schema, values[i], out);
        }
        out.push_back(')');
        return;
    }
    out += "(\n";
    const std::string inner = "  " + std::string(indentation);
    for (std::uint32_t i = arguments.first; i < arguments.end(); ++i) {
        print_description(values[i].description, inner, i == arguments.first, out);
        out += inner;
        print_input_value(schema, values[i], out);
        out.push_back('\n');
    }
    out += indentation;
    out.push_back(')');
}

// Which fields of a type are printed.
using FieldFilter = std::function<bool(const Field&)>;

void print_type(const Schema& schema, const Type& type, std::string& out, const FieldFilter& keep) {
    print_description(type.description, "", true, out);
    switch (type.kind) {
        case TypeKind::scalar:
            out += "scalar ";
            out += type.name;
            if (!type.specified_by_url.empty()) {
                out += " @specifiedBy(url: " + print_string_literal(type.specified_by_url) + ")";
            }
            return;
        case TypeKind::enum_type: {
            out += "enum ";
            out += type.name;
            out += " {\n";
            for (std::uint32_t i = type.enum_values.first; i < type.enum_values.end(); ++i) {
                const EnumValue& value = schema.enum_values()[i];
                print_description(value.description, "  ", i == type.enum_values.first, out);
                out += "  ";
                out += value.name;
                print_deprecated(value.deprecation_reason, out);
                out.push_back('\n');
            }
            out.push_back('}');
            return;
        }
        case TypeKind::input_object: {
            out += "input ";
            out += type.name;
            if (type.input_fields.count == 0) return;
            out += " {\n";
            for (std::uint32_t i = type.input_fields.first; i < type.input_fields.end(); ++i) {
                const InputValue& value = schema.input_values()[i];
                print_description(value.description, "  ", i == type.input_fields.first, out);
                out += "  ";
                print_input_value(schema, value, out);
                out.push_back('\n');
            }
            out.push_back('}');
            return;
        }
        default: {
            out += "type ";
            out += type.name;
            bool first = true;
            for (std::uint32_t i = type.fields.first; i < type.fields.end(); ++i) {
                const Field& field = schema.fields()[i];
                if (keep && !keep(field)) continue;
                out += first ? " {\n" : "";
                print_description(field.description, "  ", first, out);
                first = false;
                out += "  ";
                out += field.name;
                print_arguments(schema, field.arguments, "  ", out);
                out += ": ";
                out += schema.type_name(field.type);
                print_deprecated(field.deprecation_reason, out);
                out.push_back('\n');
            }
            if (!first) out.push_back('}');
            return;
        }
    }
}

// Marks the named types a type refers to through fields, arguments and
// input fields.
void mark_reachable(const Schema& schema, TypeId id, std::vector<bool>& marked) {
    id = schema.named_type(id);
    if (marked[id]) return;
    marked[id] = true;
    const Type& type = schema.type(id);
    for (std::uint32_t i = type.fields.first; i < type.fields.end(); ++i) {
        const Field& field = schema.fields()[i];
        mark_reachable(schema, field.type, marked);
        for (std::uint32_t a = field.arguments.first; a < field.arguments.end(); ++a) {
            mark_reachable(schema, schema.input_values()[a].type, marked);
        }
    }
    for (std::uint32_t i = type.input_fields.first; i < type.input_fields.end(); ++i) {
        mark_reachable(schema, schema.input_values()[i].type, marked);
    }
}

bool is_built_in(const Schema& schema, TypeId id) {
    const Type& type = schema.type(id);
    return type.name.empty() || type.name.starts_with("__") || id == schema.string_type() ||
           id == schema.int_type() || id == schema.float_type() || id == schema.boolean_type() ||
           id == schema.id_type();
}

}  // namespace

std::string print_string_literal(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // U+007F..U+009F: DEL, then the C1 controls, two bytes in UTF-8.
        const bool c1 = c == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (c == '"') {
            out += "\\\"";
        } else if (c == '\\') {
            out += "\\\\";
        } else if (c == '\b') {
            out += "\\b";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\f') {
            out += "\\f";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F || c1) {
            char escape[8];
            const unsigned code = c1 ? static_cast<unsigned char>(text[++i]) : c;
            std::snprintf(escape, sizeof escape, "\\u%04X", code);
            out += escape;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    out.push_back('"');
    return out;
}

void print_description(std::string_view text, std::string_view indentation, bool first_in_block, std::string& out) {
    if (text.empty()) return;
    const std::string printed = printable_as_block_string(text) ? print_block_string(text) : print_string_literal(text);
    if (!indentation.empty() && !first_in_block) out.push_back('\n');
    out += indentation;
    for (const char c : printed) {
        out.push_back(c);
        if (c == '\n') out += indentation;
    }
    out.push_back('\n');
}

std::string Schema::sdl() const {
    std::string out;
    for (TypeId id = 0; id < types_.size(); ++id) {
        if (is_built_in(*this, id)) continue;
        if (!out.empty()) out += "\n\n";
        print_type(*this, types_[id], out, nullptr);
    }
    return out;
}

std::string Schema::sdl(const std::vector<std::string_view>& tool_fields) const {
    auto keep = [&](const Field& field) {
        if (field.source != FieldSource::tool) return true;
        for (std::string_view name : tool_fields) {
            if (name == field.name) return true;
        }
        return false;
    };
    std::vector<bool> marked(types_.size(), false);
    bool mutations = false;
    for (TypeId root : {query_type_, mutation_type_}) {
        if (root == no_type) continue;
        const Type& type = types_[root];
        for (std::uint32_t i = type.fields.first; i < type.fields.end(); ++i) {
            const Field& field = fields_[i];
            if (!keep(field)) continue;
            mutations = mutations || root == mutation_type_;
            mark_reachable(*this, field.type, marked);
            for (std::uint32_t a = field.arguments.first; a < field.arguments.end(); ++a) {
                mark_reachable(*this, input_values_[a].type, marked);
            }
        }
    }
    marked[query_type_] = true;
    if (mutations) marked[mutation_type_] = true;
    std::string out;
    for (TypeId id = 0; id < types_.size(); ++id) {
        if (!marked[id] || is_built_in(*this, id)) continue;
        if (!out.empty()) out += "\n\n";
        print_type(*this, types_[id], out, keep);
    }
    return out;
}

}  // namespace quorvel::graphql
