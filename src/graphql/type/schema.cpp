#include "graphql/type/schema.hpp"

#include <array>
#include <functional>

namespace quorvel::graphql {

Schema::Schema() = default;
Schema::Schema(Schema&&) noexcept = default;
Schema& Schema::operator=(Schema&&) noexcept = default;
Schema::~Schema() = default;

std::size_t Schema::FieldKeyHash::operator()(const FieldKey& key) const noexcept {
    return std::hash<std::string_view>{}(key.name) * 31 + key.type;
}

std::string_view directive_location_name(std::uint32_t bit) {
    static constexpr std::array<std::string_view, directive_location_count> names = {
        "QUERY", "MUTATION", "SUBSCRIPTION", "FIELD", "FRAGMENT_DEFINITION", "FRAGMENT_SPREAD",
        "INLINE_FRAGMENT", "VARIABLE_DEFINITION", "SCHEMA", "SCALAR", "OBJECT", "FIELD_DEFINITION",
        "ARGUMENT_DEFINITION", "INTERFACE", "UNION", "ENUM", "ENUM_VALUE", "INPUT_OBJECT",
        "INPUT_FIELD_DEFINITION"};
    return bit < names.size() ? names[bit] : std::string_view();
}

TypeId Schema::find_type(std::string_view name) const {
    auto found = types_by_name_.find(name);
    return found == types_by_name_.end() ? no_type : found->second;
}

TypeId Schema::named_type(TypeId id) const {
    while (id != no_type && types_[id].of_type != no_type) id = types_[id].of_type;
    return id;
}

bool Schema::is_leaf(TypeId id) const {
    const TypeKind kind = types_[named_type(id)].kind;
    return kind == TypeKind::scalar || kind == TypeKind::enum_type;
}

bool Schema::is_input_type(TypeId id) const { return is_leaf(id) || types_[named_type(id)].kind == TypeKind::input_object; }

bool Schema::is_output_type(TypeId id) const { return types_[named_type(id)].kind != TypeKind::input_object; }

bool Schema::is_composite(TypeId id) const {
    const TypeKind kind = types_[named_type(id)].kind;
    return kind == TypeKind::object || kind == TypeKind::interface || kind == TypeKind::union_type;
}

std::string Schema::type_name(TypeId id) const {
    const Type& type = types_[id];
    if (type.kind == TypeKind::list) return "[" + type_name(type.of_type) + "]";
    if (type.kind == TypeKind::non_null) return type_name(type.of_type) + "!";
    return std::string(type.name);
}

const Field* Schema::find_field(TypeId object_type, std::string_view name) const {
    if (name.starts_with("__")) {
        if (name == "__typename") return &meta_fields_[0];
        if (object_type != query_type_) return nullptr;
        if (name == "__schema") return &meta_fields_[1];
        if (name == "__type") return &meta_fields_[2];
        return nullptr;
    }
    auto found = fields_by_name_.find(FieldKey{object_type, name});
    return found == fields_by_name_.end() ? nullptr : &fields_[found->second];
}

namespace {

const InputValue* find_in(const std::vector<InputValue>& values, Range range, std::string_view name) {
    for (std::uint32_t i = range.first; i < range.end(); ++i) {
        if (values[i].name == name) return &values[i];
    }
    return nullptr;
}

}  // namespace

const InputValue* Schema::find_argument(const Field& field, std::string_view name) const {
    return find_in(input_values_, field.arguments, name);
}

const InputValue* Schema::find_argument(const Directive& directive, std::string_view name) const {
    return find_in(input_values_, directive.arguments, name);
}

const InputValue* Schema::find_input_field(TypeId input_object, std::string_view name) const {
    return find_in(input_values_, types_[input_object].input_fields, name);
}

const EnumValue* Schema::find_enum_value(TypeId enum_type, std::string_view name) const {
    const Range range = types_[enum_type].enum_values;
    for (std::uint32_t i = range.first; i < range.end(); ++i) {
        if (enum_values_[i].name == name) return &enum_values_[i];
    }
    return nullptr;
}

const Directive* Schema::find_directive(std::string_view name) const {
    for (const Directive& directive : directives_) {
        if (directive.name == name) return &directive;
    }
    return nullptr;
}

}  // namespace quorvel::graphql
