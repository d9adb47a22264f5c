#include "graphql/validation/context.hpp"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

namespace quorvel::graphql::validation {

bool InputType::known(const Schema& schema) const { return named(schema) != no_type; }

bool InputType::is_non_null(const Schema& schema) const {
    if (written) return written->kind == TypeRefKind::non_null;
    return id != no_type && schema.type(id).kind == TypeKind::non_null;
}

bool InputType::is_list(const Schema& schema) const {
    if (written) return written->kind == TypeRefKind::list;
    return id != no_type && schema.type(id).kind == TypeKind::list;
}

InputType InputType::of_type(const Schema& schema) const {
    if (written) return InputType{no_type, written->of_type};
    if (id == no_type) return {};
    return InputType{schema.type(id).of_type, nullptr};
}

TypeId InputType::named(const Schema& schema) const {
    if (written) {
        const TypeRef* type = written;
        while (type->kind != TypeRefKind::named) type = type->of_type;
        return schema.find_type(type->name);
    }
    return id == no_type ? no_type : schema.named_type(id);
}

std::string InputType::print(const Schema& schema) const {
    if (written) return print_type_ref(*written);
    return id == no_type ? std::string() : schema.type_name(id);
}

std::vector<const InputValue*> defined_arguments(const Schema& schema, const Field* field, const Directive* directive) {
    std::vector<const InputValue*> out;
    if (field && field->source == FieldSource::type_meta) {
        if (const InputValue* name = schema.find_argument(*field, "name")) out.push_back(name);
        return out;
    }
    const Range range = field ? field->arguments : directive->arguments;
    for (std::uint32_t i = range.first; i < range.end(); ++i) out.push_back(&schema.input_values()[i]);
    return out;
}

std::string print_type_ref(const TypeRef& type) {
    switch (type.kind) {
        case TypeRefKind::named: return std::string(type.name);
        case TypeRefKind::list: return "[" + print_type_ref(*type.of_type) + "]";
        case TypeRefKind::non_null: return print_type_ref(*type.of_type) + "!";
    }
    return {};
}

namespace {

void print_string(std::string_view text, std::string& out) {
    out.push_back('"');
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const unsigned char byte = static_cast<unsigned char>(c);
        // The C1 controls U+0080..U+009F, escaped as graphql-js's printString
        // escapes them: UTF-8 writes them as 0xC2 then the code's own byte.
        if (byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) <= 0x9F &&
            static_cast<unsigned char>(text[i + 1]) >= 0x80) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned char>(text[++i]));
            out += buffer;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\t': out += "\\t"; break;
            case '\n': out += "\\n"; break;
            case '\f': out += "\\f"; break;
            case '\r': out += "\\r"; break;
            default:
                if (byte < 0x20 || byte == 0x7F) {
                    char buffer[8];
                    std::snprintf(buffer, sizeof buffer, "\\u%04X", byte);
                    out += buffer;
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
}

bool is_white_space(char c) { return c == ' ' || c == '\t'; }

// graphql-js's printBlockString: the value between triple quotes, on lines
// of its own when it spans lines or its ends would read ambiguously.
void print_block_string(std::string_view value, std::string& out) {
    std::string escaped;
    for (std::size_t i = 0; i < value.size(); ++i) {
        if (value.substr(i, 3) == "\"\"\"") {
            escaped += "\\\"\"\"";
            i += 2;
        } else {
            escaped += value[i];
        }
    }
    std::vector<std::string_view> lines;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= value.size(); ++i) {
        if (i == value.size() || value[i] == '\n' || value[i] == '\r') {
            lines.push_back(value.substr(start, i - start));
            if (i < value.size() && value[i] == '\r' && i + 1 < value.size() && value[i + 1] == '\n') ++i;
            start = i + 1;
        }
    }
    const bool single_line = lines.size() == 1;
    bool force_leading = lines.size() > 1;
    for (std::size_t i = 1; i < lines.size() && force_leading; ++i) {
        force_leading = lines[i].empty() || is_white_space(lines[i][0]);
    }
    const bool trailing_triple = escaped.ends_with("\\\"\"\"");
    const bool force_trailing = (value.ends_with('"') && !trailing_triple) || value.ends_with('\\');
    const bool multiple_lines = !single_line || value.size() > 70 || force_trailing || force_leading || trailing_triple;
    const bool skip_leading = single_line && !value.empty() && is_white_space(value[0]);
    out += "\"\"\"";
    if ((multiple_lines && !skip_leading) || force_leading) out += '\n';
    out += escaped;
    if (multiple_lines || force_trailing) out += '\n';
    out += "\"\"\"";
}

