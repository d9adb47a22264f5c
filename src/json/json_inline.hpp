// Inline parts of json.hpp: the value accessors sit on the hot path of every
// reader of a Document, so they compile down to yyjson's own inline
// accessors.
#pragma once

#include <yyjson.h>

#include <cstring>

namespace quorvel::json {

inline Kind Ref::kind() const {
    switch (unsafe_yyjson_get_type(value_)) {
        case YYJSON_TYPE_BOOL:
            return Kind::boolean;
        case YYJSON_TYPE_NUM:
            switch (unsafe_yyjson_get_subtype(value_)) {
                case YYJSON_SUBTYPE_UINT:
                    return Kind::uint64;
                case YYJSON_SUBTYPE_SINT:
                    return Kind::int64;
                default:
                    return Kind::real;
            }
        case YYJSON_TYPE_STR:
            return Kind::string;
        case YYJSON_TYPE_ARR:
            return Kind::array;
        case YYJSON_TYPE_OBJ:
            return Kind::object;
        default:
            return Kind::null;
    }
}

inline bool Ref::boolean() const { return unsafe_yyjson_get_bool(value_); }
inline std::uint64_t Ref::uint64() const { return unsafe_yyjson_get_uint(value_); }
inline std::int64_t Ref::int64() const { return unsafe_yyjson_get_sint(value_); }
inline double Ref::real() const { return unsafe_yyjson_get_real(value_); }
inline std::string_view Ref::string() const {
    return {unsafe_yyjson_get_str(value_), unsafe_yyjson_get_len(value_)};
}
inline std::size_t Ref::size() const { return unsafe_yyjson_get_len(value_); }

template <class F>
void Ref::for_each_element(F&& f) const {
    if (!yyjson_is_arr(value_)) return;
    yyjson_val* element = unsafe_yyjson_get_first(value_);
    for (std::size_t left = unsafe_yyjson_get_len(value_); left > 0; --left) {
        f(Ref(element));
        element = unsafe_yyjson_get_next(element);
    }
}

template <class F>
void Ref::for_each_member(F&& f) const {
    if (!yyjson_is_obj(value_)) return;
    yyjson_val* key = unsafe_yyjson_get_first(value_);
    for (std::size_t left = unsafe_yyjson_get_len(value_); left > 0; --left) {
        yyjson_val* value = key + 1;
        f(Ref(key).string(), Ref(value));
        key = unsafe_yyjson_get_next(value);
    }
}

inline Ref Ref::find(std::string_view key) const {
    Ref found;
    for_each_member([&](std::string_view name, Ref value) {
        if (name.size() == key.size() && std::memcmp(name.data(), key.data(), key.size()) == 0) found = value;
    });
    return found;
}

}  // namespace quorvel::json