void print_value_to(const Value& value, std::string& out, bool sorted) {
    switch (value.kind) {
        case ValueKind::variable: out += '$'; out += value.text; return;
        case ValueKind::int_value:
        case ValueKind::float_value:
        case ValueKind::enum_value: out += value.text; return;
        case ValueKind::string:
            if (value.block && !sorted) {
                print_block_string(value.text, out);
            } else {
                print_string(value.text, out);
            }
            return;
        case ValueKind::boolean: out += value.boolean ? "true" : "false"; return;
        case ValueKind::null: out += "null"; return;
        case ValueKind::list:
            out += '[';
            for (std::size_t i = 0; i < value.list.size(); ++i) {
                if (i) out += ", ";
                print_value_to(value.list[i], out, sorted);
            }
            out += ']';
            return;
        case ValueKind::object: {
            std::vector<const ObjectField*> fields;
            for (const ObjectField& field : value.fields) fields.push_back(&field);
            if (sorted) {
                std::stable_sort(fields.begin(), fields.end(),
                                 [](const ObjectField* a, const ObjectField* b) { return a->name < b->name; });
            }
            // graphql-js 17 pads a non-empty object's braces: `{ a: 1 }`.
            out += fields.empty() ? "{" : "{ ";
            for (std::size_t i = 0; i < fields.size(); ++i) {
                if (i) out += ", ";
                out += fields[i]->name;
                out += ": ";
                print_value_to(fields[i]->value, out, sorted);
            }
            out += fields.empty() ? "}" : " }";
            return;
        }
    }
}

}  // namespace

std::string print_value(const Value& value) {
    std::string out;
    print_value_to(value, out, false);
    return out;
}

bool same_value(const Value& a, const Value& b) {
    if (a.kind != b.kind) return false;
    switch (a.kind) {
        case ValueKind::boolean: return a.boolean == b.boolean;
        case ValueKind::null: return true;
        case ValueKind::list:
        case ValueKind::object: {
            std::string printed_a;
            std::string printed_b;
            print_value_to(a, printed_a, true);
            print_value_to(b, printed_b, true);
            return printed_a == printed_b;
        }
        default: return a.text == b.text;
    }
}

std::string value_key(const Value& value) {
    std::string out(1, static_cast<char>('a' + static_cast<int>(value.kind)));
    print_value_to(value, out, true);
    return out;
}

std::string_view place_name(DirectivePlace place) {
    switch (place) {
        case DirectivePlace::query: return "QUERY";
        case DirectivePlace::mutation: return "MUTATION";
        case DirectivePlace::subscription: return "SUBSCRIPTION";
        case DirectivePlace::field: return "FIELD";
        case DirectivePlace::fragment_definition: return "FRAGMENT_DEFINITION";
        case DirectivePlace::fragment_spread: return "FRAGMENT_SPREAD";
        case DirectivePlace::inline_fragment: return "INLINE_FRAGMENT";
        case DirectivePlace::variable_definition: return "VARIABLE_DEFINITION";
    }
    return "";
}

void ValidationContext::report(std::string message, std::vector<Location> locations, ErrorCode code) {
    if (full()) return;
    errors_.push_back(GraphqlError{std::move(message), std::move(locations), code});
    if (full()) {
        errors_.push_back(GraphqlError{"Too many validation errors, error limit reached. Validation aborted.", {},
                                       ErrorCode::validation_failed});
    }
}

std::vector<const Selection*> ValidationContext::fragment_spreads(const NodeList<Selection>& selection_set) const {
    std::vector<const Selection*> spreads;
    std::vector<const NodeList<Selection>*> to_visit{&selection_set};
    while (!to_visit.empty()) {
        const NodeList<Selection>* set = to_visit.back();
        to_visit.pop_back();
        for (const Selection& selection : *set) {
            if (selection.kind == SelectionKind::fragment_spread) {
                spreads.push_back(&selection);
            } else if (!selection.selection_set.empty()) {
                to_visit.push_back(&selection.selection_set);
            }
        }
    }
    return spreads;
}

const std::vector<const FragmentDefinition*>& ValidationContext::referenced_fragments(
    const OperationDefinition& operation) const {
    const auto [known, fresh] = referenced_.try_emplace(&operation);
    if (!fresh) return known->second;
    std::vector<const FragmentDefinition*>& fragments = known->second;
    std::unordered_set<std::string_view> collected;
    // graphql-js's order: each definition's spreads in turn, the last
    // fragment found visited first.
    const std::vector<const Selection*> own = fragment_spreads(operation.selection_set);
    std::vector<const std::vector<const Selection*>*> to_visit{&own};
    while (!to_visit.empty()) {
        const std::vector<const Selection*>* spreads = to_visit.back();
        to_visit.pop_back();
        for (const Selection* spread : *spreads) {
            if (!collected.insert(spread->name).second) continue;
            const FragmentDefinition* fragment = document_.find_fragment(spread->name);
            if (!fragment) continue;
            fragments.push_back(fragment);
            auto [inner, first] = spreads_of_.try_emplace(fragment);
            if (first) inner->second = fragment_spreads(fragment->selection_set);
            to_visit.push_back(&inner->second);
        }
    }
    return fragments;
}

std::vector<VariableUsage> ValidationContext::recursive_variable_usages(const OperationDefinition& operation) const {
    std::vector<VariableUsage> usages;
    auto append = [&](const void* definition) {
        const auto found = usages_.find(definition);
        if (found != usages_.end()) usages.insert(usages.end(), found->second.begin(), found->second.end());
    };
    append(&operation);
    for (const FragmentDefinition* fragment : referenced_fragments(operation)) append(fragment);
    return usages;
}

void OperationRule::leave_document() {
    for (const OperationDefinition& operation : context_.document().operations) check(operation);
}

}  // namespace quorvel::graphql::validation
